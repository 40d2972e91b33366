// The sizes and limits of a conversion run, defined here and nowhere else.
#pragma once

#include <cstddef>
#include <cstdint>

// Point records pass through Pelmora in chunks of this many records: it
// sizes the point buffer and the coordinate vectors, and a progress line
// is printed before each full chunk.
constexpr int32_t kChunkRecords = 1000000;

// pelmora-convert bounds its point buffer in bytes instead (records may be
// up to 65,535 bytes long with extra bytes): at most kChunkRecords records,
// and no more than this many bytes.
constexpr size_t kChunkBytes = 34u << 20;

// A chunk is cut into pieces that worker threads format while the next
// ones are read: 32 pieces a chunk of 1,000,000 keep both cores busy from
// the first piece on, and each job's output (at most 1.7 MB) in the caches.
constexpr int32_t kPieceRecords = 31250;

// The largest point count whose PointZ main file still has a file length
// (50 + 18 words per record) that fits the format's signed 32-bit field.
constexpr uint64_t kMaxShapefilePoints = 119304644;

// The limit a selection's kept points are held to as they are counted:
// kMaxShapefilePoints, which tests lower to reach the refusal without
// writing 119 million records first.
uint64_t &kept_points_limit();
