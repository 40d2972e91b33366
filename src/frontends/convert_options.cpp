#include "frontends/convert_options.h"

#include <getopt.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/failure.h"
#include "console/terminal.h"
#include "frontends/convert_crs.h"

#ifndef PELMORA_VERSION
#define PELMORA_VERSION "unknown"
#endif

namespace {

const char *const kHelp =
    "Usage: pelmora-convert [OPTION]... FILE...\n"
    "Convert LAS and LAZ lidar files (LAS 1.0-1.4, point formats 0-10) into ESRI\n"
    "PointZ shapefiles: NAME.shp, NAME.shx, NAME.dbf and, when the file carries a\n"
    "coordinate system, NAME.prj, beside each FILE (NAME.las or NAME.laz, in any\n"
    "letter case).\n"
    "\n"
    "  -o, --output-dir=DIR   write the outputs into DIR instead\n"
    "  -n, --no-clobber       fail a file, writing nothing, when any of its outputs\n"
    "                         already exists\n"
    "      --index            also write NAME.qix, the spatial index GDAL and QGIS use\n"
    "      --max-size=SIZE    no output file larger than SIZE bytes (K, M, G: powers of\n"
    "                         1024; none: as large as the format allows); a file that\n"
    "                         would be larger is written in parts NAME_part1, ...\n"
    "                         (default 2147483647, the largest file ArcGIS opens whole)\n"
    "      --fields=LIST      write only these fields of the table (names as it stores\n"
    "                         them, any case: Intensity,Classifica,GPSTime)\n"
    "      --drop-fields=LIST write every field of the table but these\n"
    "      --dry-run          read the headers only and say what would be written\n"
    "  -v, --verbose          one more line a file: the coordinate operation used\n"
    "  -q, --quiet            no progress and no summary lines (warnings and errors\n"
    "                         are still printed)\n"
    "  -h, --help             show this help and exit\n"
    "  -V, --version          show the version and exit\n"
    "\n"
    "Selection (a point must pass every test given; the grid thins what they keep,\n"
    "and --every thins what the grid keeps):\n"
    "      --class=LIST       keep the classes in LIST: numbers and ranges (2,6,9 or 1-5)\n"
    "      --drop-class=LIST  keep the classes not in LIST\n"
    "      --returns=WHICH    first, last, single, or a LIST of return numbers\n"
    "      --drop-withheld    keep the points without the withheld flag\n"
    "      --bounds=XMIN,YMIN,XMAX,YMAX\n"
    "                         keep the points inside the box (real coordinates)\n"
    "      --thin-grid=SIZE   keep the first point of each SIZE x SIZE grid cell\n"
    "      --every=N          keep the 1st, (N+1)th, (2N+1)th ... point\n"
    "A list option given again adds to its list; --bounds, --thin-grid and --every\n"
    "may be given once.\n"
    "\n"
    "Coordinate systems (CRS: EPSG:n, ESRI:n, WKT, PROJJSON, a PROJ string, or @FILE\n"
    "naming a .prj or .wkt file):\n"
    "      --t_srs=CRS        move every point into CRS and write its .prj\n"
    "      --s_srs=CRS        the points' CRS, instead of the file's own (or where it\n"
    "                         has none); alone, written as the .prj\n"
    "      --a_srs=CRS        write the .prj of CRS, moving no point\n"
    "--bounds and --thin-grid are in the file's own coordinates.\n"
    "\n"
    "Outputs appear whole or not at all: they replace earlier files of their names\n"
    "only once the conversion is complete, and a spatial index or .prj of the\n"
    "replaced shapefile (NAME.qix, .sbn, .sbx, .prj) is removed with them.  Results\n"
    "go to standard output, errors and warnings to standard error.  Exit status: 0\n"
    "when every file converted, 1 when any failed (the others are still converted),\n"
    "2 on a usage error.\n";

const char *const kLazHelp =
    "Usage: pelmora-laz [OPTION]... NAME.laz\n"
    "Convert a LAZ file (compressed LAS 1.0-1.4, point formats 0-3 and 6-8) into an\n"
    "ESRI PointZ shapefile: NAME.shp, NAME.shx, NAME.dbf, and NAME.prj when the file\n"
    "carries a coordinate system.  The same as pelmora-convert NAME.laz.\n"
    "\n"
    "  -o, --output-dir=DIR  write the outputs into DIR instead of beside NAME.laz\n"
    "  -n, --no-clobber      fail, writing nothing, when any output already exists\n"
    "  -k, --keep-las        keep the decompressed LAS file too, as NAME.las (never\n"
    "                        replacing an existing one)\n"
    "  -q, --quiet           print nothing but errors and warnings\n"
    "  -h, --help            show this help and exit\n"
    "  -V, --version         show the version and exit\n"
    "\n"
    "Existing outputs are replaced only after a complete conversion.  Exit status:\n"
    "0 on success, 255 on any failure.\n";

enum { kIndex = 256, kClass, kDropClass, kReturns, kDropWithheld, kBounds, kThinGrid, kEvery, kMaxSize, kFields,
       kDropFields, kDryRun, kTargetSrs, kSourceSrs, kAssignSrs };

const option kConvertOptions[] = {
    {"output-dir", required_argument, nullptr, 'o'}, {"no-clobber", no_argument, nullptr, 'n'},
    {"quiet", no_argument, nullptr, 'q'},            {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},          {"index", no_argument, nullptr, kIndex},
    {"class", required_argument, nullptr, kClass},   {"drop-class", required_argument, nullptr, kDropClass},
    {"returns", required_argument, nullptr, kReturns}, {"drop-withheld", no_argument, nullptr, kDropWithheld},
    {"bounds", required_argument, nullptr, kBounds}, {"thin-grid", required_argument, nullptr, kThinGrid},
    {"every", required_argument, nullptr, kEvery},   {"max-size", required_argument, nullptr, kMaxSize},
    {"fields", required_argument, nullptr, kFields}, {"drop-fields", required_argument, nullptr, kDropFields},
    {"dry-run", no_argument, nullptr, kDryRun},      {"verbose", no_argument, nullptr, 'v'},
    {"t_srs", required_argument, nullptr, kTargetSrs}, {"s_srs", required_argument, nullptr, kSourceSrs},
    {"a_srs", required_argument, nullptr, kAssignSrs}, {nullptr, 0, nullptr, 0}};
const option kLazOptions[] = {{"output-dir", required_argument, nullptr, 'o'},
                              {"no-clobber", no_argument, nullptr, 'n'},
                              {"keep-las", no_argument, nullptr, 'k'},
                              {"quiet", no_argument, nullptr, 'q'},
                              {"help", no_argument, nullptr, 'h'},
                              {"version", no_argument, nullptr, 'V'},
                              {nullptr, 0, nullptr, 0}};

// A usage error, said; the status to end with.
int usage_error(const Options &o, const std::string &message) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", o.program.c_str(), shown(message).c_str(),
                 o.program.c_str());
    return usage_status(o);
}

// The option as the user wrote it ("--index", "-x"), for getopt's '?' and ':'.
std::string as_written(const char *word) {
    const std::string text = word != nullptr ? word : "";
    const size_t equals = text.find('=');
    return text.starts_with("--") && equals != std::string::npos ? text.substr(0, equals) : text;
}

// An option getopt refused: unknown, missing its value, or given a value it
// does not take.
int refused_option(const Options &o, int c, int argc, char **argv, const option *longs) {
    const char *word = optind >= 1 && optind <= argc ? argv[optind - 1] : nullptr;
    const std::string written = as_written(word);
    if (c == ':') return usage_error(o, "option '" + written + "' needs a value");
    for (const option *l = longs; l->name != nullptr; ++l)
        if (optopt == l->val && l->has_arg == no_argument && written == std::string("--") + l->name)
            return usage_error(o, "option '" + written + "' takes no value");
    if (optopt != 0 && optopt < 256 && !written.starts_with("--"))
        return usage_error(o, std::string("unknown option '-") + static_cast<char>(optopt) + "'");
    return usage_error(o, "unknown option '" + written + "'");
}

// One selection option's value into `s`; "" or what is wrong with it.
std::string selection_value(int c, const std::string &value, SelectionOptions &s) {
    switch (c) {
        case kClass: s.by_class = true; return parse_class_list(value, s.classes);
        case kDropClass: s.drop_class = true; return parse_class_list(value, s.dropped_classes);
        case kReturns: return parse_returns(value, s);
        case kDropWithheld: s.drop_withheld = true; return "";
        case kBounds: s.by_box = true; return parse_box(value, s.box);
        case kThinGrid: return parse_grid_size(value, s.thin_grid);
        case kEvery: return parse_every(value, s.every);
        default: return "";
    }
}

// "2147483647", "10K", "512M", "2G" (powers of 1024), or "none".
std::string size_value(const std::string &value, uint64_t &bytes) {
    if (value == "none") {
        bytes = UINT64_MAX;
        return "";
    }
    uint64_t number = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    const std::string suffix(end, value.data() + value.size());
    const int shift = suffix.empty() ? 0 : suffix == "K" ? 10 : suffix == "M" ? 20 : suffix == "G" ? 30 : -1;
    if (value.empty() || error != std::errc() || shift < 0 || number == 0 || number > (UINT64_MAX >> shift))
        return "'" + value + "' is not a size: a whole number of bytes above 0, with K, M or G for powers of 1024, or none";
    bytes = number << shift;
    return "";
}

// A list of field names: no name may be empty.
std::string field_names(const std::string &value, std::vector<std::string> &names) {
    size_t begin = 0;
    for (;;) {
        const size_t comma = value.find(',', begin);
        const std::string name = value.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin);
        if (name.empty()) return "'" + value + "' is not a list of field names (a .dbf needs at least one field)";
        names.push_back(name);
        if (comma == std::string::npos) return "";
        begin = comma + 1;
    }
}

// "" when PROJ reads `text` as a coordinate system this program can use.
std::string crs_value(const std::string &text) {
    try {
        check_crs_text(text);
        return "";
    } catch (const Failure &problem) {
        return problem.message;
    }
}

const char *long_name(int c) {
    for (const option *l = kConvertOptions; l->name != nullptr; ++l)
        if (l->val == c) return l->name;
    return "";
}

}  // namespace

int usage_status(const Options &o) { return o.laz_command ? 255 : 2; }

namespace {

bool single_value(int c) {
    return c == kBounds || c == kThinGrid || c == kEvery || c == kMaxSize || c == kTargetSrs || c == kSourceSrs ||
           c == kAssignSrs;
}

// Takes option `c` with its `value` into `o`; a usage status when the value
// is refused.
std::optional<int> take_option(int c, const std::string &value, Options &o) {
    switch (c) {
        case 'o':
            if (value.empty()) return usage_error(o, "the output directory is an empty name");
            o.output_dir = value;
            return std::nullopt;
        case 'n': o.no_clobber = true; return std::nullopt;
        case 'k': o.keep_las = true; return std::nullopt;
        case 'q': o.quiet = true; return std::nullopt;
        case kIndex: o.index = true; return std::nullopt;
        case kDryRun: o.dry_run = true; return std::nullopt;
        case 'v': o.verbose = true; return std::nullopt;
        case kTargetSrs:
        case kSourceSrs:
        case kAssignSrs:
            if (const std::string problem = crs_value(value); !problem.empty())
                return usage_error(o, std::string("invalid value for --") + long_name(c) + ": " + problem);
            (c == kTargetSrs ? o.t_srs : c == kSourceSrs ? o.s_srs : o.a_srs) = value;
            return std::nullopt;
        case kMaxSize:
            if (const std::string problem = size_value(value, o.max_bytes); !problem.empty())
                return usage_error(o, "invalid value for --max-size: " + problem);
            return std::nullopt;
        case kFields:
        case kDropFields:
            if (!o.fields.empty() && o.drop_fields != (c == kDropFields))
                return usage_error(o, "--fields and --drop-fields cannot be given together");
            o.drop_fields = c == kDropFields;
            if (const std::string problem = field_names(value, o.fields); !problem.empty())
                return usage_error(o, std::string("invalid value for --") + long_name(c) + ": " + problem);
            return std::nullopt;
        default:
            if (const std::string problem = selection_value(c, value, o.selection); !problem.empty())
                return usage_error(o, std::string("invalid value for --") + long_name(c) + ": " + problem);
            return std::nullopt;
    }
}

// What the options say together, and the operands.
std::optional<int> finish_options(int argc, char **argv, Options &o) {
    if (!o.a_srs.empty() && (!o.t_srs.empty() || !o.s_srs.empty()))
        return usage_error(o, "--a_srs assigns a coordinate system without moving a point: it cannot be given with "
                              "--t_srs or --s_srs");
    for (int i = optind; i < argc; ++i) o.files.emplace_back(argv[i]);
    if (o.files.empty()) return usage_error(o, o.laz_command ? "no LAZ file given" : "no file given");
    if (o.laz_command && o.files.size() != 1) return usage_error(o, "one LAZ file at a time");
    if (!o.output_dir.empty()) {
        struct stat st {};
        if (stat(o.output_dir.c_str(), &st) != 0) return usage_error(o, "output directory " + o.output_dir + " does not exist");
        if (!S_ISDIR(st.st_mode)) return usage_error(o, "output directory " + o.output_dir + " is not a directory");
    }
    return std::nullopt;
}

}  // namespace

std::optional<int> parse_options(int argc, char **argv, Options &o) {
    const char *slash = std::strrchr(argv[0], '/');
    o.laz_command = std::string(slash != nullptr ? slash + 1 : argv[0]) == "pelmora-laz";
    o.program = o.laz_command ? "pelmora-laz" : "pelmora-convert";
    // getopt prints its own complaints; ours say the same in our words.
    opterr = 0;
    // 0, not 1: glibc then starts afresh, forgetting what an earlier call
    // (an in-process caller's) left behind.
    optind = 0;
    bool help = false, version = false;
    std::vector<int> given;
    const option *longs = o.laz_command ? kLazOptions : kConvertOptions;
    for (;;) {
        const int c = getopt_long(argc, argv, o.laz_command ? ":o:nkqhV" : ":o:nqhVv", longs, nullptr);
        if (c == -1) break;
        if (c == ':' || c == '?') return refused_option(o, c, argc, argv, longs);
        // A list adds to its list; a single value cannot be given twice.
        if (single_value(c) && std::find(given.begin(), given.end(), c) != given.end())
            return usage_error(o, std::string("option '--") + long_name(c) + "' may be given only once");
        given.push_back(c);
        if (c == 'h' || c == 'V') {
            (c == 'h' ? help : version) = true;
        } else if (const auto status = take_option(c, optarg != nullptr ? optarg : "", o)) {
            return status;
        }
    }
    if (help) {
        std::fputs(o.laz_command ? kLazHelp : kHelp, stdout);
        return 0;
    }
    if (version) {
        std::printf("%s %s\n", o.program.c_str(), PELMORA_VERSION);
        return 0;
    }
    return finish_options(argc, argv, o);
}
