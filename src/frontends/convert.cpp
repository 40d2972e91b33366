#include "frontends/convert.h"

#include <getopt.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "console/console.h"
#include "core/conversion.h"
#include "core/limits.h"
#include "io/output_file.h"
#include "las/extra_bytes.h"
#include "las/header_rules.h"
#include "las/las_file.h"
#include "las/point_format.h"
#include "laz/decompressed_las.h"
#include "laz/laszip_record.h"
#include "laz/laz_plan.h"
#include "laz/laz_records.h"
#include "lidar/las_check.h"
#include "projection/esri_wkt.h"
#include "select/selection.h"
#include "shapefile/shp_writer.h"

#ifndef PELMORA_VERSION
#define PELMORA_VERSION "unknown"
#endif

namespace {

struct Options {
    std::string program = "pelmora-convert";
    bool laz_command = false;  // called as pelmora-laz
    std::string output_dir;
    bool no_clobber = false;
    bool quiet = false;
    bool index = false;
    bool keep_las = false;
    SelectionOptions selection;
    std::vector<std::string> files;
};

constexpr int kUsageStatus = 2;

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
    "\n"
    "Outputs appear whole or not at all: they replace earlier files of their names\n"
    "only once the conversion is complete, and a spatial index of the replaced\n"
    "shapefile (NAME.qix, .sbn, .sbx) is removed with them.  Results go to standard\n"
    "output, errors and warnings to standard error.  Exit status: 0 when every file\n"
    "converted, 1 when any failed (the others are still converted), 2 on a usage\n"
    "error.\n";

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

// ---- The console ---------------------------------------------------------------

std::string trimmed(const std::string &text) {
    const size_t begin = text.find_first_not_of(" \n\r");
    if (begin == std::string::npos) return "";
    const size_t end = text.find_last_not_of(" \n\r");
    return text.substr(begin, end - begin + 1);
}

void print_error(const Options &o, const std::string &message) {
    std::fprintf(stderr, "%s: %s\n", o.program.c_str(), trimmed(message).c_str());
}

void print_warning(const Options &o, const std::string &message) {
    std::fprintf(stderr, "%s: warning: %s\n", o.program.c_str(), trimmed(message).c_str());
}

[[noreturn]] void usage_error(const Options &o, const std::string &message) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", o.program.c_str(), message.c_str(),
                 o.program.c_str());
    std::exit(o.laz_command ? 255 : kUsageStatus);
}

double seconds_since(const timespec &start) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) + static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

// One line on a terminal, rewritten in place: the share of the points read
// and the rate, at most four times a second.
class Progress {
public:
    Progress(const Options &o, std::string name, uint64_t points)
        : on_(!o.quiet && isatty(STDERR_FILENO) != 0), name_(std::move(name)), points_(points) {
        clock_gettime(CLOCK_MONOTONIC, &start_);
    }
    void update(uint64_t done) {
        if (!on_) return;
        const double elapsed = seconds_since(start_);
        if (elapsed - shown_at_ < 0.25 && done != points_) return;
        shown_at_ = elapsed;
        const double percent = points_ != 0 ? 100.0 * static_cast<double>(done) / static_cast<double>(points_) : 100.0;
        const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed / 1e6 : 0.0;
        std::fprintf(stderr, "\r%s: %3.0f%% (%.2f million points/s)", name_.c_str(), percent, rate);
        std::fflush(stderr);
        shown_ = true;
    }
    void clear() {
        if (!shown_) return;
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
        shown_ = false;
    }

private:
    bool on_;
    std::string name_;
    uint64_t points_;
    timespec start_{};
    double shown_at_ = -1;
    bool shown_ = false;
};

// ---- Options -------------------------------------------------------------------

void parse_options(int argc, char **argv, Options &o) {
    const char *slash = std::strrchr(argv[0], '/');
    const std::string called = slash != nullptr ? slash + 1 : argv[0];
    o.laz_command = called == "pelmora-laz";
    o.program = o.laz_command ? "pelmora-laz" : "pelmora-convert";

    enum { kIndex = 256, kClass, kDropClass, kReturns, kDropWithheld, kBounds, kThinGrid, kEvery };
    const option convert_options[] = {
        {"output-dir", required_argument, nullptr, 'o'}, {"no-clobber", no_argument, nullptr, 'n'},
        {"quiet", no_argument, nullptr, 'q'},            {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},          {"index", no_argument, nullptr, kIndex},
        {"class", required_argument, nullptr, kClass},   {"drop-class", required_argument, nullptr, kDropClass},
        {"returns", required_argument, nullptr, kReturns}, {"drop-withheld", no_argument, nullptr, kDropWithheld},
        {"bounds", required_argument, nullptr, kBounds}, {"thin-grid", required_argument, nullptr, kThinGrid},
        {"every", required_argument, nullptr, kEvery},   {nullptr, 0, nullptr, 0}};
    const option laz_options[] = {{"output-dir", required_argument, nullptr, 'o'},
                                  {"no-clobber", no_argument, nullptr, 'n'},
                                  {"keep-las", no_argument, nullptr, 'k'},
                                  {"quiet", no_argument, nullptr, 'q'},
                                  {"help", no_argument, nullptr, 'h'},
                                  {"version", no_argument, nullptr, 'V'},
                                  {nullptr, 0, nullptr, 0}};
    // getopt prints its own complaints; ours say the same in our words.
    opterr = 0;
    // 0, not 1: glibc then starts afresh, forgetting what an earlier call
    // (an in-process caller's) left behind.
    optind = 0;
    bool help = false, version = false;
    const char *shorts = o.laz_command ? ":o:nkqhV" : ":o:nqhV";
    const option *longs = o.laz_command ? laz_options : convert_options;
    auto value_problem = [&](const char *option_name, const std::string &problem) {
        if (!problem.empty()) usage_error(o, std::string("invalid value for ") + option_name + ": " + problem);
    };
    for (;;) {
        int index = -1;
        const int c = getopt_long(argc, argv, shorts, longs, &index);
        if (c == -1) break;
        const std::string value = optarg != nullptr ? optarg : "";
        switch (c) {
            case 'o':
                if (value.empty()) usage_error(o, "the output directory is an empty name");
                o.output_dir = value;
                break;
            case 'n': o.no_clobber = true; break;
            case 'k': o.keep_las = true; break;
            case 'q': o.quiet = true; break;
            case 'h': help = true; break;
            case 'V': version = true; break;
            case kIndex: o.index = true; break;
            case kClass:
                o.selection.by_class = true;
                value_problem("--class", parse_class_list(value, o.selection.classes));
                break;
            case kDropClass:
                o.selection.drop_class = true;
                value_problem("--drop-class", parse_class_list(value, o.selection.dropped_classes));
                break;
            case kReturns:
                o.selection.return_numbers.reset();
                value_problem("--returns", parse_returns(value, o.selection));
                break;
            case kDropWithheld: o.selection.drop_withheld = true; break;
            case kBounds:
                o.selection.by_box = true;
                value_problem("--bounds", parse_box(value, o.selection.box));
                break;
            case kThinGrid: value_problem("--thin-grid", parse_grid_size(value, o.selection.thin_grid)); break;
            case kEvery: value_problem("--every", parse_every(value, o.selection.every)); break;
            case ':': usage_error(o, std::string("option '") + argv[optind - 1] + "' needs a value");
            default: {
                const std::string what = optopt != 0 ? std::string("-") + static_cast<char>(optopt) : argv[optind - 1];
                usage_error(o, "unknown option '" + what + "'");
            }
        }
    }
    if (help) {
        std::fputs(o.laz_command ? kLazHelp : kHelp, stdout);
        std::exit(0);
    }
    if (version) {
        std::printf("%s %s\n", o.program.c_str(), PELMORA_VERSION);
        std::exit(0);
    }
    for (int i = optind; i < argc; ++i) o.files.emplace_back(argv[i]);
    if (o.files.empty()) usage_error(o, o.laz_command ? "no LAZ file given" : "no file given");
    if (o.laz_command && o.files.size() != 1) usage_error(o, "one LAZ file at a time");
    if (!o.output_dir.empty()) {
        struct stat st {};
        if (stat(o.output_dir.c_str(), &st) != 0) usage_error(o, "output directory " + o.output_dir + " does not exist");
        if (!S_ISDIR(st.st_mode)) usage_error(o, "output directory " + o.output_dir + " is not a directory");
    }
}

// ---- One file ------------------------------------------------------------------

std::string lower(std::string text) {
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string base_name(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The checks of a header before its points are read; the first problem
// fails the file.  With a selection, the points a shapefile must hold are
// the kept ones, counted as they are kept: the file's own count may be any.
void check_header(const LasFile &file, bool laz, bool selecting) {
    const std::string &name = file.name();
    const LasHeader &h = file.header();
    auto refuse = [&](const std::string &problem, const char *consequence = "") {
        if (!problem.empty()) fail("%s%s", problem.c_str(), consequence);
    };
    refuse(ostrine::unreadable_kind_problem(name.c_str(), file.mode()));
    if (file.header_got() < kLasHeader12Bytes || std::memcmp(h.signature, "LASF", 4) != 0)
        fail("%s is not a LAS file: it does not begin with a LAS header", name.c_str());
    refuse(las_rules::unsupported_version(name, h));
    if (file.header_got() < h.version_header_bytes())
        fail("%s ends inside its LAS %u.%u header", name.c_str(), h.version_major, h.version_minor);
    refuse(las_rules::header_size_too_small(name, h));
    refuse(las_rules::unknown_point_format(name, h));
    refuse(las_rules::record_too_short(name, h));
    const std::string inside = las_rules::offset_inside_header(name, h, h.version_header_bytes());
    refuse(inside, "; the point records cannot start there");
    refuse(las_rules::offset_beyond_end(name, h, file.size()));
    refuse(las_rules::legacy_count_contradicts(name, h));
    if (!selecting) refuse(las_rules::too_many_points(name, h.point_count()));
    if (!laz) refuse(las_rules::records_missing(name, h, h.point_count(), h.record_length, file.size()));
    for (const std::string &problem : las_rules::infinite_coordinates(name, h)) refuse(problem);
}

struct FileResult {
    uint64_t read = 0, written = 0, bytes = 0;
    double seconds = 0;
    std::string shpname;
};

FileResult convert_one(const std::string &name, const Options &o, std::set<std::string> &outputs_seen,
                       std::vector<std::string> &warnings) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const std::string extension = name.size() > 4 ? lower(name.substr(name.size() - 4)) : "";
    if (o.laz_command ? extension != ".laz" : extension != ".las" && extension != ".laz")
        fail(o.laz_command ? "%s: the name does not end in .laz" : "%s: the name does not end in .las or .laz",
             name.c_str());
    std::string stem = name.substr(0, name.size() - 4);
    if (!o.output_dir.empty()) stem = o.output_dir + "/" + base_name(stem);

    ConversionSetup setup;
    setup.shpname = stem + ".shp";
    setup.dbfname = stem + ".dbf";
    setup.prjname = stem + ".prj";
    if (o.index) setup.qixname = stem + ".qix";
    const std::string shxname = stem + ".shx";

    LasFile file;
    if (!file.open(name)) fail("Cannot open %s: %s", name.c_str(), std::strerror(errno));
    file.inspect();
    const LasHeader &h = file.header();
    const bool laz = h.compressed();
    check_header(file, laz, o.selection.active());
    // LAZ: where the compressed chunks are, checked against the file before
    // anything is written or any decoder started.
    laz::LazPlan plan;
    if (laz) plan = laz::plan_laz(name, file.fd(), file.size(), h, file.vlrs(laz::is_laszip_vlr));

    // The fields: the point format's, then one per described extra-bytes value.
    const PointFormat &format = kPointFormats[h.point_format()];
    std::vector<LasVlr> descriptions = file.vlrs(is_extra_bytes_vlr);
    // Extended records follow the points (in LAZ the chunk table, which
    // the plan has found before them).
    const uint64_t data_end = laz ? h.offset_to_data : h.offset_to_data + h.point_count() * h.record_length;
    for (LasVlr &record : file.evlrs(is_extra_bytes_vlr, data_end)) descriptions.push_back(std::move(record));
    const ExtraBytesLayout extra = extra_bytes_layout(descriptions, format.length, h.record_length);
    if (format.wave_at != 0)
        warnings.push_back(ostrine::formatted("%s: the 29-byte waveform packets of point format %u are not written",
                                              name.c_str(), format.id));
    if (extra.unwritten_bytes != 0)
        warnings.push_back(ostrine::formatted(
            "%s: %u of the %u extra bytes of each record are not written (undocumented bytes, deprecated arrays, "
            "or descriptions that the record cannot hold or that give no usable scale)",
            name.c_str(), extra.unwritten_bytes, h.record_length - format.length));

    // The coordinate system: a WKT record or GeoKeys, in a VLR or an EVLR.
    std::vector<LasVlr> projection = file.vlrs(is_projection_vlr);
    for (LasVlr &record : file.evlrs(is_projection_vlr, data_end)) projection.push_back(std::move(record));
    setup.crs = esri_wkt_from_vlrs(projection);

    // The outputs: never the input, never two names for one file, never
    // what cannot be replaced; with --no-clobber, nothing that exists.
    std::vector<std::string> outputs = {setup.shpname, shxname, setup.dbfname};
    if (setup.crs.outcome == EsriWkt::Outcome::Written) outputs.push_back(setup.prjname);
    if (o.index) outputs.push_back(setup.qixname);
    // --keep-las: the decompressed LAS file, which never replaces a file.
    const std::string kept_name = stem + ".las";
    if (o.keep_las && laz) {
        struct stat st {};
        if (lstat(kept_name.c_str(), &st) == 0)
            fail("%s already exists: --keep-las does not replace a LAS file", kept_name.c_str());
        outputs.push_back(kept_name);
    }
    for (const std::string &output : outputs) {
        if (file.is_same_file(output))
            fail("%s is the input file %s itself (a link to it): writing it would destroy the input", output.c_str(),
                 name.c_str());
        if (outputs_seen.count(output_file_key(output)) != 0)
            fail("%s: its output %s is also an output of a file converted before in this run", name.c_str(),
                 output.c_str());
    }
    if (const auto [first, second] = same_output_file(outputs); !first.empty())
        fail("%s and %s are the same file (a link to it): writing both would destroy one output", first.c_str(),
             second.c_str());
    for (const std::string &output : outputs) {
        refuse_unreplaceable_output(output);
        struct stat st {};
        if (o.no_clobber && lstat(output.c_str(), &st) == 0)
            fail("%s already exists (--no-clobber): nothing written", output.c_str());
    }
    file.confirm_unchanged();

    setup.file = &file;
    setup.header = h;
    setup.points = h.point_count();
    setup.stride = h.record_length;
    setup.schema = convert_schema(format, h.version_minor, extra.attributes);
    setup.selection = &o.selection;
    setup.no_clobber = o.no_clobber;
    size_chunks_by_bytes(setup);
    Progress progress(o, name, setup.points);
    setup.after_piece = [&progress](uint64_t done) { progress.update(done); };
    // The records: read from the file itself, or from the decoder, started
    // only now that nothing else can refuse the file.
    std::unique_ptr<RecordSource> records;
    if (laz)
        records = std::make_unique<laz::LazRecords>(name, file.fd(), plan);
    else
        records = std::make_unique<PlainRecords>(file, setup.points, setup.stride);
    std::unique_ptr<laz::KeptLas> kept;
    if (o.keep_las && laz) kept = std::make_unique<laz::KeptLas>(name, file.fd(), file.size(), h, *records);
    setup.records = kept ? static_cast<RecordSource *>(kept.get()) : records.get();
    const EsriWkt crs = setup.crs;

    Conversion conversion(std::move(setup));
    if (kept) {
        OutputFile *las = conversion.outputs().open(kept_name, "\nUnable to open file %s for writing\n");
        las->set_never_replace();
        kept->start(*las);
    }
    try {
        conversion.write_points();
    } catch (...) {
        progress.clear();
        throw;
    }
    progress.clear();
    const std::string changes = describe_value_changes(conversion.value_changes(), conversion.schema());
    if (!changes.empty()) warnings.push_back(name + ": " + changes);
    if (const uint64_t far = conversion.far_points(); far != 0)
        warnings.push_back(far_points_warning(name, far, conversion.points_written()));
    if (crs.outcome == EsriWkt::Outcome::Untranslatable) warnings.push_back(name + ": no .prj written: " + crs.text);
    if (o.selection.active() && conversion.points_written() == 0)
        warnings.push_back(name + ": no point passed the selection; the shapefile has no records");
    conversion.commit();
    for (const std::string &warning : conversion.warnings()) warnings.push_back(name + ": " + warning);
    for (const std::string &output : outputs) outputs_seen.insert(output_file_key(output));

    FileResult result;
    result.read = conversion.records_read();
    result.written = conversion.points_written();
    result.bytes = conversion.output_bytes();
    result.seconds = seconds_since(start);
    result.shpname = outputs.front();
    return result;
}

}  // namespace

int convert_main(int argc, char **argv) {
    Options o;
    parse_options(argc, argv, o);
    const SignalGuard signals;
    std::set<std::string> outputs_seen;
    bool all_converted = true;
    for (const std::string &name : o.files) {
        std::vector<std::string> warnings;
        try {
            const FileResult r = convert_one(name, o, outputs_seen, warnings);
            for (const std::string &w : warnings) print_warning(o, w);
            if (!o.quiet) {
                const double megabytes = static_cast<double>(r.bytes) / 1e6;
                if (o.selection.active())
                    std::printf("%s: kept %llu of %llu points, written to %s (%.1f MB) in %.2f s\n", name.c_str(),
                                static_cast<unsigned long long>(r.written), static_cast<unsigned long long>(r.read),
                                r.shpname.c_str(), megabytes, r.seconds);
                else
                    std::printf("%s: %llu points written to %s (%.1f MB) in %.2f s\n", name.c_str(),
                                static_cast<unsigned long long>(r.written), r.shpname.c_str(), megabytes, r.seconds);
                std::fflush(stdout);
            }
        } catch (const Failure &failure) {
            for (const std::string &w : warnings) print_warning(o, w);
            print_error(o, failure.message);
            all_converted = false;
        } catch (const std::bad_alloc &) {
            print_error(o, name + ": not enough memory");
            all_converted = false;
        }
    }
    // What a console that went away cannot take is dropped, so that the C
    // library does not try again at exit, when SIGPIPE would end the process.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        __fpurge(stdout);
        std::clearerr(stdout);
    }
    if (all_converted) return 0;
    return o.laz_command ? 255 : 1;
}
