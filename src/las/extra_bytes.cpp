#include "las/extra_bytes.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "io/byte_order.h"

namespace {

constexpr size_t kDescriptorBytes = 192;
constexpr int kMaxDecimals = 10;
// No text field is made wider than this; values too wide for it follow the
// rule of every numeric field: fewer decimals, then asterisks.
constexpr int kMaxWidth = 40;

// Bytes of one value of types 1..10.
constexpr uint8_t kTypeSize[11] = {0, 1, 1, 2, 2, 4, 4, 8, 8, 4, 8};

// Characters of `value` in fixed notation with `decimals` decimals.
int text_length(double value, int decimals) {
    char text[400];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    if (result.ec != std::errc()) return kMaxWidth + 1;
    return static_cast<int>(result.ptr - text);
}

// The smallest and largest raw value of a type, as doubles.
void type_range(uint8_t type, double &lowest, double &highest) {
    switch (type) {
        case 1: lowest = 0, highest = 255; break;
        case 2: lowest = -128, highest = 127; break;
        case 3: lowest = 0, highest = 65535; break;
        case 4: lowest = -32768, highest = 32767; break;
        case 5: lowest = 0, highest = 4294967295.0; break;
        case 6: lowest = -2147483648.0, highest = 2147483647.0; break;
        case 7: lowest = 0, highest = 18446744073709551615.0; break;
        case 8: lowest = -9223372036854775808.0, highest = 9223372036854775807.0; break;
        case 9: lowest = -static_cast<double>(std::numeric_limits<float>::max()),
                highest = static_cast<double>(std::numeric_limits<float>::max()); break;
        default: lowest = -std::numeric_limits<double>::max(), highest = std::numeric_limits<double>::max(); break;
    }
}

// The field of an attribute: integers whose every value fits; scaled
// values with the decimals scale and offset need and the width of the
// type's range after them; floating-point values with 6 (f32) or 10 (f64)
// decimals in a field of 20 or 24 characters, since no fixed-width text
// holds their whole range.
void size_field(ExtraAttribute &a) {
    if (a.floating() && !a.scaled && !a.offset_applies) {
        a.width = a.data_type == 9 ? 20 : 24;
        a.decimals = a.data_type == 9 ? 6 : 10;
        return;
    }
    double lowest = 0, highest = 0;
    type_range(a.data_type, lowest, highest);
    int decimals = 0;
    if (a.scaled) decimals = decimals_needed(a.scale);
    if (a.offset_applies) decimals = std::max(decimals, decimals_needed(a.offset));
    if (a.floating()) decimals = std::max(decimals, a.data_type == 9 ? 6 : 10);
    const double s = a.scaled ? a.scale : 1.0, o = a.offset_applies ? a.offset : 0.0;
    const int width = std::max(text_length(lowest * s + o, decimals), text_length(highest * s + o, decimals));
    a.decimals = static_cast<uint8_t>(decimals);
    a.width = static_cast<uint8_t>(std::min(width, kMaxWidth));
}

}  // namespace

int decimals_needed(double step) {
    step = std::fabs(step);
    if (!std::isfinite(step) || step == 0) return 0;
    for (int d = 0; d < kMaxDecimals; ++d) {
        const double scaled = step * std::pow(10.0, d);
        if (std::fabs(scaled - std::round(scaled)) <= 1e-9 * std::max(1.0, scaled)) return d;
    }
    return kMaxDecimals;
}

ExtraBytesLayout extra_bytes_layout(const std::vector<LasVlr> &records, uint16_t standard_length,
                                    uint16_t record_length) {
    ExtraBytesLayout layout;
    const uint32_t extra = record_length > standard_length ? record_length - standard_length : 0;
    uint32_t described = 0;  // bytes of the extra bytes the descriptors so far cover
    uint32_t written = 0;
    bool stop = false;
    for (const LasVlr &record : records) {
        const auto *p = reinterpret_cast<const unsigned char *>(record.payload.data());
        for (size_t at = 0; !stop && at + kDescriptorBytes <= record.payload.size(); at += kDescriptorBytes) {
            const unsigned char *d = p + at;
            const uint8_t type = d[2], options = d[3];
            uint32_t size = 0;
            if (type == 0) size = options;                                    // undocumented bytes
            else if (type <= 10) size = kTypeSize[type];
            else if (type <= 20) size = 2u * kTypeSize[type - 10];            // deprecated pairs
            else if (type <= 30) size = 3u * kTypeSize[type - 20];            // deprecated triples
            else {
                stop = true;  // a reserved type: its size, and so every later place, is unknown
                break;
            }
            if (described + size > extra) {
                stop = true;  // reaches past the record, and so do all that follow
                break;
            }
            if (type >= 1 && type <= 10) {
                ExtraAttribute a;
                const char *name = reinterpret_cast<const char *>(d + 4);
                a.name.assign(name, std::find(name, name + 32, '\0'));
                a.data_type = type;
                a.at = static_cast<uint16_t>(standard_length + described);
                a.size = static_cast<uint8_t>(size);
                a.has_no_data = (options & 0x01) != 0;
                a.no_data = load_le64(d + 40);
                a.scaled = (options & 0x08) != 0;
                a.scale = load_le_double(d + 112);
                a.offset_applies = (options & 0x10) != 0;
                a.offset = load_le_double(d + 136);
                // A scale or offset that is not a finite number describes
                // no value at all: the attribute is left out.
                const bool usable = (!a.scaled || (std::isfinite(a.scale) && a.scale != 0)) &&
                                    (!a.offset_applies || std::isfinite(a.offset));
                if (usable) {
                    size_field(a);
                    layout.attributes.push_back(a);
                    written += size;
                }
            }
            described += size;
        }
        if (stop) break;
    }
    layout.unwritten_bytes = extra - written;
    return layout;
}
