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

#include <cstdint>
#include <string>
#include <vector>

#include "las/las_vlr.h"

struct ExtraAttribute {
    std::string name;          // the descriptor's name, up to its first NUL
    uint8_t data_type = 0;     // 1..10
    uint16_t at = 0;           // byte of the value in the record
    uint8_t size = 0;          // 1, 2, 4 or 8
    bool has_no_data = false;  // a value equal to no_data means "no value"
    uint64_t no_data = 0;      // the 8 bytes as stored (u64, i64 or f64 by type)
    bool scaled = false;       // value = raw x scale (+ offset)
    double scale = 1.0;
    bool offset_applies = false;
    double offset = 0.0;
    // The text field: width and decimals (0: an integer field).
    uint8_t width = 0;
    uint8_t decimals = 0;

    bool floating() const { return data_type == 9 || data_type == 10; }
    bool is_signed() const { return data_type == 2 || data_type == 4 || data_type == 6 || data_type == 8; }
};

struct ExtraBytesLayout {
    std::vector<ExtraAttribute> attributes;
    uint32_t unwritten_bytes = 0;  // bytes of each record no attribute writes
};

// The attributes of records of `record_length` bytes whose standard fields
// take `standard_length`, from the Extra Bytes records in file order.
ExtraBytesLayout extra_bytes_layout(const std::vector<LasVlr> &records, uint16_t standard_length,
                                    uint16_t record_length);

// Decimals a multiplier needs so that every multiple of it is written
// exactly: 2 for 0.01, 1 for 0.5 or 2.5, 0 for whole numbers; at most 10.
int decimals_needed(double step);
