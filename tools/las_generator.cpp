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
double edge_gps_time(uint64_t i, uint64_t r) {
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
    constexpr uint64_t kCount = sizeof kSpecial / sizeof kSpecial[0];
    if (i % 3 == 0) return kSpecial[(i / 3) % kCount];
    if (i % 3 == 1) return static_cast<double>(static_cast<int64_t>(r % 2000000000) - 500000000) / 512.0;
    uint64_t bits = r;
    double d;
    std::memcpy(&d, &bits, 8);
    return d;  // any bit pattern at all
}

struct PointMaker {
    const LasSpec &spec;
    uint16_t length;

    void make(uint64_t i, unsigned char *p, int32_t xyz[3]) const {
        std::memset(p, 0, length);
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
        if (length < 20) return;
        put16(p + 12, edge ? static_cast<uint16_t>((i * 257) ^ (i >> 8)) : static_cast<uint16_t>(s >> 20));
        p[14] = edge ? static_cast<unsigned char>(i) : static_cast<unsigned char>(s >> 40);            // bitfield
        p[15] = edge ? static_cast<unsigned char>(i * 13 + 1) : static_cast<unsigned char>((s >> 48) % 20);
        p[16] = edge ? static_cast<unsigned char>(i * 7 + 3) : static_cast<unsigned char>((s >> 52) % 61 - 30);
        p[17] = static_cast<unsigned char>(edge ? i * 31 : (s >> 8));
        put16(p + 18, static_cast<uint16_t>(edge ? i * 4099 : (s >> 24)));
        const uint8_t fmt = spec.point_format;
        const bool gps = fmt == 1 || fmt == 3;
        const bool rgb = fmt == 2 || fmt == 3;
        if (gps && length >= 28)
            put_double(p + 20, edge ? edge_gps_time(i, s) : 200000.0 + static_cast<double>(i) * 0.00001 +
                                                              static_cast<double>(r % 1000) / 1e6);
        const size_t rgb_at = fmt == 2 ? 20 : 28;
        if (rgb && length >= rgb_at + 6) {
            put16(p + rgb_at, static_cast<uint16_t>(edge ? i * 65521 : r >> 16));
            put16(p + rgb_at + 2, static_cast<uint16_t>(edge ? ~i : r >> 40));
            put16(p + rgb_at + 4, static_cast<uint16_t>(edge ? i * 3 : s >> 56));
        }
    }
};

}  // namespace

uint16_t las_format_length(uint8_t point_format) {
    static const uint16_t kLength[] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};
    return point_format < 11 ? kLength[point_format] : 20;
}

void write_las(const std::string &path, const LasSpec &spec) {
    const uint16_t length = spec.record_length ? spec.record_length : las_format_length(spec.point_format);
    const uint16_t header_size = std::max<uint16_t>(spec.header_size, 227);
    constexpr uint32_t kVlrPayload = 16;
    uint64_t extra_bytes = 0;
    for (const ExtraVlr &v : spec.extra_vlrs) extra_bytes += 54 + v.payload.size();
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
    for (const ExtraVlr &v : spec.extra_vlrs) {
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

    // Points, in blocks, tracking the real extent for the header box.
    const PointMaker maker{spec, length};
    double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
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
        }
        if (std::fwrite(block.data(), length, count, f) != count) throw std::runtime_error("write failed");
    }
    if (spec.points == 0)
        for (int a = 0; a < 3; ++a) lo[a] = hi[a] = spec.offset[a];
    if (spec.box == LasSpec::Box::Zero)
        for (int a = 0; a < 3; ++a) lo[a] = hi[a] = 0.0;
    if (spec.box == LasSpec::Box::Small)
        for (int a = 0; a < 3; ++a) hi[a] = lo[a] + (hi[a] - lo[a]) / 2;

    // The public header, byte by byte.
    unsigned char *h = head.data();
    std::memcpy(h, spec.signature, 4);
    h[24] = spec.version_major;
    h[25] = spec.version_minor;
    std::memcpy(h + 26, "PELMORA TEST", 12);
    std::memcpy(h + 58, "lasgen", 6);
    put16(h + 90, 100);
    put16(h + 92, 2026);
    put16(h + 94, header_size);
    put32(h + 96, static_cast<uint32_t>(spec.offset_to_data >= 0 ? spec.offset_to_data : points_start));
    put32(h + 100, spec.stored_vlr_count >= 0 ? static_cast<uint32_t>(spec.stored_vlr_count)
                                              : spec.vlr_count + static_cast<uint32_t>(spec.extra_vlrs.size()));
    h[104] = spec.point_format;
    put16(h + 105, length);
    const uint64_t announced = spec.announced_points >= 0 ? static_cast<uint64_t>(spec.announced_points) : spec.points;
    put32(h + 107, static_cast<uint32_t>(announced));
    put32(h + 111, static_cast<uint32_t>(announced));  // all first returns, as far as the header says
    for (int a = 0; a < 3; ++a) {
        put_double(h + 131 + 8 * a, spec.scale[a]);
        put_double(h + 155 + 8 * a, spec.offset[a]);
        put_double(h + 179 + 16 * a, hi[a]);
        put_double(h + 187 + 16 * a, lo[a]);
    }
    if (std::fseek(f, 0, SEEK_SET) != 0 || std::fwrite(h, 1, 227, f) != 227) throw std::runtime_error("write failed");
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
