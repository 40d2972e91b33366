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
