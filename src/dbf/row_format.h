// Fixed-width dBASE rows of the attribute table, formatted straight from the
// raw LAS point records.
//
// A row is a blank deletion flag followed by every field as decimal text,
// right-aligned in its declared width and padded with blanks, exactly the
// text C's printf gives for "%5d", "%3d", "%1d" and "%16.8f".  A value that
// does not fit its width is written as asterisks, the dBASE null for numeric
// fields, so that readers see "no value" rather than a wrong one; a GPS time
// too wide for 8 decimals first keeps as many decimals as fit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dbf/dbf_schema.h"

// Values written other than as printf would have written them.
struct ValueChanges {
    uint64_t scan_angle_nulls = 0;     // scan angles -100..-128 written as "***"
    uint64_t gps_fewer_decimals = 0;   // GPS times written with fewer than 8 decimals
    uint64_t gps_nulls = 0;            // GPS times written as asterisks
    // Per extra-bytes attribute: values too wide for their decimals, values
    // too wide (or not numbers) written as asterisks, and values rounded
    // because their scale or offset needs more decimals than a field holds.
    std::vector<uint64_t> extra_fewer_decimals, extra_nulls, extra_rounded;

    ValueChanges &operator+=(const ValueChanges &o);
    bool any() const;
};

// The warning line for `changes` ("Values too wide for their fields: ..."),
// with the field names and widths of `schema`; "" when nothing changed.
std::string describe_value_changes(const ValueChanges &changes, const DbfSchema &schema);

// The longest text of a number that any field holds (the widest extra-bytes
// field is 40 characters).
inline constexpr int kMaxFixedText = 40;

// Writes `value` as printf("%.<decimals>f") would into `out` (at least
// kMaxFixedText bytes) and returns its length; returns -1 when that text is
// longer than kMaxFixedText, wider than any field here.
int fixed_text(double value, int decimals, char *out);

// A number in a field of `width` characters: "%<width>.<decimals>f" when it
// fits, else the most decimals that fit (down to none, without a point),
// else asterisks.  Returns the number of decimals written, or -1 for the
// asterisks.
int format_fixed(char *dst, int width, int decimals, double value);

// The 16 bytes of a GPS time: format_fixed with width 16 and 8 decimals.
int format_gps_time(char *dst16, double value);

// Formats the rows of `count` consecutive records, `stride` bytes apart,
// into `out` (count x the schema's row length), adding up what had to be
// changed.
void format_rows(const unsigned char *records, size_t count, size_t stride, const DbfSchema &schema, char *out,
                 ValueChanges &changes);
