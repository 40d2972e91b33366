// The point data record formats 0-10: where each field of a record lies.
//
// Formats 0-5 share a 20-byte core (return information in one byte, a
// five-bit class with three flag bits, a whole-degree scan angle); formats
// 6-10 share a 30-byte core (four-bit return numbers, a flags byte, a whole
// classification byte, a scan angle in steps of 0.006 degree, GPS time
// always).  Extra bytes, when a file has them, follow the standard fields:
// a record is `length` bytes plus the extra ones.
#pragma once

#include <cstdint>
#include <cstring>

#include "io/byte_order.h"

struct PointFormat {
    uint8_t id;
    uint16_t length;     // standard record length, without extra bytes
    bool extended;       // formats 6-10: the 30-byte core
    uint16_t gps_at;     // byte of the GPS time; 0 without one
    uint16_t rgb_at;     // byte of Red (Green and Blue follow); 0 without colours
    uint16_t nir_at;     // byte of NIR; 0 without
    uint16_t wave_at;    // byte of the 29-byte wave packet; 0 without
};

inline constexpr uint8_t kMaxPointFormat = 10;

inline constexpr PointFormat kPointFormats[kMaxPointFormat + 1] = {
    {0, 20, false, 0, 0, 0, 0},   {1, 28, false, 20, 0, 0, 0},  {2, 26, false, 0, 20, 0, 0},
    {3, 34, false, 20, 28, 0, 0}, {4, 57, false, 20, 0, 0, 28}, {5, 63, false, 20, 28, 0, 34},
    {6, 30, true, 22, 0, 0, 0},   {7, 36, true, 22, 30, 0, 0},  {8, 38, true, 22, 30, 36, 0},
    {9, 59, true, 22, 0, 0, 30},  {10, 67, true, 22, 30, 36, 38},
};

// Bytes of the cores.  X, Y and Z are the first twelve bytes of every format.
namespace point_core {
inline constexpr uint16_t kX = 0, kY = 4, kZ = 8, kIntensity = 12, kReturnByte = 14;
// Formats 0-5.
inline constexpr uint16_t kClassByte = 15, kScanAngleRank = 16, kUserData = 17, kPointSourceId = 18;
// Formats 6-10.
inline constexpr uint16_t kFlagsByte = 15, kClassification = 16, kUserData6 = 17, kScanAngle6 = 18,
                          kPointSourceId6 = 20;
}  // namespace point_core

static_assert(kPointFormats[3].length == 34 && kPointFormats[8].length == 38 && kPointFormats[10].length == 67);

// A value held in some bits of one byte of a record.
struct RecordBits {
    uint16_t at;
    uint8_t shift, mask;
    unsigned of(const unsigned char *record) const { return (record[at] >> shift) & mask; }
};

// The bit fields of each core, the one place their positions are written.
// Formats 0-5: the return byte holds the return number (bits 0-2), the
// number of returns (3-5), the scan direction (6) and the edge of flight
// line (7); the class byte the class (bits 0-4) and the synthetic,
// key-point and withheld flags (5, 6, 7).  Formats 6-10: the return byte
// holds four bits each; the flags byte the four classification flags
// (synthetic, key-point, withheld, overlap: bits 0-3), the scanner channel
// (4-5), scan direction (6) and edge (7); the class is a byte of its own.
struct CoreBits {
    RecordBits return_number, returns, scan_direction, edge;
    RecordBits klass, synthetic, key_point, withheld;
    RecordBits overlap, scanner_channel;  // formats 6-10 only (mask 0 before)
};

inline constexpr CoreBits kLegacyBits = {
    {point_core::kReturnByte, 0, 7}, {point_core::kReturnByte, 3, 7}, {point_core::kReturnByte, 6, 1},
    {point_core::kReturnByte, 7, 1}, {point_core::kClassByte, 0, 31}, {point_core::kClassByte, 5, 1},
    {point_core::kClassByte, 6, 1},  {point_core::kClassByte, 7, 1},  {0, 0, 0},
    {0, 0, 0}};
inline constexpr CoreBits kExtendedBits = {
    {point_core::kReturnByte, 0, 15},     {point_core::kReturnByte, 4, 15}, {point_core::kFlagsByte, 6, 1},
    {point_core::kFlagsByte, 7, 1},       {point_core::kClassification, 0, 255}, {point_core::kFlagsByte, 0, 1},
    {point_core::kFlagsByte, 1, 1},       {point_core::kFlagsByte, 2, 1},  {point_core::kFlagsByte, 3, 1},
    {point_core::kFlagsByte, 4, 3}};

inline const CoreBits &core_bits(const PointFormat &format) { return format.extended ? kExtendedBits : kLegacyBits; }

// A record's stored X, Y or Z (axis 0, 1, 2): a signed 32-bit little-endian integer.
inline int32_t stored_coordinate(const unsigned char *record, int axis) {
    return load_le_int32(record + 4 * axis);
}

// The real coordinate of a stored integer: integer x scale + offset, two
// separately rounded double operations (the build forbids fusing them), as
// every reader of LAS computes it.
inline double scaled(int32_t stored, double scale, double offset) { return static_cast<double>(stored) * scale + offset; }
