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
// is wider than any field here.
int fixed_text(double value, int decimals, char *out);

// The 16 bytes of a GPS time: "%16.8f" when it fits, else the most decimals
// that fit (down to none, without a point), else 16 asterisks.  Returns the
// number of decimals written, or -1 for the asterisks.
int format_gps_time(char *dst16, double value);

// Formats the rows of `count` consecutive records of variant `las_type`
// (1..8) into `out` (count x the variant's row length), adding up what had
// to be changed.
void format_rows(const unsigned char *records, size_t count, int16_t las_type, char *out, ValueChanges &changes);
