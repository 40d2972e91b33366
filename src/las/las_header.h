// The public header of a LAS file of any version, read once by one
// little-endian reader.
//
// LAS 1.0-1.2 headers are 227 bytes; 1.3 adds the start of the waveform
// data (235 bytes); 1.4 adds the extended variable-length records and
// 64-bit point counts (375 bytes).  The first 227 bytes have one layout in
// every version.  Every field is taken from the bytes by its offset, so
// the value does not depend on the host; the packed LAS1xHeader views the
// library exports are derived from this value, never copied from the file
// a second time.
#pragma once

#include <cstddef>
#include <cstdint>

// Header sizes by version: 227 (1.0-1.2), 235 (1.3), 375 (1.4).
constexpr size_t kLasHeader12Bytes = 227;
constexpr size_t kLasHeader13Bytes = 235;
constexpr size_t kLasHeader14Bytes = 375;

// Bits of the point format byte that LAZ sets (bit 7; bit 6 for an old
// scheme): the point format is the low six bits.
constexpr uint8_t kLazFormatBits = 0xC0;

// Global encoding bit 4: the coordinate system is WKT, not GeoTIFF keys.
constexpr uint16_t kGlobalEncodingWkt = 0x10;

// Where each field of the public header lies, in bytes from the start of the
// file: the reader below, the library's header update and the decompressed
// LAS file a LAZ file gives all write or read through these.
namespace las_field {
constexpr size_t kSignature = 0, kFileSourceId = 4, kGlobalEncoding = 6, kVersionMajor = 24, kVersionMinor = 25;
constexpr size_t kHeaderSize = 94, kOffsetToData = 96, kVlrCount = 100, kPointFormat = 104, kRecordLength = 105;
constexpr size_t kLegacyPointCount = 107, kLegacyByReturn = 111;  // u32, and five u32
constexpr size_t kScale = 131, kOffset = 155;                       // X, Y, Z doubles each
// The box: MaxX, MinX, MaxY, MinY, MaxZ, MinZ, each maximum before its minimum.
constexpr size_t max_of(int axis) { return 179 + 16 * static_cast<size_t>(axis); }
constexpr size_t min_of(int axis) { return 187 + 16 * static_cast<size_t>(axis); }
constexpr size_t kWaveformStart = 227;                              // LAS 1.3 and later
constexpr size_t kEvlrStart = 235, kEvlrCount = 243, kPointCount = 247, kByReturn = 255;  // LAS 1.4
}  // namespace las_field

struct LasHeader {
    char signature[4] = {};
    uint16_t file_source_id = 0;
    uint16_t global_encoding = 0;
    uint8_t version_major = 0;
    uint8_t version_minor = 0;
    uint16_t header_size = 0;          // as stored (may be smaller than the version's)
    uint32_t offset_to_data = 0;
    uint32_t vlr_count = 0;
    uint8_t format_byte = 0;           // as stored, with any LAZ bits
    uint16_t record_length = 0;
    uint32_t legacy_point_count = 0;   // the 32-bit count at byte 107
    uint32_t legacy_by_return[5] = {};
    double scale[3] = {};              // X, Y, Z
    double offset[3] = {};
    double max[3] = {};                // the box, real coordinates
    double min[3] = {};
    // LAS 1.3 and later (0 before).
    uint64_t waveform_start = 0;
    // LAS 1.4 (0 before).
    uint64_t evlr_start = 0;
    uint32_t evlr_count = 0;
    uint64_t point_count_64 = 0;
    uint64_t by_return_64[15] = {};

    // The point format without the LAZ bits.
    uint8_t point_format() const { return format_byte & static_cast<uint8_t>(~kLazFormatBits); }
    bool compressed() const { return (format_byte & kLazFormatBits) != 0; }
    // 227, 235 or 375 by the minor version (227 for anything before 1.3).
    size_t version_header_bytes() const;
    // The point count a reader uses: the 64-bit count in LAS 1.4, the
    // legacy count before.
    uint64_t point_count() const { return version_minor >= 4 ? point_count_64 : legacy_point_count; }
};

// Reads the header from the first `got` bytes of a file.  Fields beyond
// `got` (a file cut short, an older version) stay zero.  Whether the
// values make sense is for the checks to say.
LasHeader parse_las_header(const unsigned char *bytes, size_t got);
