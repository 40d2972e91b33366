#include "dbf/row_format.h"

#include <cmath>
#include <cstring>

#include "byte_order.h"

namespace {

constexpr uint64_t kPow10[] = {1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull,
                               100000000ull};

// Right-aligns an unsigned value known to fit in `width` characters.
inline void put_unsigned(char *dst, int width, unsigned value) {
    char *p = dst + width;
    do {
        *--p = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (p > dst) *--p = ' ';
}

// Three characters for the signed scan angle: -99..127 as "%3d", anything
// below -99 needs four and becomes the null "***".
inline bool put_scan_angle(char *dst, int value) {
    if (value >= 0) {
        put_unsigned(dst, 3, static_cast<unsigned>(value));
    } else if (value > -10) {
        dst[0] = ' ';
        dst[1] = '-';
        dst[2] = static_cast<char>('0' - value);
    } else if (value > -100) {
        dst[0] = '-';
        dst[1] = static_cast<char>('0' + (-value) / 10);
        dst[2] = static_cast<char>('0' + (-value) % 10);
    } else {
        std::memcpy(dst, "***", 3);
        return false;
    }
    return true;
}

// Decimal digits of v, most significant first; returns how many.
int unsigned_digits(uint64_t v, char *out) {
    char tmp[24];
    int n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    for (int i = 0; i < n; ++i) out[i] = tmp[n - 1 - i];
    return n;
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
    const double magnitude = std::fabs(value);
    if (magnitude >= 1e16) return -1;

    // magnitude = mantissa x 2^exponent exactly, mantissa < 2^53.
    int exponent = 0;
    const double fraction = std::frexp(magnitude, &exponent);
    const uint64_t mantissa = static_cast<uint64_t>(std::ldexp(fraction, 53));
    exponent -= 53;

    // scaled = round_half_even(magnitude x 10^decimals), computed exactly:
    // mantissa x 10^8 < 2^80 and magnitude < 1e16 keep it within 128 bits.
    using u128 = unsigned __int128;
    const u128 product = static_cast<u128>(mantissa) * kPow10[decimals];
    u128 scaled;
    if (exponent >= 0) {
        scaled = product << exponent;
    } else if (-exponent >= 100) {
        scaled = 0;  // below 2^-20 of a unit in the last place: rounds to zero
    } else {
        const int shift = -exponent;
        scaled = product >> shift;
        const u128 remainder = product - (scaled << shift);
        const u128 half = static_cast<u128>(1) << (shift - 1);
        if (remainder > half || (remainder == half && (scaled & 1) != 0)) ++scaled;
    }

    const uint64_t whole = static_cast<uint64_t>(scaled / kPow10[decimals]);
    const uint64_t part = static_cast<uint64_t>(scaled % kPow10[decimals]);
    length += unsigned_digits(whole, out + length);
    if (decimals > 0) {
        out[length++] = '.';
        uint64_t rest = part;
        for (int i = decimals - 1; i >= 0; --i) {
            out[length + i] = static_cast<char>('0' + rest % 10);
            rest /= 10;
        }
        length += decimals;
    }
    return length;
}

int format_gps_time(char *dst16, double value) {
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
        put_unsigned(out + 1, 5, load_le16(r + 12));   // Intensity
        out[6] = static_cast<char>('0' + (bits & 7));          // ReturnNumber
        out[7] = static_cast<char>('0' + ((bits >> 3) & 7));   // NumberReturns
        out[8] = static_cast<char>('0' + ((bits >> 6) & 1));   // ScanDirection
        out[9] = static_cast<char>('0' + (bits >> 7));         // EdgeOfFlightLine
        put_unsigned(out + 10, 3, r[15]);                      // Classification, flag bits included
        if (!put_scan_angle(out + 13, static_cast<int8_t>(r[16]))) ++changes.scan_angle_nulls;
        put_unsigned(out + 16, 3, r[17]);                      // FileMarker / UserData
        put_unsigned(out + 19, 5, load_le16(r + 18));          // UserBitField / PointSourceID
        char *next = out + 24;
        if (layout.gps_time) {
            const int decimals = format_gps_time(next, load_le_double(r + 20));
            if (decimals < 0) ++changes.gps_nulls;
            else if (decimals < 8) ++changes.gps_fewer_decimals;
            next += 16;
        }
        if (layout.rgb) {
            put_unsigned(next + 0, 5, load_le16(r + layout.rgb_offset));
            put_unsigned(next + 5, 5, load_le16(r + layout.rgb_offset + 2));
            put_unsigned(next + 10, 5, load_le16(r + layout.rgb_offset + 4));
        }
    }
}
