#include "dbf/row_format.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "dbf/dbf_schema.h"
#include "io/byte_order.h"

namespace {

// Text tables, built once: "%3d" of 0..999, "%02d" / "%2d" of 0..99, and
// "%04d" / "%4d" of 0..9999.  They replace a division per digit.
struct DigitTables {
    char width3[1000][3];
    char zero_padded[100][2];
    char blank_padded[100][2];
    char zero_padded4[10000][4];
    char blank_padded4[10000][4];
    DigitTables() {
        for (int v = 0; v < 1000; ++v) {
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
        for (int v = 0; v < 10000; ++v) {
            const int digits[4] = {v / 1000, v / 100 % 10, v / 10 % 10, v % 10};
            const int first = v >= 1000 ? 0 : v >= 100 ? 1 : v >= 10 ? 2 : 3;
            for (int i = 0; i < 4; ++i) {
                zero_padded4[v][i] = static_cast<char>('0' + digits[i]);
                blank_padded4[v][i] = i < first ? ' ' : zero_padded4[v][i];
            }
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

// round_half_even(|value| x 10^8) for a finite |value| < 2^53 / 10^8,
// exactly: |value| = mantissa x 2^exponent, and mantissa x 10^8 < 2^80 keeps
// the product within 128 bits.
uint64_t scaled_by_1e8(double magnitude) {
    uint64_t bits;
    std::memcpy(&bits, &magnitude, sizeof bits);
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    uint64_t mantissa = bits & ((1ull << 52) - 1);
    int exponent = -1074;  // subnormal
    if (biased != 0) {
        mantissa |= 1ull << 52;
        exponent = biased - 1075;
    }
    using u128 = unsigned __int128;
    const u128 product = static_cast<u128>(mantissa) * 100000000u;
    if (exponent >= 0) return static_cast<uint64_t>(product << exponent);
    const int shift = -exponent;
    if (shift >= 100) return 0;  // below 2^-20 of a unit in the last place: rounds to zero
    u128 scaled = product >> shift;
    const u128 remainder = product - (scaled << shift);
    const u128 half = static_cast<u128>(1) << (shift - 1);
    if (remainder > half || (remainder == half && (scaled & 1) != 0)) ++scaled;
    return static_cast<uint64_t>(scaled);
}

// The usual GPS time: "%16.8f" when its text fits, that is 7 characters
// of sign and whole seconds, the point, and 8 decimals, written straight
// into the field from four-digit tables.  Returns false (writing nothing
// useful) otherwise.  It pays: 13 ns a value against 53 ns for
// std::to_chars(fixed, 8) and padding (bench/gps_text_bench, 2026-12-08),
// 0.4 s of a core on 10,000,000 points with GPS times.
inline bool put_gps_time_8(char *dst16, double value) {
    const double magnitude = std::fabs(value);
    if (!(magnitude < 1e7)) return false;  // also NaN and infinities
    const uint64_t scaled = scaled_by_1e8(magnitude);
    const uint32_t whole = static_cast<uint32_t>(scaled / 100000000u);
    const bool negative = std::signbit(value);
    if (whole >= (negative ? 1000000u : 10000000u)) return false;
    const uint32_t part = static_cast<uint32_t>(scaled - static_cast<uint64_t>(whole) * 100000000u);
    std::memcpy(dst16 + 8, kDigits.zero_padded4[part / 10000], 4);
    std::memcpy(dst16 + 12, kDigits.zero_padded4[part % 10000], 4);
    dst16[7] = '.';
    const uint32_t high = whole / 10000, low = whole % 10000;
    int digits;
    if (high != 0) {
        std::memcpy(dst16, kDigits.width3[high], 3);
        std::memcpy(dst16 + 3, kDigits.zero_padded4[low], 4);
        digits = 4 + (high >= 100 ? 3 : high >= 10 ? 2 : 1);
    } else {
        std::memcpy(dst16, "   ", 3);
        std::memcpy(dst16 + 3, kDigits.blank_padded4[low], 4);
        digits = low >= 1000 ? 4 : low >= 100 ? 3 : low >= 10 ? 2 : 1;
    }
    if (negative) dst16[6 - digits] = '-';
    return true;
}

// One row per record of a point format whose record and row layouts are
// known at compile time; the positions come from the schema.
template <int16_t LasType>
void format_rows_of(const unsigned char *records, size_t count, char *out, ValueChanges &changes) {
    constexpr LasVariant kVariant = kLasVariants[LasType];
    constexpr DbfSchema kSchema = dbf_schema(LasType);
    constexpr size_t kStride = kVariant.record_length, kRow = kSchema.row_length();
    constexpr size_t kIntensity = kSchema.offset_of(DbfColumn::Intensity);
    constexpr size_t kReturnNumber = kSchema.offset_of(DbfColumn::ReturnNumber);
    constexpr size_t kNumberReturns = kSchema.offset_of(DbfColumn::NumberReturns);
    constexpr size_t kScanDirection = kSchema.offset_of(DbfColumn::ScanDirection);
    constexpr size_t kEdge = kSchema.offset_of(DbfColumn::EdgeOfFlightLine);
    constexpr size_t kClassification = kSchema.offset_of(DbfColumn::Classification);
    constexpr size_t kScanAngle = kSchema.offset_of(DbfColumn::ScanAngleRank);
    constexpr size_t kUserData = kSchema.offset_of(DbfColumn::UserData);
    constexpr size_t kPointSource = kSchema.offset_of(DbfColumn::PointSourceID);
    constexpr size_t kGps = kSchema.offset_of(DbfColumn::GPSTime);
    constexpr size_t kRed = kSchema.offset_of(DbfColumn::Red);
    constexpr size_t kGreen = kSchema.offset_of(DbfColumn::Green);
    constexpr size_t kBlue = kSchema.offset_of(DbfColumn::Blue);
    // The single-digit flag fields sit side by side in every schema.
    static_assert(kNumberReturns == kReturnNumber + 1 && kScanDirection == kReturnNumber + 2 &&
                  kEdge == kReturnNumber + 3);

    for (size_t i = 0; i < count; ++i, records += kStride, out += kRow) {
        const unsigned char *r = records;
        const unsigned bits = r[las_core::kBitfield];
        out[0] = ' ';
        put5(out + kIntensity, load_le16(r + las_core::kIntensity));
        out[kReturnNumber] = static_cast<char>('0' + (bits & 7));
        out[kNumberReturns] = static_cast<char>('0' + ((bits >> 3) & 7));
        out[kScanDirection] = static_cast<char>('0' + ((bits >> 6) & 1));
        out[kEdge] = static_cast<char>('0' + (bits >> 7));
        put3(out + kClassification, r[las_core::kClassification]);  // flag bits included
        if (!put_scan_angle(out + kScanAngle, static_cast<int8_t>(r[las_core::kScanAngleRank])))
            ++changes.scan_angle_nulls;
        put3(out + kUserData, r[las_core::kUserData]);
        put5(out + kPointSource, load_le16(r + las_core::kPointSourceID));
        if constexpr (kVariant.gps_time) {
            const int decimals = format_gps_time(out + kGps, load_le_double(r + las_core::kGPSTime));
            if (decimals < 0) ++changes.gps_nulls;
            else if (decimals < 8) ++changes.gps_fewer_decimals;
        }
        if constexpr (kVariant.rgb) {
            put5(out + kRed, load_le16(r + kVariant.rgb_offset));
            put5(out + kGreen, load_le16(r + kVariant.rgb_offset + 2));
            put5(out + kBlue, load_le16(r + kVariant.rgb_offset + 4));
        }
    }
}

}  // namespace

int fixed_text(double value, int decimals, char *out) {
    if (std::isfinite(value) && std::fabs(value) >= 1e16) return -1;
    // Exact, as glibc's printf: the digits of the double's exact binary value,
    // ties rounded to even; "nan", "-nan", "inf", "-inf" as printf writes them.
    const std::to_chars_result result = std::to_chars(out, out + 40, value, std::chars_format::fixed, decimals);
    return static_cast<int>(result.ptr - out);
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

void format_rows(const unsigned char *records, size_t count, int16_t las_type, char *out, ValueChanges &changes) {
    // The 1.1 and 1.2 rows of a format are the same; 1.0 only names two
    // fields differently.
    switch (las_type) {
        case 1: format_rows_of<1>(records, count, out, changes); break;
        case 2: format_rows_of<2>(records, count, out, changes); break;
        case 3: format_rows_of<3>(records, count, out, changes); break;
        case 4: format_rows_of<4>(records, count, out, changes); break;
        case 5: format_rows_of<5>(records, count, out, changes); break;
        case 6: format_rows_of<6>(records, count, out, changes); break;
        case 7: format_rows_of<7>(records, count, out, changes); break;
        case 8: format_rows_of<8>(records, count, out, changes); break;
        default: break;
    }
}
