// The attribute table's fields per LAS variant: one table from which the
// field definitions handed to shapelib and the byte position of every value
// in a row are both derived, as shapelib derives its field offsets from the
// widths.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lidar/las_variants.h"

// The values a row can hold, in row order.
enum class DbfColumn : uint8_t {
    Intensity,
    ReturnNumber,
    NumberReturns,
    ScanDirection,
    EdgeOfFlightLine,
    Classification,
    ScanAngleRank,
    UserData,       // LAS 1.0: FileMarker
    PointSourceID,  // LAS 1.0: UserBitField
    GPSTime,
    Red,
    Green,
    Blue,
};

struct DbfField {
    DbfColumn column{};
    const char *name = nullptr;     // as given to shapelib, which cuts it to 10 characters
    uint8_t width = 0;              // characters in a row
    uint8_t decimals = 0;           // 0: an integer field (dBASE N without decimals)
    const char *failure = nullptr;  // printed with the table's name when shapelib refuses the field
};

struct DbfSchema {
    static constexpr size_t kMaxFields = 13;
    DbfField fields[kMaxFields] = {};
    size_t count = 0;

    constexpr void add(const DbfField &field) { fields[count++] = field; }
    // Byte position of a value in its row: after the deletion flag and the
    // fields before it.
    constexpr size_t offset_of(DbfColumn column) const {
        size_t at = 1;
        for (size_t i = 0; i < count && fields[i].column != column; ++i) at += fields[i].width;
        return at;
    }
    // The deletion flag and every field.
    constexpr size_t row_length() const {
        size_t length = 1;
        for (size_t i = 0; i < count; ++i) length += fields[i].width;
        return length;
    }
    // shapelib's header: 32 bytes, 32 per field, and the 0x0D terminator.
    constexpr size_t header_length() const { return 32 + 32 * count + 1; }
};

// The fields of variant `las_type` (1..8): the LAS 1.0 names for the two
// bytes after the scan angle in variants 1 and 2, the GPS time for formats
// 1 and 3, the colours for formats 2 and 3.
constexpr DbfSchema dbf_schema(int16_t las_type) {
    const LasVariant &v = kLasVariants[las_type];
    const bool las10 = v.version_minor == 0;
    DbfSchema s;
    s.add({DbfColumn::Intensity, "Intensity", 5, 0, "Failed to add field Intensity to %s\n"});
    s.add({DbfColumn::ReturnNumber, "ReturnNumber", 1, 0, "Failed to add field ReturnNumber to %s\n"});
    s.add({DbfColumn::NumberReturns, "NumberReturns", 1, 0, "Failed to add field NumberOfReturns to %s\n"});
    s.add({DbfColumn::ScanDirection, "ScanDirection", 1, 0, "Failed to add field ScanDirection to %s\n"});
    s.add({DbfColumn::EdgeOfFlightLine, "EdgeOfFlightLine", 1, 0, "Failed to add field EdgeOfFlightLine to %s\n"});
    s.add({DbfColumn::Classification, "Classification", 3, 0, "Failed to add field Classification to %s\n"});
    s.add({DbfColumn::ScanAngleRank, "ScanAngleRank", 3, 0, "Failed to add field ScanAngleRank to %s\n"});
    if (las10) {
        s.add({DbfColumn::UserData, "FileMarker", 3, 0, "Failed to add field FileMarker to %s\n"});
        s.add({DbfColumn::PointSourceID, "UserBitField", 5, 0, "Failed to add field UserBitField to %s\n"});
    } else {
        s.add({DbfColumn::UserData, "UserData", 3, 0, "Failed to add field UserData to %s\n"});
        s.add({DbfColumn::PointSourceID, "PointSourceID", 5, 0, "Failed to add field PointSourceID to %s\n"});
    }
    if (v.gps_time) s.add({DbfColumn::GPSTime, "GPSTime", 16, 8, "Failed to add field GPSTime to %s\n"});
    if (v.rgb) {
        s.add({DbfColumn::Red, "Red", 5, 0, "Failed to add field Red to %s\n"});
        s.add({DbfColumn::Green, "Green", 5, 0, "Failed to add field Green to %s\n"});
        s.add({DbfColumn::Blue, "Blue", 5, 0, "Failed to add field Blue to %s\n"});
    }
    return s;
}

// Rows of 24, 40, 39 and 55 bytes: the deletion flag and the widths above.
static_assert(dbf_schema(1).row_length() == 1 + 5 + 1 + 1 + 1 + 1 + 3 + 3 + 3 + 5 && dbf_schema(1).row_length() == 24);
static_assert(dbf_schema(2).row_length() == 24 + 16 && dbf_schema(7).row_length() == 24 + 3 * 5 &&
              dbf_schema(8).row_length() == 24 + 16 + 3 * 5);
static_assert(dbf_schema(8).offset_of(DbfColumn::GPSTime) == 24 && dbf_schema(8).offset_of(DbfColumn::Red) == 40 &&
              dbf_schema(7).offset_of(DbfColumn::Red) == 24);
static_assert(dbf_schema(5).header_length() == 321 && dbf_schema(8).header_length() == 449);
