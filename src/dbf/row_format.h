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

// What distinguishes the point formats' rows.
struct RowLayout {
    size_t record_size;  // bytes per LAS point record
    bool gps_time;       // formats 1 and 3: GPS time at byte 20
    bool rgb;            // formats 2 and 3: red, green, blue
    size_t rgb_offset;   // byte of Red within the record (20 or 28)
    size_t row_length;   // bytes per dBASE row: 24, 40, 39 or 55
};

RowLayout row_layout_for_format(int point_format);

// Values written other than as printf would have written them.
struct ValueChanges {
    uint64_t scan_angle_nulls = 0;     // scan angles -100..-128 written as "***"
    uint64_t gps_fewer_decimals = 0;   // GPS times written with fewer than 8 decimals
    uint64_t gps_nulls = 0;            // GPS times written as 16 asterisks
    ValueChanges &operator+=(const ValueChanges &o) {
        scan_angle_nulls += o.scan_angle_nulls;
        gps_fewer_decimals += o.gps_fewer_decimals;
        gps_nulls += o.gps_nulls;
        return *this;
    }
    bool any() const { return scan_angle_nulls + gps_fewer_decimals + gps_nulls != 0; }
};

// Writes `value` as printf("%.<decimals>f") would into `out` (at least 32
// bytes) and returns its length; returns -1 when |value| >= 1e16, whose text
// is wider than any field here.  Exact: the decimal digits come from the
// double's exact binary value, ties rounded to even, as glibc does.
int fixed_text(double value, int decimals, char *out);

// The 16 bytes of a GPS time: "%16.8f" when it fits, else the most decimals
// that fit (down to none, without a point), else 16 asterisks.  Returns the
// number of decimals written, or -1 for the asterisks.
int format_gps_time(char *dst16, double value);

// Formats `count` rows from consecutive records into `out`
// (count x row_length bytes), adding up what had to be changed.
void format_rows(const unsigned char *records, size_t count, const RowLayout &layout, char *out,
                 ValueChanges &changes);
