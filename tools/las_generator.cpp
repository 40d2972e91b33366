#include "las_generator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace {

void put16(unsigned char *p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
void put32(unsigned char *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void put64(unsigned char *p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void put_double(unsigned char *p, double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    put64(p, bits);
}

// SplitMix64: a good, cheap hash of (seed, index).
uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// GPS times that stress fixed-notation formatting: ties at the 9th decimal,
// values at the width limits, negative zero, non-finite values.
// `wide`: for the 19-character GPS time of formats 6-10, values at that
// width's limits join the list.
double edge_gps_time(uint64_t i, uint64_t r, bool wide = false) {
    static const double kSpecial[] = {0.0,
                                      -0.0,
                                      1.0 / 512,
                                      3.0 / 512,
                                      12345.678,
                                      9999999.99999999,
                                      9999999.999999996,
                                      10000000.0,
                                      -999999.99999999,
                                      -1000000.0,
                                      123456789.123456,
                                      1234567890.12345678,
                                      1e15,
                                      9.999999999999998e15,
                                      1e16,
                                      -1e17,
                                      1e300,
                                      std::numeric_limits<double>::quiet_NaN(),
                                      -std::numeric_limits<double>::quiet_NaN(),
                                      std::numeric_limits<double>::infinity(),
                                      -std::numeric_limits<double>::infinity(),
                                      5e-324,
                                      -1e-9,
                                      0.000000005,
                                      0.000000015,
                                      2.5e-8};
    static const double kWide[] = {9999999999.99999999, 99999999999.99999,  -999999999.99999999,
                                   -9999999999.9999999, 999999999999999999.0, 1e18,
                                   -1e18,               1e19,               -99999999999999999.0,
                                   350000000.000000005};
    constexpr uint64_t kCount = sizeof kSpecial / sizeof kSpecial[0];
    constexpr uint64_t kWideCount = sizeof kWide / sizeof kWide[0];
    if (i % 3 == 0 && wide) {
        const uint64_t k = (i / 3) % (kCount + kWideCount);
        return k < kCount ? kSpecial[k] : kWide[k - kCount];
    }
    if (i % 3 == 0) return kSpecial[(i / 3) % kCount];
    if (i % 3 == 1) return static_cast<double>(static_cast<int64_t>(r % 2000000000) - 500000000) / 512.0;
    uint64_t bits = r;
    double d;
    std::memcpy(&d, &bits, 8);
    return d;  // any bit pattern at all
}

// Extra bytes: the type an element has (1-10) and how many elements a run
// of a deprecated array type holds.
uint8_t element_type(uint8_t data_type) {
    return data_type <= 10 ? data_type : static_cast<uint8_t>((data_type - 1) % 10 + 1);
}
unsigned element_count(uint8_t data_type) { return data_type <= 10 ? 1 : data_type <= 20 ? 2 : 3; }
unsigned element_size(uint8_t type) {
    static const unsigned kSize[] = {0, 1, 1, 2, 2, 4, 4, 8, 8, 4, 8};
    return type <= 10 ? kSize[type] : 0;
}

void put_bytes(unsigned char *p, uint64_t v, unsigned size) {
    for (unsigned b = 0; b < size; ++b) p[b] = static_cast<unsigned char>(v >> (8 * b));
}

// The stored bits of one extra-bytes element of type 1-10: random, or in
// edge mode every third value one of the type's limits (integers) or a
// value that is hard to print (floats).
uint64_t extra_value(uint8_t type, uint64_t i, uint64_t r, bool edge) {
    if (type == 9) {
        static const float kFloat[] = {0.0f, -0.0f, std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
                                       std::numeric_limits<float>::min(), std::numeric_limits<float>::denorm_min(),
                                       std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                                       std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
                                       1e20f, 1e13f, -9999999.0f, 0.0000005f, 12345.678f, -0.0000015f};
        float f = static_cast<float>(static_cast<int64_t>(r % 2000001) - 1000000) / 64.0f;
        if (edge) {
            f = kFloat[(i / 2) % (sizeof kFloat / sizeof kFloat[0])];
            if (i % 2 == 1) std::memcpy(&f, &r, 4);  // any bit pattern
        }
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        return bits;
    }
    if (type == 10) {
        static const double kDouble[] = {0.0, -0.0, std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(),
                                         std::numeric_limits<double>::min(), std::numeric_limits<double>::denorm_min(),
                                         std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                                         std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
                                         10000000000000.1, 1e23, -1e12, 123456.00000000005, 0.00000000005, -2.5e-11};
        double d = static_cast<double>(static_cast<int64_t>(r % 2000000000000ull) - 1000000000000ll) / 1024.0;
        if (edge) d = kDouble[(i / 2) % (sizeof kDouble / sizeof kDouble[0])];
        uint64_t bits;
        std::memcpy(&bits, &d, 8);
        return edge && i % 2 == 1 ? r : bits;
    }
    if (!edge || i % 3 != 0) return r;
    const unsigned bits = 8 * element_size(type);
    const uint64_t all = bits == 64 ? ~0ull : (1ull << bits) - 1;
    const bool is_signed = type % 2 == 0;
    const uint64_t lowest = is_signed ? 1ull << (bits - 1) : 0, highest = is_signed ? all >> 1 : all;
    const uint64_t kEdge[] = {lowest, highest, 0, lowest + 1, highest - 1, 1, all};
    return kEdge[(i / 3) % 7];
}

struct PointMaker {
    const LasSpec &spec;
    uint16_t length;
    mutable std::vector<unsigned char> record;  // room for the standard fields and every extra byte

    void make(uint64_t i, unsigned char *out, int32_t xyz[3]) const {
        unsigned char *p = record.data();
        std::memset(p, 0, record.size());
        const uint64_t r = mix(spec.seed * 0x100000001B3ull + i);
        const uint64_t s = mix(r);
        const bool edge = spec.values == LasSpec::Values::Edge;
        if (edge) {
            static const int32_t kCoord[] = {0, 1, -1, std::numeric_limits<int32_t>::max(),
                                             std::numeric_limits<int32_t>::min(), 123456, -123456};
            xyz[0] = (i % 5 == 0) ? kCoord[(i / 5) % 7] : static_cast<int32_t>(r);
            xyz[1] = (i % 5 == 1) ? kCoord[(i / 5) % 7] : static_cast<int32_t>(r >> 32);
            xyz[2] = (i % 5 == 2) ? kCoord[(i / 5) % 7] : static_cast<int32_t>(s);
        } else {
            xyz[0] = static_cast<int32_t>(r % 100000);               // a 1 km tile at cm scale
            xyz[1] = static_cast<int32_t>((r >> 27) % 100000);
            xyz[2] = static_cast<int32_t>((s % 300000)) - 5000;      // -50 m .. 2950 m
        }
        put32(p + 0, static_cast<uint32_t>(xyz[0]));
        put32(p + 4, static_cast<uint32_t>(xyz[1]));
        put32(p + 8, static_cast<uint32_t>(xyz[2]));
        if (spec.point_format >= 6) core14(i, r, s, edge, p);
        else if (!core10(i, r, s, edge, p)) {
            std::memcpy(out, p, length);
            return;
        }
        extra(i, r, edge, p + las_format_length(spec.point_format));
        std::memcpy(out, p, length);
    }

    // Formats 0-5: the 20-byte core, GPS time, colours, wave packet.  False
    // when the record is too short for more than the coordinates.
    bool core10(uint64_t i, uint64_t r, uint64_t s, bool edge, unsigned char *p) const {
        if (length < 20) return false;
        put16(p + 12, edge ? static_cast<uint16_t>((i * 257) ^ (i >> 8)) : static_cast<uint16_t>(s >> 20));
        p[14] = edge ? static_cast<unsigned char>(i) : static_cast<unsigned char>(s >> 40);            // bitfield
        p[15] = edge ? static_cast<unsigned char>(i * 13 + 1) : static_cast<unsigned char>((s >> 48) % 20);
        p[16] = edge ? static_cast<unsigned char>(i * 7 + 3) : static_cast<unsigned char>((s >> 52) % 61 - 30);
        p[17] = static_cast<unsigned char>(edge ? i * 31 : (s >> 8));
        put16(p + 18, static_cast<uint16_t>(edge ? i * 4099 : (s >> 24)));
        const uint8_t fmt = spec.point_format;
        const bool gps = fmt == 1 || fmt >= 3;
        const bool rgb = fmt == 2 || fmt == 3 || fmt == 5;
        if (gps && length >= 28)
            put_double(p + 20, edge ? edge_gps_time(i, s) : 200000.0 + static_cast<double>(i) * 0.00001 +
                                                              static_cast<double>(r % 1000) / 1e6);
        const size_t rgb_at = fmt == 2 ? 20 : 28;
        if (rgb && length >= rgb_at + 6) colours(i, r, s, edge, p + rgb_at);
        if (fmt == 4 || fmt == 5) wave_packet(s, p + (fmt == 4 ? 28 : 34));
        return true;
    }

    // Formats 6-10: the 30-byte core, colours, NIR, wave packet.
    void core14(uint64_t i, uint64_t r, uint64_t s, bool edge, unsigned char *p) const {
        const uint8_t fmt = spec.point_format;
        put16(p + 12, edge ? static_cast<uint16_t>((i * 257) ^ (i >> 8)) : static_cast<uint16_t>(s >> 20));
        if (edge) {
            static const int16_t kAngle[] = {-32768, 32767, 0, -1, 1, -30000, 30000, -16667, 16667};
            p[14] = static_cast<unsigned char>(i);           // every return number / number of returns pair
            p[15] = static_cast<unsigned char>(i * 13 + 1);  // every flag and scanner channel
            p[16] = static_cast<unsigned char>(i * 7 + 3);
            p[17] = static_cast<unsigned char>(i * 31);
            put16(p + 18, static_cast<uint16_t>(i % 4 == 0 ? kAngle[(i / 4) % 9] : static_cast<int16_t>(i * 4099)));
            put16(p + 20, static_cast<uint16_t>(i * 40503));
            put_double(p + 22, edge_gps_time(i, s, true));
        } else {
            // Up to five returns; channels 0-3; now and then withheld, overlap
            // or the edge of the flight line.
            static const uint8_t kClass[] = {1, 2, 2, 2, 2, 3, 4, 5, 5, 6, 7, 9, 17, 18, 64};
            const unsigned returns = 1 + (s >> 36) % 5;
            p[14] = static_cast<unsigned char>((1 + (s >> 40) % returns) | returns << 4);
            p[15] = static_cast<unsigned char>(((s >> 44) & 3) << 4 | ((s >> 46) & 1) << 6 |
                                               ((s >> 47) % 50 == 0) << 7 | ((s >> 53) % 100 == 0) << 2 |
                                               ((s >> 54) % 10 == 0) << 3);
            p[16] = kClass[(s >> 56) % sizeof kClass];
            p[17] = static_cast<unsigned char>(r >> 8);
            put16(p + 18, static_cast<uint16_t>(static_cast<int16_t>((s >> 24) % 10001) - 5000));  // within 30 degrees
            put16(p + 20, static_cast<uint16_t>(r >> 48));
            put_double(p + 22, 350000000.0 + static_cast<double>(i) * 0.0001 + static_cast<double>(r % 1000) / 1e6);
        }
        if (fmt == 7 || fmt == 8 || fmt == 10) colours(i, r, s, edge, p + 30);
        if (fmt == 8 || fmt == 10) put16(p + 36, static_cast<uint16_t>(edge ? (i % 2 ? 65535 : i * 7) : s >> 4));
        if (fmt == 9 || fmt == 10) wave_packet(s, p + (fmt == 9 ? 30 : 38));
    }

    static void colours(uint64_t i, uint64_t r, uint64_t s, bool edge, unsigned char *p) {
        put16(p, static_cast<uint16_t>(edge ? i * 65521 : r >> 16));
        put16(p + 2, static_cast<uint16_t>(edge ? ~i : r >> 40));
        put16(p + 4, static_cast<uint16_t>(edge ? i * 3 : s >> 56));
    }

    // Descriptor index, offset, size, location and dx, dy, dz: any bytes.
    static void wave_packet(uint64_t s, unsigned char *p) {
        for (int k = 0; k < 29; k += 8) {
            unsigned char bytes[8];
            put64(bytes, mix(s + static_cast<uint64_t>(k)));
            std::memcpy(p + k, bytes, std::min(8, 29 - k));
        }
    }

    // The extra bytes after the standard fields, run after run; a run with a
    // no-data value holds it at every seventh point.
    void extra(uint64_t i, uint64_t r, bool edge, unsigned char *p) const {
        for (size_t j = 0; j < spec.extra_bytes.size(); ++j) {
            const ExtraBytes &x = spec.extra_bytes[j];
            const uint64_t rj = mix(r + 0x51ED27ull * (j + 1));
            if (x.data_type == 0 || x.data_type > 30) {
                for (unsigned b = 0; b < extra_bytes_size(x); ++b) p[b] = static_cast<unsigned char>(mix(rj + b));
            } else {
                const uint8_t type = element_type(x.data_type);
                const unsigned size = element_size(type);
                for (unsigned e = 0; e < element_count(x.data_type); ++e) {
                    uint64_t v = extra_value(type, i + e, mix(rj + e), edge);
                    if (x.has_no_data && (i + j) % 7 == 3) {
                        v = x.no_data;
                        if (type == 9) {  // stored as a double, written as a float
                            double d;
                            std::memcpy(&d, &v, 8);
                            const float f = static_cast<float>(d);
                            uint32_t bits;
                            std::memcpy(&bits, &f, 4);
                            v = bits;
                        }
                    }
                    put_bytes(p + e * size, v, size);
                }
            }
            p += extra_bytes_size(x);
        }
    }
};

// Extra Bytes records (LASF_Spec 4) of 192-byte descriptors.
std::string descriptors(const std::vector<ExtraBytes> &runs, size_t from, size_t to) {
    std::string payload;
    for (size_t k = from; k < to; ++k) {
        const ExtraBytes &x = runs[k];
        unsigned char d[192] = {};
        d[2] = x.data_type;
        d[3] = x.data_type == 0 ? x.size
                                : static_cast<unsigned char>((x.has_no_data ? 0x01 : 0) | (x.has_scale ? 0x08 : 0) |
                                                             (x.has_offset ? 0x10 : 0));
        std::memcpy(d + 4, x.name.data(), std::min<size_t>(x.name.size(), 32));
        // Array types use one slot per element; the others only the first.
        for (unsigned e = 0; e < (x.data_type > 10 ? element_count(x.data_type) : 1); ++e) {
            if (x.has_no_data) put64(d + 40 + 8 * e, x.no_data);
            put_double(d + 112 + 8 * e, x.has_scale ? x.scale : 0.0);
            put_double(d + 136 + 8 * e, x.has_offset ? x.offset : 0.0);
        }
        std::memcpy(d + 160, "lasgen", 6);
        payload.append(reinterpret_cast<const char *>(d), 192);
    }
    return payload;
}

std::vector<ExtraVlr> extra_bytes_records(const LasSpec &spec, std::vector<ExtraVlr> &evlrs) {
    const std::vector<ExtraBytes> &runs = spec.extra_bytes;
    if (runs.empty() || spec.describe == LasSpec::Describe::None) return {};
    const size_t split = spec.describe == LasSpec::Describe::One ? runs.size() : std::min(spec.split_at, runs.size());
    std::vector<ExtraVlr> records = {{"LASF_Spec", 4, "Extra Bytes", descriptors(runs, 0, split)}};
    if (split < runs.size()) {
        ExtraVlr rest{"LASF_Spec", 4, "Extra Bytes", descriptors(runs, split, runs.size())};
        if (spec.describe == LasSpec::Describe::SplitEvlr) evlrs.insert(evlrs.begin(), rest);
        else records.push_back(rest);
    }
    return records;
}

}  // namespace

uint16_t extra_bytes_size(const ExtraBytes &e) {
    if (e.data_type == 0) return e.size;
    return static_cast<uint16_t>(element_size(element_type(e.data_type)) * element_count(e.data_type) *
                                 (e.data_type <= 30));
}

ExtraBytes parse_extra_bytes(const std::string &text) {
    std::vector<std::string> parts(1);
    for (const char c : text) {
        if (c == ':') parts.emplace_back();
        else parts.back() += c;
    }
    auto number = [](const std::string &t) {
        size_t used = 0;
        const double v = std::stod(t, &used);
        if (used != t.size()) throw std::invalid_argument("not a number: " + t);
        return v;
    };
    ExtraBytes x;
    const unsigned long type = std::stoul(parts[0]);
    if (type > 255 || parts.size() > 5) throw std::invalid_argument("extra bytes are TYPE[:NAME[:SCALE[:OFFSET[:NODATA]]]]");
    x.data_type = static_cast<uint8_t>(type);
    if (type == 0) {
        if (parts.size() != 2 || std::stoul(parts[1]) == 0 || std::stoul(parts[1]) > 255)
            throw std::invalid_argument("undocumented extra bytes are 0:N, N in 1..255");
        x.size = static_cast<uint8_t>(std::stoul(parts[1]));
        return x;
    }
    if (parts.size() > 1) x.name = parts[1];
    if (parts.size() > 2 && !parts[2].empty()) x.has_scale = true, x.scale = number(parts[2]);
    if (parts.size() > 3 && !parts[3].empty()) x.has_offset = true, x.offset = number(parts[3]);
    if (parts.size() > 4 && !parts[4].empty()) {
        // Stored in the widened type: u64, i64 or f64.
        x.has_no_data = true;
        const uint8_t element = element_type(x.data_type);
        if (element >= 9) {
            const double d = number(parts[4]);
            std::memcpy(&x.no_data, &d, 8);
        } else if (element % 2 == 0) {
            x.no_data = static_cast<uint64_t>(std::stoll(parts[4]));
        } else {
            x.no_data = std::stoull(parts[4]);
        }
    }
    return x;
}

uint16_t las_format_length(uint8_t point_format) {
    static const uint16_t kLength[] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};
    return point_format < 11 ? kLength[point_format] : 20;
}

void write_las(const std::string &path, const LasSpec &spec) {
    uint32_t extra_length = 0;
    for (const ExtraBytes &x : spec.extra_bytes) extra_length += extra_bytes_size(x);
    const uint16_t length = spec.record_length ? spec.record_length
                                               : static_cast<uint16_t>(las_format_length(spec.point_format) + extra_length);
    const bool v13 = spec.version_major == 1 && spec.version_minor == 3;
    const bool v14 = spec.version_major == 1 && spec.version_minor >= 4;
    const uint16_t public_header = v14 ? 375 : v13 ? 235 : 227;
    const uint16_t header_size = std::max(spec.header_size, public_header);
    std::vector<ExtraVlr> evlrs = spec.evlrs;
    std::vector<ExtraVlr> vlrs = spec.extra_vlrs;
    for (ExtraVlr &v : extra_bytes_records(spec, evlrs)) vlrs.push_back(std::move(v));
    constexpr uint32_t kVlrPayload = 16;
    uint64_t extra_bytes = 0;
    for (const ExtraVlr &v : vlrs) extra_bytes += 54 + v.payload.size();
    const uint64_t points_start =
        header_size + static_cast<uint64_t>(spec.vlr_count) * (54 + kVlrPayload) + extra_bytes + spec.gap_bytes;

    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) throw std::runtime_error("cannot create " + path);
    std::vector<unsigned char> head(points_start, 0);
    // Variable-length records: 54-byte header + a small payload each.
    for (uint32_t v = 0; v < spec.vlr_count; ++v) {
        unsigned char *vlr = head.data() + header_size + v * (54 + kVlrPayload);
        std::memcpy(vlr + 2, "pelmora_test", 12);     // user id
        put16(vlr + 18, static_cast<uint16_t>(v));     // record id
        put16(vlr + 20, kVlrPayload);
        std::memcpy(vlr + 22, "test record", 11);      // description
        std::memset(vlr + 54, 0xAB, kVlrPayload);
    }
    uint64_t at = header_size + static_cast<uint64_t>(spec.vlr_count) * (54 + kVlrPayload);
    for (const ExtraVlr &v : vlrs) {
        unsigned char *vlr = head.data() + at;
        std::memcpy(vlr + 2, v.user_id.data(), std::min<size_t>(v.user_id.size(), 16));
        put16(vlr + 18, v.record_id);
        put16(vlr + 20, static_cast<uint16_t>(v.stored_length >= 0 ? v.stored_length : v.payload.size()));
        std::memcpy(vlr + 22, v.description.data(), std::min<size_t>(v.description.size(), 32));
        std::memcpy(vlr + 54, v.payload.data(), v.payload.size());
        at += 54 + v.payload.size();
    }
    for (uint32_t g = 0; g < spec.gap_bytes; ++g) head[points_start - spec.gap_bytes + g] = static_cast<unsigned char>(0xDD ^ g);
    if (std::fwrite(head.data(), 1, head.size(), f) != head.size()) throw std::runtime_error("write failed");

    // Points, in blocks, tracking the real extent for the header box and the
    // returns for the counts by return (1-15; 1-5 only in formats 0-5).
    // Room for the longest standard record (format 10: 67 bytes), whatever
    // the format byte says: a format above 10 still gets the core fields.
    const PointMaker maker{spec, length, std::vector<unsigned char>(std::max<size_t>(length, 67u + extra_length))};
    double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    uint64_t by_return[16] = {};
    constexpr uint64_t kBlock = 65536;
    std::vector<unsigned char> block(kBlock * length);
    for (uint64_t start = 0; start < spec.points; start += kBlock) {
        const uint64_t count = std::min(kBlock, spec.points - start);
        for (uint64_t k = 0; k < count; ++k) {
            int32_t xyz[3];
            maker.make(start + k, block.data() + k * length, xyz);
            for (int a = 0; a < 3; ++a) {
                const double real = static_cast<double>(xyz[a]) * spec.scale[a] + spec.offset[a];
                lo[a] = std::min(lo[a], real);
                hi[a] = std::max(hi[a], real);
            }
            if (length > 14) ++by_return[spec.point_format >= 6 ? block[k * length + 14] & 15 : block[k * length + 14] & 7];
        }
        if (std::fwrite(block.data(), length, count, f) != count) throw std::runtime_error("write failed");
    }
    if (spec.points == 0)
        for (int a = 0; a < 3; ++a) lo[a] = hi[a] = spec.offset[a];
    if (spec.box == LasSpec::Box::Zero)
        for (int a = 0; a < 3; ++a) lo[a] = hi[a] = 0.0;
    if (spec.box == LasSpec::Box::Small)
        for (int a = 0; a < 3; ++a) hi[a] = lo[a] + (hi[a] - lo[a]) / 2;

    // Extended records (60-byte headers) after the points.
    const uint64_t evlr_start = points_start + spec.points * length;
    for (const ExtraVlr &v : evlrs) {
        unsigned char e[60] = {};
        std::memcpy(e + 2, v.user_id.data(), std::min<size_t>(v.user_id.size(), 16));
        put16(e + 18, v.record_id);
        put64(e + 20, v.stored_length >= 0 ? static_cast<uint64_t>(v.stored_length) : v.payload.size());
        std::memcpy(e + 28, v.description.data(), std::min<size_t>(v.description.size(), 32));
        if (std::fwrite(e, 1, 60, f) != 60 || std::fwrite(v.payload.data(), 1, v.payload.size(), f) != v.payload.size())
            throw std::runtime_error("write failed");
    }

    // The public header, byte by byte.
    unsigned char *h = head.data();
    std::memcpy(h, spec.signature, 4);
    if (spec.wkt_bit) put16(h + 6, 0x10);
    h[24] = spec.version_major;
    h[25] = spec.version_minor;
    std::memcpy(h + 26, "PELMORA TEST", 12);
    std::memcpy(h + 58, "lasgen", 6);
    put16(h + 90, 100);
    put16(h + 92, 2026);
    put16(h + 94, header_size);
    put32(h + 96, static_cast<uint32_t>(spec.offset_to_data >= 0 ? spec.offset_to_data : points_start));
    put32(h + 100, spec.stored_vlr_count >= 0 ? static_cast<uint32_t>(spec.stored_vlr_count)
                                              : spec.vlr_count + static_cast<uint32_t>(vlrs.size()));
    h[104] = spec.point_format;
    put16(h + 105, length);
    const uint64_t announced = spec.announced_points >= 0 ? static_cast<uint64_t>(spec.announced_points) : spec.points;
    if (v13 || v14) {
        // The legacy fields copy the count only where a reader of LAS 1.3 could
        // use the file; the returns are counted from the records.
        const bool legacy = v13 || (spec.point_format <= 5 && announced <= 0xFFFFFFFFull);
        put32(h + 107, static_cast<uint32_t>(spec.legacy_count >= 0 ? static_cast<uint64_t>(spec.legacy_count)
                                             : legacy                ? announced
                                                                     : 0));
        const bool legacy_returns = spec.legacy_count >= 0 ? spec.legacy_count > 0 : legacy;
        for (int k = 0; k < 5; ++k)
            put32(h + 111 + 4 * k, static_cast<uint32_t>(legacy_returns ? by_return[k + 1] : 0));
        if (v14) {
            put64(h + 235, evlrs.empty() ? 0 : evlr_start);
            put32(h + 243, static_cast<uint32_t>(evlrs.size()));
            put64(h + 247, announced);
            for (int k = 0; k < 15; ++k) put64(h + 255 + 8 * k, by_return[k + 1]);
        }
    } else {
        put32(h + 107, static_cast<uint32_t>(announced));
        put32(h + 111, static_cast<uint32_t>(announced));  // all first returns, as far as the header says
    }
    for (int a = 0; a < 3; ++a) {
        put_double(h + 131 + 8 * a, spec.scale[a]);
        put_double(h + 155 + 8 * a, spec.offset[a]);
        put_double(h + 179 + 16 * a, hi[a]);
        put_double(h + 187 + 16 * a, lo[a]);
    }
    if (std::fseek(f, 0, SEEK_SET) != 0 || std::fwrite(h, 1, public_header, f) != public_header)
        throw std::runtime_error("write failed");
    if (std::fclose(f) != 0) throw std::runtime_error("close failed");
    if (spec.truncate_to != 0 && truncate(path.c_str(), static_cast<off_t>(spec.truncate_to)) != 0)
        throw std::runtime_error("truncate failed");
}

namespace {

struct GeoKeyValue {
    enum class Kind { Short, Doubles, Ascii } kind = Kind::Short;
    uint16_t short_value = 0;
    std::vector<double> doubles;
    std::string ascii;
};

std::string preset_keys(const std::string &name) {
    if (name.rfind("projected:", 0) == 0) return "1024=1,1025=1,3072=" + name.substr(10);
    if (name.rfind("geographic:", 0) == 0) return "1024=2,1025=1,2048=" + name.substr(11) + ",2054=9102";
    if (name == "user-tm")
        return "1024=1,1025=1,1026='Pelmora test TM',2048=4269,2054=9102,3072=32767,3074=32767,3075=1,3076=9001,"
               "3080=-84.5,3081=31.0,3082=200000.0,3083=10000.0,3092=0.9999";
    throw std::invalid_argument("unknown GeoKey preset " + name);
}

// Splits at commas outside single quotes.
std::vector<std::string> split_entries(const std::string &text) {
    std::vector<std::string> parts(1);
    bool quoted = false;
    for (const char c : text) {
        if (c == '\'') quoted = !quoted;
        if (c == ',' && !quoted) parts.emplace_back();
        else parts.back() += c;
    }
    if (quoted) throw std::invalid_argument("unterminated quote in GeoKeys");
    return parts;
}

GeoKeyValue parse_value(const std::string &text) {
    GeoKeyValue v;
    if (text.size() >= 2 && text.front() == '\'' && text.back() == '\'') {
        v.kind = GeoKeyValue::Kind::Ascii;
        v.ascii = text.substr(1, text.size() - 2) + "|";
        return v;
    }
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
        const unsigned long n = std::stoul(text);
        if (n > 65535) throw std::invalid_argument("SHORT GeoKey value out of range: " + text);
        v.short_value = static_cast<uint16_t>(n);
        return v;
    }
    v.kind = GeoKeyValue::Kind::Doubles;
    size_t start = 0;
    while (true) {
        const size_t slash = text.find('/', start);
        const std::string item = text.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        size_t used = 0;
        v.doubles.push_back(std::stod(item, &used));
        if (used != item.size()) throw std::invalid_argument("not a number: " + item);
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return v;
}

std::string bytes16(const std::vector<uint16_t> &values) {
    std::string out(values.size() * 2, '\0');
    for (size_t i = 0; i < values.size(); ++i) put16(reinterpret_cast<unsigned char *>(&out[2 * i]), values[i]);
    return out;
}

}  // namespace

std::vector<ExtraVlr> geokey_vlrs(const std::string &keys, int32_t key_count) {
    const std::string list = keys.find('=') == std::string::npos ? preset_keys(keys) : keys;
    std::map<uint16_t, GeoKeyValue> entries;
    for (const std::string &entry : split_entries(list)) {
        const size_t eq = entry.find('=');
        if (eq == std::string::npos) throw std::invalid_argument("GeoKey entry without '=': " + entry);
        const unsigned long id = std::stoul(entry.substr(0, eq));
        if (id > 65535) throw std::invalid_argument("GeoKey id out of range: " + entry);
        entries[static_cast<uint16_t>(id)] = parse_value(entry.substr(eq + 1));
    }
    std::vector<uint16_t> directory = {1, 1, 0, static_cast<uint16_t>(key_count >= 0 ? key_count : entries.size())};
    std::vector<double> doubles;
    std::string ascii;
    for (const auto &[id, v] : entries) {
        switch (v.kind) {
            case GeoKeyValue::Kind::Short: directory.insert(directory.end(), {id, 0, 1, v.short_value}); break;
            case GeoKeyValue::Kind::Doubles:
                directory.insert(directory.end(), {id, 34736, static_cast<uint16_t>(v.doubles.size()),
                                                   static_cast<uint16_t>(doubles.size())});
                doubles.insert(doubles.end(), v.doubles.begin(), v.doubles.end());
                break;
            case GeoKeyValue::Kind::Ascii:
                directory.insert(directory.end(), {id, 34737, static_cast<uint16_t>(v.ascii.size()),
                                                   static_cast<uint16_t>(ascii.size())});
                ascii += v.ascii;
                break;
        }
    }
    std::vector<ExtraVlr> records;
    records.push_back({"LASF_Projection", 34735, "GeoKeyDirectoryTag", bytes16(directory)});
    if (!doubles.empty()) {
        std::string payload(doubles.size() * 8, '\0');
        for (size_t i = 0; i < doubles.size(); ++i) put_double(reinterpret_cast<unsigned char *>(&payload[8 * i]), doubles[i]);
        records.push_back({"LASF_Projection", 34736, "GeoDoubleParamsTag", payload});
    }
    if (!ascii.empty()) records.push_back({"LASF_Projection", 34737, "GeoAsciiParamsTag", ascii});
    return records;
}

ExtraVlr wkt_vlr(const std::string &wkt) {
    return {"LASF_Projection", 2112, "OGC coordinate system WKT", wkt + std::string(1, '\0')};
}
