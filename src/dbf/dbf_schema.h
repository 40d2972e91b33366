// The attribute table's fields as data: for each field its name, width and
// decimals, the message printed when shapelib refuses it, and where its
// value comes from in a point record.  The field definitions handed to
// shapelib, the byte position of every value in a row and the row
// formatter all read this one description, as shapelib derives its field
// offsets from the widths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "las/extra_bytes.h"
#include "las/point_format.h"

// The widest text of a number any field here holds: a field sized for an
// extra-bytes attribute is cut to it, and a value too wide for it follows
// the rule of every numeric field (fewer decimals, then asterisks).
inline constexpr int kWidestField = 40;
// The most decimals a field gets: a step finer than 1e-10 is rounded.
inline constexpr int kMostDecimals = 10;

// How a field's text is made from the record.
enum class FieldSource : uint8_t {
    Unsigned16,     // an unsigned 16-bit value at `bits.at`
    Unsigned8,      // an unsigned byte at `bits.at`
    Bits,           // the value `bits` gives
    ScanAngleRank,  // a signed byte, whole degrees
    ScanAngle,      // a signed 16-bit count of 0.006 degree, written with 3 decimals
    GpsTime,        // a double, 8 decimals (fewer when too wide)
    Extra,          // extra bytes: attribute `extra` of the schema
};

struct DbfField {
    std::string name;     // as given to shapelib, which keeps 10 characters
    uint8_t width = 0;    // characters in a row
    uint8_t decimals = 0; // 0: an integer field (dBASE N without decimals)
    std::string failure;  // printed with the table's name when shapelib refuses the field
    FieldSource source = FieldSource::Unsigned16;
    RecordBits bits{0, 0, 0};  // where the value is (Bits: and which bits)
    uint16_t extra = 0;
    // Extra bytes whose scale or offset needs more decimals than a field
    // holds: each value rounded to kMostDecimals is counted.
    bool rounded = false;
};

struct DbfSchema {
    std::vector<DbfField> fields;
    std::vector<ExtraAttribute> extras;

    // The deletion flag and every field.
    size_t row_length() const;
    // shapelib's header: 32 bytes, 32 per field, and the 0x0D terminator.
    size_t header_length() const { return 32 + 32 * fields.size() + 1; }
    // The index of the field named `name`; fields.size() if none is.
    size_t find(const std::string &name) const;
};

// Pelmora's table of a LAS 1.`version_minor` file of point format 0-3: the
// LAS 1.0 names for the two bytes after the scan angle, the GPS time for
// formats 1 and 3, the colours for formats 2 and 3.
DbfSchema pelmora_schema(uint8_t version_minor, uint8_t point_format);

// pelmora-convert's table for records of `format` in a LAS 1.`version_minor`
// file: formats 0-5 as Pelmora writes them (4 and 5 as 1 and 3: the wave
// packet is not written; LAS 1.0's names in LAS 1.0), formats 6-10 with
// their own fields; then one field per extra-bytes attribute, its name cut
// to 10 characters and made unique.
DbfSchema convert_schema(const PointFormat &format, uint8_t version_minor, const std::vector<ExtraAttribute> &extras);

// Decimals a multiplier needs so that every multiple of it is written
// exactly: 2 for 0.01, 1 for 0.5 or 2.5, 0 for whole numbers; more than
// kMostDecimals for a step finer than a field shows.
int decimals_needed(double step);

// The fields of `schema` named in `names` (as the table stores them, any
// letter case), in table order; with `drop`, all but those.  Names the table
// does not have are put in `unknown`.
DbfSchema select_fields(const DbfSchema &schema, const std::vector<std::string> &names, bool drop,
                        std::vector<std::string> &unknown);

// The name as the table stores it (dBASE keeps 10 characters).
std::string stored_name(const DbfField &field);
