#include "dbf/row_format.h"

#include <cmath>
#include <cstring>

#include "byte_order.h"

namespace {

constexpr uint64_t kPow10[] = {1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull,
                               100000000ull};

// Text tables, built once: "%3d" of 0..655 and "%02d" / "%2d" of 0..99.  They
// fit in the first-level cache and replace a division per digit.
struct DigitTables {
    char width3[656][3];
    char zero_padded[100][2];
    char blank_padded[100][2];
    DigitTables() {
        for (int v = 0; v < 656; ++v) {
            width3[v][0] = v >= 100 ? static_cast<char>('0' + v / 100) : ' ';
            width3[v][1] = v >= 10 ? static_cast<char>('0' + v / 10 % 10) : ' ';
            width3[v][2] = static_cast<char>('0' + v % 10);
        }
        for (int v = 0; v < 100; ++v) {
            zero_padded[v][0] = static_cast<char>('0' + v / 10);
            zero_padded[v][1] = static_cast<char>('0' + v % 10);
            blank_padded[v][0] = v >= 10 ? zero_padded[v][0] : ' ';
            blank_padded[v][1] = zero_padded[v][1];
        }
    }
};
const DigitTables kDigits;

// "%3d" of 0..255.
inline void put3(char *dst, unsigned value) { std::memcpy(dst, kDigits.width3[value], 3); }

// "%5d" of 0..65535: the hundreds from the three-wide table, the last two
// digits zero-padded when hundreds precede them.
inline void put5(char *dst, unsigned value) {
    const unsigned high = value / 100, low = value % 100;
    if (high == 0) {
        std::memcpy(dst, "   ", 3);
        std::memcpy(dst + 3, kDigits.blank_padded[low], 2);
    } else {
        std::memcpy(dst, kDigits.width3[high], 3);
        std::memcpy(dst + 3, kDigits.zero_padded[low], 2);
    }
}

// Three characters for the signed scan angle: -99..127 as "%3d", anything
// below -99 needs four and becomes the null "***".
inline bool put_scan_angle(char *dst, int value) {
    if (value >= 0) {
        put3(dst, static_cast<unsigned>(value));
    } else if (value > -10) {
        dst[0] = ' ';
        dst[1] = '-';
        dst[2] = static_cast<char>('0' - value);
    } else if (value > -100) {
        dst[0] = '-';
        std::memcpy(dst + 1, kDigits.zero_padded[-value], 2);
    } else {
        std::memcpy(dst, "***", 3);
        return false;
    }
    return true;
}

// Writes the decimal digits of v ending just before `end`; returns the
// position of the first digit.
inline char *digits_before(char *end, uint64_t v) {
    while (v >= 100) {
        end -= 2;
        std::memcpy(end, kDigits.zero_padded[v % 100], 2);
        v /= 100;
    }
    if (v >= 10) {
        end -= 2;
        std::memcpy(end, kDigits.zero_padded[v], 2);
    } else {
        *--end = static_cast<char>('0' + v);
    }
    return end;
}

// round_half_even(|value| x 10^decimals) for a finite |value| < 1e16,
// exactly: |value| = mantissa x 2^exponent, and mantissa x 10^8 < 2^80 keeps
// the product within 128 bits.
unsigned __int128 scaled_magnitude(double value, int decimals) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    uint64_t mantissa = bits & ((1ull << 52) - 1);
    int exponent = -1074;  // subnormal
    if (biased != 0) {
        mantissa |= 1ull << 52;
        exponent = biased - 1075;
    }
    using u128 = unsigned __int128;
    const u128 product = static_cast<u128>(mantissa) * kPow10[decimals];
    if (exponent >= 0) return product << exponent;
    const int shift = -exponent;
    if (shift >= 100) return 0;  // below 2^-20 of a unit in the last place: rounds to zero
    u128 scaled = product >> shift;
    const u128 remainder = product - (scaled << shift);
    const u128 half = static_cast<u128>(1) << (shift - 1);
    if (remainder > half || (remainder == half && (scaled & 1) != 0)) ++scaled;
    return scaled;
}

// The usual GPS time: "%16.8f" when its text fits, written right to left
// straight into the field.  Returns false (writing nothing useful) otherwise.
inline bool put_gps_time_8(char *dst16, double value) {
    if (!(std::fabs(value) < 1e8)) return false;  // also NaN and infinities
    const uint64_t scaled = static_cast<uint64_t>(scaled_magnitude(value, 8));
    const uint64_t whole = scaled / 100000000u;
    const bool negative = std::signbit(value);
    if (whole >= (negative ? 1000000u : 10000000u)) return false;
    uint64_t part = scaled % 100000000u;
    char *p = dst16 + 16;
    for (int i = 0; i < 4; ++i) {
        p -= 2;
        std::memcpy(p, kDigits.zero_padded[part % 100], 2);
        part /= 100;
    }
    *--p = '.';
    p = digits_before(p, whole);
    if (negative) *--p = '-';
    while (p > dst16) *--p = ' ';
    return true;
}

}  // namespace

RowLayout row_layout_for_format(int point_format) {
    switch (point_format) {
        case 0: return {20, false, false, 0, 24};
        case 1: return {28, true, false, 0, 40};
        case 2: return {26, false, true, 20, 39};
        default: return {34, true, true, 28, 55};
    }
}

int fixed_text(double value, int decimals, char *out) {
    int length = 0;
    if (std::signbit(value)) out[length++] = '-';
    if (std::isnan(value) || std::isinf(value)) {
        std::memcpy(out + length, std::isnan(value) ? "nan" : "inf", 3);
        return length + 3;
    }
    if (std::fabs(value) >= 1e16) return -1;
    const unsigned __int128 scaled = scaled_magnitude(value, decimals);
    const uint64_t whole = static_cast<uint64_t>(scaled / kPow10[decimals]);
    uint64_t part = static_cast<uint64_t>(scaled % kPow10[decimals]);
    char digits[24];
    char *first = digits_before(digits + sizeof digits, whole);
    const int count = static_cast<int>(digits + sizeof digits - first);
    std::memcpy(out + length, first, static_cast<size_t>(count));
    length += count;
    if (decimals > 0) {
        out[length++] = '.';
        for (int i = decimals - 1; i >= 0; --i) {
            out[length + i] = static_cast<char>('0' + part % 10);
            part /= 10;
        }
        length += decimals;
    }
    return length;
}

int format_gps_time(char *dst16, double value) {
    if (put_gps_time_8(dst16, value)) return 8;
    char text[40];
    for (int decimals = 8; decimals >= 0; --decimals) {
        const int length = fixed_text(value, decimals, text);
        if (length < 0) break;
        if (length <= 16) {
            std::memset(dst16, ' ', static_cast<size_t>(16 - length));
            std::memcpy(dst16 + 16 - length, text, static_cast<size_t>(length));
            return decimals;
        }
    }
    std::memset(dst16, '*', 16);
    return -1;
}

void format_rows(const unsigned char *records, size_t count, const RowLayout &layout, char *out,
                 ValueChanges &changes) {
    for (size_t i = 0; i < count; ++i, records += layout.record_size, out += layout.row_length) {
        const unsigned char *r = records;
        const unsigned bits = r[14];
        out[0] = ' ';
        put5(out + 1, load_le16(r + 12));                      // Intensity
        out[6] = static_cast<char>('0' + (bits & 7));          // ReturnNumber
        out[7] = static_cast<char>('0' + ((bits >> 3) & 7));   // NumberReturns
        out[8] = static_cast<char>('0' + ((bits >> 6) & 1));   // ScanDirection
        out[9] = static_cast<char>('0' + (bits >> 7));         // EdgeOfFlightLine
        put3(out + 10, r[15]);                                 // Classification, flag bits included
        if (!put_scan_angle(out + 13, static_cast<int8_t>(r[16]))) ++changes.scan_angle_nulls;
        put3(out + 16, r[17]);                                 // FileMarker / UserData
        put5(out + 19, load_le16(r + 18));                     // UserBitField / PointSourceID
        char *next = out + 24;
        if (layout.gps_time) {
            const int decimals = format_gps_time(next, load_le_double(r + 20));
            if (decimals < 0) ++changes.gps_nulls;
            else if (decimals < 8) ++changes.gps_fewer_decimals;
            next += 16;
        }
        if (layout.rgb) {
            put5(next + 0, load_le16(r + layout.rgb_offset));
            put5(next + 5, load_le16(r + layout.rgb_offset + 2));
            put5(next + 10, load_le16(r + layout.rgb_offset + 4));
        }
    }
}
