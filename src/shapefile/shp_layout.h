// The layout of a PointZ shapefile's main file (.shp) and index file
// (.shx), the one place it is written down.
//
// Both files start with the same 100-byte header: file code 9994 and the
// file length in 16-bit words, big-endian; version 1000, shape type and
// the box (Xmin, Ymin, Xmax, Ymax, Zmin, Zmax, Mmin, Mmax), little-endian.
// Then the .shp holds one 36-byte record per point (record number and
// content length in words, big-endian; shape type, X, Y, Z little-endian;
// no measure), the .shx one 8-byte entry per point (the record's offset
// and content length in words, big-endian).
#pragma once

#include <cstddef>
#include <cstdint>

namespace shp {

constexpr size_t kHeaderBytes = 100;
constexpr size_t kFileCodeAt = 0, kFileLengthAt = 24, kVersionAt = 28, kShapeTypeAt = 32, kBoxAt = 36;
constexpr uint32_t kFileCode = 9994, kVersion = 1000, kShapeTypePointZ = 11;

constexpr size_t kRecordBytes = 36;  // an 8-byte record header and 28 bytes of content
constexpr size_t kRecordNumberAt = 0, kContentLengthAt = 4, kRecordShapeTypeAt = 8, kXAt = 12, kYAt = 20, kZAt = 28;
constexpr size_t kIndexEntryBytes = 8;

constexpr int64_t kHeaderWords = kHeaderBytes / 2;
constexpr int64_t kRecordWords = kRecordBytes / 2;
constexpr int64_t kContentWords = (kRecordBytes - 8) / 2;
constexpr int64_t kIndexEntryWords = kIndexEntryBytes / 2;

// The most points a PointZ main file holds: its length in words (and the
// offset of its last record in the .shx) is a signed 32-bit field.
constexpr uint64_t kMaxPoints = (INT32_MAX - kHeaderWords) / kRecordWords;
static_assert(kMaxPoints == 119304644);

// Bytes of a main file and an index file of `points` records.
constexpr uint64_t main_file_bytes(uint64_t points) { return kHeaderBytes + kRecordBytes * points; }
constexpr uint64_t index_file_bytes(uint64_t points) { return kHeaderBytes + kIndexEntryBytes * points; }

}  // namespace shp
