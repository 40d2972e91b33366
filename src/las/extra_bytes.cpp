#include "las/extra_bytes.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "io/byte_order.h"

namespace {

constexpr size_t kDescriptorBytes = 192;
// Descriptor fields: data type, options bits, name (32 bytes), no-data (8),
// scale (3 doubles, the first used), offset (3 doubles).
constexpr size_t kTypeAt = 2, kOptionsAt = 3, kNameAt = 4, kNoDataAt = 40, kScaleAt = 112, kOffsetAt = 136;
constexpr uint8_t kNoDataBit = 0x01, kScaleBit = 0x08, kOffsetBit = 0x10;

// Bytes of each record a descriptor of `type` covers: type 0 holds its
// size in the options byte, 11-20 and 21-30 are deprecated pairs and
// triples of 1-10; 0 for a reserved type, whose size is unknown.
uint32_t covered_bytes(uint8_t type, uint8_t options) {
    if (type == 0) return options;
    if (type <= kMaxExtraType) return kExtraTypes[type].size;
    if (type <= 20) return 2u * kExtraTypes[type - 10].size;
    if (type <= 30) return 3u * kExtraTypes[type - 20].size;
    return 0;
}

ExtraAttribute attribute_of(const unsigned char *d, uint8_t type, uint16_t at) {
    ExtraAttribute a;
    const char *name = reinterpret_cast<const char *>(d + kNameAt);
    a.name.assign(name, std::find(name, name + 32, '\0'));
    a.data_type = type;
    a.at = at;
    const uint8_t options = d[kOptionsAt];
    a.has_no_data = (options & kNoDataBit) != 0;
    a.no_data = load_le64(d + kNoDataAt);
    a.scaled = (options & kScaleBit) != 0;
    a.scale = load_le_double(d + kScaleAt);
    a.offset_applies = (options & kOffsetBit) != 0;
    a.offset = load_le_double(d + kOffsetAt);
    return a;
}

}  // namespace

ExtraBytesLayout extra_bytes_layout(const std::vector<LasVlr> &records, uint16_t standard_length,
                                    uint16_t record_length) {
    ExtraBytesLayout layout;
    const uint32_t extra = record_length > standard_length ? record_length - standard_length : 0;
    uint32_t described = 0;  // bytes of the extra bytes the descriptors so far cover
    uint32_t written = 0;
    for (const LasVlr &record : records) {
        const auto *p = reinterpret_cast<const unsigned char *>(record.payload.data());
        for (size_t at = 0; at + kDescriptorBytes <= record.payload.size(); at += kDescriptorBytes) {
            const unsigned char *d = p + at;
            const uint8_t type = d[kTypeAt];
            const uint32_t size = covered_bytes(type, d[kOptionsAt]);
            // A reserved type: its size, and so every later place, is
            // unknown.  A descriptor reaching past the record: so do all
            // that follow.  Either ends the description.
            if ((type > 30) || described + size > extra) {
                layout.unwritten_bytes = extra - written;
                return layout;
            }
            if (type >= 1 && type <= kMaxExtraType) {
                const ExtraAttribute a = attribute_of(d, type, static_cast<uint16_t>(standard_length + described));
                // A scale or offset that is not a finite number describes
                // no value at all: the attribute is left out.
                const bool usable = (!a.scaled || (std::isfinite(a.scale) && a.scale != 0)) &&
                                    (!a.offset_applies || std::isfinite(a.offset));
                if (usable) {
                    layout.attributes.push_back(a);
                    written += size;
                }
            }
            described += size;
        }
    }
    layout.unwritten_bytes = extra - written;
    return layout;
}

ExtraValue load_extra(const unsigned char *value, const ExtraType &type) {
    uint64_t bits = 0;
    for (int b = type.size - 1; b >= 0; --b) bits = bits << 8 | value[b];
    if (type.floating && type.size == 4) {
        float f;
        const uint32_t narrow = static_cast<uint32_t>(bits);
        std::memcpy(&f, &narrow, sizeof f);
        const double d = f;
        std::memcpy(&bits, &d, sizeof bits);
        return {bits, d};
    }
    if (type.floating) {
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return {bits, d};
    }
    if (type.is_signed && type.size < 8) {
        const unsigned shift = 64 - 8u * type.size;
        bits = static_cast<uint64_t>(static_cast<int64_t>(bits << shift) >> shift);
    }
    const double number = type.is_signed ? static_cast<double>(static_cast<int64_t>(bits)) : static_cast<double>(bits);
    return {bits, number};
}
