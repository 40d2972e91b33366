// The eight convertible LAS variants of Pelmora and the library: the
// version by point format pairs that have a record type of their own, with
// the record lengths of those types (from sizeof), read by the validation,
// the header update and the converter alike.
//
// Internal to the library and the converter; not installed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Ostrine_LiDAR.h"
#include "las/point_format.h"

struct LasVariant {
    int16_t las_type;        // the variant code, 1..8
    uint8_t version_minor;   // LAS 1.x
    uint8_t point_format;    // 0..3
    uint16_t record_length;  // bytes per point record
};

// Indexed by the variant code; entry 0 is no variant.
inline constexpr LasVariant kLasVariants[9] = {
    {0, 0, 0, 0},
    {1, 0, 0, sizeof(LAS10fm0)},
    {2, 0, 1, sizeof(LAS10fm1)},
    {3, 1, 0, sizeof(LAS11fm0)},
    {4, 1, 1, sizeof(LAS11fm1)},
    {5, 2, 0, sizeof(LAS12fm0)},
    {6, 2, 1, sizeof(LAS12fm1)},
    {7, 2, 2, sizeof(LAS12fm2)},
    {8, 2, 3, sizeof(LAS12fm3)},
};

// The variant code of a LAS 1.x file with point format `format` (0..3);
// 0 where the version has no record type for the format (1.0 and 1.1 with
// formats 2 and 3).
constexpr int16_t las_type_of(uint8_t version_minor, uint8_t point_format) {
    for (const LasVariant &v : kLasVariants)
        if (v.las_type != 0 && v.version_minor == version_minor && v.point_format == point_format) return v.las_type;
    return 0;
}

static_assert(las_type_of(0, 0) == 1 && las_type_of(1, 1) == 4 && las_type_of(2, 3) == 8 && las_type_of(1, 2) == 0,
              "variant codes: version by format");

// The library's packed record types and the point formats' tables agree:
// the fields every reader takes from point_format.h lie where the types
// declare them.
static_assert(sizeof(LAS12fm0) == kPointFormats[0].length && sizeof(LAS12fm1) == kPointFormats[1].length &&
              sizeof(LAS12fm2) == kPointFormats[2].length && sizeof(LAS12fm3) == kPointFormats[3].length);
static_assert(offsetof(LAS12fm0, Intensity) == point_core::kIntensity &&
              offsetof(LAS12fm0, bitfield) == point_core::kReturnByte &&
              offsetof(LAS12fm0, Classification) == point_core::kClassByte &&
              offsetof(LAS12fm0, ScanAngleRank) == point_core::kScanAngleRank &&
              offsetof(LAS12fm0, UserData) == point_core::kUserData &&
              offsetof(LAS12fm0, PointSourceID) == point_core::kPointSourceId &&
              offsetof(LAS10fm0, FileMarker) == point_core::kUserData &&
              offsetof(LAS10fm0, UserBitField) == point_core::kPointSourceId);
static_assert(offsetof(LAS12fm1, GPSTime) == kPointFormats[1].gps_at && offsetof(LAS12fm3, GPSTime) == kPointFormats[3].gps_at &&
              offsetof(LAS12fm2, Red) == kPointFormats[2].rgb_at && offsetof(LAS12fm3, Red) == kPointFormats[3].rgb_at);
