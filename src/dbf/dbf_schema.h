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

// How a field's text is made from the record.
enum class FieldSource : uint8_t {
    Unsigned16,     // an unsigned 16-bit value at `at`
    Unsigned8,      // an unsigned byte at `at`
    Bits,           // (the byte at `at` >> shift) & mask
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
    uint16_t at = 0;
    uint8_t shift = 0, mask = 0;
    uint16_t extra = 0;
};

struct DbfSchema {
    std::vector<DbfField> fields;
    std::vector<ExtraAttribute> extras;

    // The deletion flag and every field.
    size_t row_length() const;
    // shapelib's header: 32 bytes, 32 per field, and the 0x0D terminator.
    size_t header_length() const { return 32 + 32 * fields.size() + 1; }
    // Byte position of field `index` in its row, after the deletion flag
    // and the fields before it.
    size_t offset_of(size_t index) const;
    // The index of the field named `name`; fields.size() if none is.
    size_t find(const std::string &name) const;
};

// Pelmora's table of variant `las_type` (1..8): the LAS 1.0 names for the
// two bytes after the scan angle in variants 1 and 2, the GPS time for
// formats 1 and 3, the colours for formats 2 and 3.
DbfSchema pelmora_schema(int16_t las_type);

// pelmora-convert's table for records of `format` in a LAS 1.`version_minor`
// file: formats 0-5 as Pelmora writes them (4 and 5 as 1 and 3: the wave
// packet is not written; LAS 1.0's names in LAS 1.0), formats 6-10 with
// their own fields; then one field per extra-bytes attribute, its name cut
// to 10 characters and made unique.
DbfSchema convert_schema(const PointFormat &format, uint8_t version_minor, const std::vector<ExtraAttribute> &extras);
