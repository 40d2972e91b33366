// Extra bytes: the bytes a point record carries after its format's
// standard fields, described by Extra Bytes records (user id "LASF_Spec",
// record 4; 192 bytes a descriptor, in any number of records, taken in
// record order).  Descriptor k describes the bytes right after those of
// descriptors 0..k-1.
//
// Each descriptor of a plain numeric type (1-10: u8, i8, u16, i16, u32,
// i32, u64, i64, f32, f64) becomes one numeric attribute.  Bytes no
// descriptor describes (type 0), the deprecated array types (11-30),
// reserved types, and descriptors that reach past the record are not
// written: the layout says how many bytes of each record that leaves out.
#pragma once

#include <cfloat>
#include <cstdint>
#include <string>
#include <vector>

#include "las/las_vlr.h"

// The data types 1-10, the one table of what each holds; entry 0 is the
// undocumented bytes of type 0.
struct ExtraType {
    uint8_t size;      // bytes of one value
    bool is_signed;    // a two's complement integer
    bool floating;     // an IEEE float (f32) or double (f64)
    double lowest, highest;  // the range of its values, as doubles
};
inline constexpr uint8_t kMaxExtraType = 10;
inline constexpr ExtraType kExtraTypes[kMaxExtraType + 1] = {
    {0, false, false, 0, 0},
    {1, false, false, 0, 255},
    {1, true, false, -128, 127},
    {2, false, false, 0, 65535},
    {2, true, false, -32768, 32767},
    {4, false, false, 0, 4294967295.0},
    {4, true, false, -2147483648.0, 2147483647.0},
    {8, false, false, 0, 18446744073709551615.0},
    {8, true, false, -9223372036854775808.0, 9223372036854775807.0},
    {4, true, true, -static_cast<double>(FLT_MAX), static_cast<double>(FLT_MAX)},
    {8, true, true, -DBL_MAX, DBL_MAX},
};

struct ExtraAttribute {
    std::string name;          // the descriptor's name, up to its first NUL
    uint8_t data_type = 0;     // 1..10
    uint16_t at = 0;           // byte of the value in the record
    bool has_no_data = false;  // a value equal to no_data means "no value"
    uint64_t no_data = 0;      // the 8 bytes as stored (u64, i64 or f64 by type)
    bool scaled = false;       // value = raw x scale (+ offset)
    double scale = 1.0;
    bool offset_applies = false;
    double offset = 0.0;

    const ExtraType &type() const { return kExtraTypes[data_type]; }
};

struct ExtraBytesLayout {
    std::vector<ExtraAttribute> attributes;
    uint32_t unwritten_bytes = 0;  // bytes of each record no attribute writes
};

// The attributes of records of `record_length` bytes whose standard fields
// take `standard_length`, from the Extra Bytes records in file order.
ExtraBytesLayout extra_bytes_layout(const std::vector<LasVlr> &records, uint16_t standard_length,
                                    uint16_t record_length);

// A value of an attribute as stored, widened: `bits` as no_data compares
// it (u64, i64 sign-extended, or the bits of the f64 an f32 widens to) and
// `number` the value as a double.
struct ExtraValue {
    uint64_t bits;
    double number;
};
ExtraValue load_extra(const unsigned char *value, const ExtraType &type);
