// lasgen: writes LAS test files for the tests, the sample and the benchmark.
//
//   lasgen [options] OUTPUT.las
//     --version M.m        LAS version (default 1.2)
//     --format N           point data format (default 3)
//     --points N           point records written (default 10)
//     --announce N         point count stored in the header (default: --points)
//     --record-length N    stored record length, and the bytes per record written
//     --header-size N      HeaderSize (>= 227; the rest is padding)
//     --vlrs N             variable-length records before the points
//     --gap N              junk bytes between the records and the points
//     --offset-to-data N   stored OffsetToData (default: where the points start)
//     --signature XXXX     file signature (default LASF)
//     --values typical|edge  realistic values, or every edge value in turn
//     --box points|zero|small  header bounds: the points' extent, zeros, or too small
//     --seed N             varies the point contents
//     --truncate N         cut the finished file to N bytes
//     --geokeys KEYS       GeoKey records (LASF_Projection 34735-34737) after the --vlrs
//                          records: projected:N, geographic:N, user-tm, or KEY=VALUE,...
//                          (see geokey_vlrs in las_generator.h)
//     --geokey-count N     NumberOfKeys stored in the GeoKey directory
//     --geokey-vlr-length N  record length stored in the GeoKey directory's record header
//     --wkt-vlr TEXT       an OGC WKT record (LASF_Projection 2112) after the GeoKey records
//     --vlr-count N        NumberOfVariableLengthRecords stored (default: the records written)
//   LAS 1.3 and 1.4 (--version 1.3: 235-byte header; 1.4: 375 bytes, 64-bit counts, EVLRs):
//     --legacy-count N     legacy point count stored at offset 107 (default: the count in 1.3;
//                          in 1.4 the count for formats 0-5, 0 for formats 6-10)
//     --wkt-bit            set global-encoding bit 4: the coordinate system is WKT
//     --evlr-wkt TEXT      an OGC WKT record (LASF_Projection 2112) as an EVLR after the points
//     --extra TYPE[:NAME[:SCALE[:OFFSET[:NODATA]]]]
//                          extra bytes at the end of each record, described in an Extra Bytes
//                          record (LASF_Spec 4); repeat for more.  TYPE 1-10 (u8 i8 u16 i16 u32
//                          i32 u64 i64 f32 f64), 11-30 (deprecated arrays), 31+ (reserved, no
//                          bytes), or 0:N for N undocumented bytes.  An empty part is absent;
//                          SCALE, OFFSET, NODATA set options bits 3, 4, 0.  NODATA appears in
//                          every seventh record.
//     --extra-split K[:evlr]  descriptors 0..K-1 in one Extra Bytes record, the rest in a second
//                          one (a VLR, or an EVLR after the points)
//     --extra-undescribed  no Extra Bytes record at all
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "las_generator.h"

namespace {

[[noreturn]] void usage(const char *problem) {
    std::fprintf(stderr, "lasgen: %s\nusage: lasgen [--version M.m] [--format N] [--points N] [options] OUTPUT.las\n",
                 problem);
    std::exit(2);
}

unsigned long long number(const char *text) {
    char *end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0') usage("not a number");
    return v;
}

}  // namespace

int main(int argc, char **argv) {
    LasSpec spec;
    std::string output, geokeys, wkt;
    int64_t geokey_count = -1, geokey_vlr_length = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option.rfind("--", 0) != 0) {
            output = option;
            continue;
        }
        if (option == "--wkt-bit" || option == "--extra-undescribed") {
            if (option == "--wkt-bit") spec.wkt_bit = true;
            else spec.describe = LasSpec::Describe::None;
            continue;
        }
        if (i + 1 >= argc) usage("option without a value");
        const char *value = argv[++i];
        if (option == "--version") {
            unsigned major = 0, minor = 0;
            if (std::sscanf(value, "%u.%u", &major, &minor) != 2) usage("version must be M.m");
            spec.version_major = static_cast<uint8_t>(major);
            spec.version_minor = static_cast<uint8_t>(minor);
        } else if (option == "--format") spec.point_format = static_cast<uint8_t>(number(value));
        else if (option == "--points") spec.points = number(value);
        else if (option == "--announce") spec.announced_points = static_cast<int64_t>(number(value));
        else if (option == "--record-length") spec.record_length = static_cast<uint16_t>(number(value));
        else if (option == "--header-size") spec.header_size = static_cast<uint16_t>(number(value));
        else if (option == "--vlrs") spec.vlr_count = static_cast<uint32_t>(number(value));
        else if (option == "--gap") spec.gap_bytes = static_cast<uint32_t>(number(value));
        else if (option == "--offset-to-data") spec.offset_to_data = static_cast<int64_t>(number(value));
        else if (option == "--seed") spec.seed = number(value);
        else if (option == "--truncate") spec.truncate_to = number(value);
        else if (option == "--geokeys") geokeys = value;
        else if (option == "--geokey-count") geokey_count = static_cast<int64_t>(number(value));
        else if (option == "--geokey-vlr-length") geokey_vlr_length = static_cast<int64_t>(number(value));
        else if (option == "--wkt-vlr") wkt = value;
        else if (option == "--vlr-count") spec.stored_vlr_count = static_cast<int64_t>(number(value));
        else if (option == "--legacy-count") spec.legacy_count = static_cast<int64_t>(number(value));
        else if (option == "--evlr-wkt") spec.evlrs.push_back(wkt_vlr(value));
        else if (option == "--extra") {
            try {
                spec.extra_bytes.push_back(parse_extra_bytes(value));
            } catch (const std::exception &e) {
                usage(e.what());
            }
        } else if (option == "--extra-split") {
            const std::string text = value;
            const size_t colon = text.find(':');
            if (colon != std::string::npos && text.substr(colon) != ":evlr") usage("--extra-split is K or K:evlr");
            spec.split_at = number(text.substr(0, colon).c_str());
            if (spec.describe != LasSpec::Describe::None)
                spec.describe = colon == std::string::npos ? LasSpec::Describe::Split : LasSpec::Describe::SplitEvlr;
        }
        else if (option == "--signature") {
            if (std::strlen(value) != 4) usage("signature must be 4 characters");
            std::memcpy(spec.signature, value, 4);
        } else if (option == "--values") {
            if (std::strcmp(value, "edge") == 0) spec.values = LasSpec::Values::Edge;
            else if (std::strcmp(value, "typical") == 0) spec.values = LasSpec::Values::Typical;
            else usage("--values is typical or edge");
        } else if (option == "--box") {
            if (std::strcmp(value, "zero") == 0) spec.box = LasSpec::Box::Zero;
            else if (std::strcmp(value, "small") == 0) spec.box = LasSpec::Box::Small;
            else if (std::strcmp(value, "points") == 0) spec.box = LasSpec::Box::Points;
            else usage("--box is points, zero or small");
        } else usage(("unknown option " + option).c_str());
    }
    if (output.empty()) usage("no output file named");
    try {
        if (!geokeys.empty()) {
            spec.extra_vlrs = geokey_vlrs(geokeys, static_cast<int32_t>(geokey_count));
            if (geokey_vlr_length >= 0) spec.extra_vlrs.front().stored_length = static_cast<int32_t>(geokey_vlr_length);
        }
        if (!wkt.empty()) spec.extra_vlrs.push_back(wkt_vlr(wkt));
        write_las(output, spec);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "lasgen: %s\n", e.what());
        return 1;
    }
    return 0;
}
