// The eight convertible LAS variants: one table from which the record
// lengths, the fields each record carries and their offsets are read by the
// validation, the header update, the reader and the writers alike.
//
// Internal to the library and the converter; not installed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Ostrine_LiDAR.h"

struct LasVariant {
    int16_t las_type;        // the variant code, 1..8
    uint8_t version_minor;   // LAS 1.x
    uint8_t point_format;    // 0..3
    uint16_t record_length;  // bytes per point record
    bool gps_time;           // formats 1 and 3: GPSTime at byte 20
    bool rgb;                // formats 2 and 3: Red, Green, Blue
    uint16_t rgb_offset;     // byte of Red in the record (0 without colours)
};

// Indexed by the variant code; entry 0 is no variant.
inline constexpr LasVariant kLasVariants[9] = {
    {0, 0, 0, 0, false, false, 0},
    {1, 0, 0, sizeof(LAS10fm0), false, false, 0},
    {2, 0, 1, sizeof(LAS10fm1), true, false, 0},
    {3, 1, 0, sizeof(LAS11fm0), false, false, 0},
    {4, 1, 1, sizeof(LAS11fm1), true, false, 0},
    {5, 2, 0, sizeof(LAS12fm0), false, false, 0},
    {6, 2, 1, sizeof(LAS12fm1), true, false, 0},
    {7, 2, 2, sizeof(LAS12fm2), false, true, offsetof(LAS12fm2, Red)},
    {8, 2, 3, sizeof(LAS12fm3), true, true, offsetof(LAS12fm3, Red)},
};

// The variant code of a LAS 1.x file with point format `format` (0..3);
// 0 where the version has no record type for the format (1.0 and 1.1 with
// formats 2 and 3).
constexpr int16_t las_type_of(uint8_t version_minor, uint8_t point_format) {
    for (const LasVariant &v : kLasVariants)
        if (v.las_type != 0 && v.version_minor == version_minor && v.point_format == point_format) return v.las_type;
    return 0;
}

// Fields every record type holds at the same offsets: the 20-byte core.
namespace las_core {
inline constexpr size_t kX = offsetof(LAS12fm0, X), kY = offsetof(LAS12fm0, Y), kZ = offsetof(LAS12fm0, Z),
                        kIntensity = offsetof(LAS12fm0, Intensity), kBitfield = offsetof(LAS12fm0, bitfield),
                        kClassification = offsetof(LAS12fm0, Classification),
                        kScanAngleRank = offsetof(LAS12fm0, ScanAngleRank), kUserData = offsetof(LAS12fm0, UserData),
                        kPointSourceID = offsetof(LAS12fm0, PointSourceID), kGPSTime = offsetof(LAS12fm1, GPSTime);
}  // namespace las_core

static_assert(offsetof(LAS10fm0, FileMarker) == las_core::kUserData &&
                  offsetof(LAS10fm0, UserBitField) == las_core::kPointSourceID,
              "LAS 1.0 names the same bytes differently");
static_assert(offsetof(LAS10fm1, GPSTime) == las_core::kGPSTime && offsetof(LAS12fm3, GPSTime) == las_core::kGPSTime,
              "every GPS time follows the core");
static_assert(las_type_of(0, 0) == 1 && las_type_of(1, 1) == 4 && las_type_of(2, 3) == 8 && las_type_of(1, 2) == 0,
              "variant codes: version by format");

// Fields of the public header (the same offsets in all three versions).
namespace las_header {
inline constexpr size_t kSignature = offsetof(LAS12Header, LASF), kVersionMajor = offsetof(LAS12Header, VersionMajor),
                        kVersionMinor = offsetof(LAS12Header, VersionMinor),
                        kPointDataFormatID = offsetof(LAS12Header, PointDataFormatID),
                        kPointDataRecordLength = offsetof(LAS12Header, PointDataRecordLength);
}  // namespace las_header
