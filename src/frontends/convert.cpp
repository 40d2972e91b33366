// pelmora-convert's console and its conversion of one file: the input
// stage with the conventional rules, the shapefile set as the run's sink,
// the output set committed; results on standard output, warnings and
// errors on standard error, each naming the file.

#include "frontends/convert.h"

#include <stdio_ext.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "base/failure.h"
#include "base/text.h"
#include "console/terminal.h"
#include "core/input.h"
#include "core/output_checks.h"
#include "core/run.h"
#include "frontends/convert_options.h"
#include "io/interrupts.h"
#include "io/output_file.h"
#include "las/header_rules.h"
#include "laz/decompressed_las.h"
#include "outputs/shapefile_set.h"
#include "shapefile/shp_layout.h"

namespace {

using ull = unsigned long long;

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
void check_header(const LasFile &file, bool selecting) {
    const std::string &name = file.name();
    const LasHeader &h = file.header();
    auto refuse = [](const std::string &problem, const char *consequence = "") {
        if (!problem.empty()) fail("%s%s", problem.c_str(), consequence);
    };
    refuse(las_rules::not_a_regular_file(name, file.mode()));
    refuse(las_rules::not_las(name, h, file.header_got()));
    refuse(las_rules::unsupported_version(name, h));
    refuse(las_rules::ends_inside_header(name, h, file.header_got()));
    refuse(las_rules::header_size_too_small(name, h));
    refuse(las_rules::unknown_point_format(name, h));
    refuse(las_rules::record_too_short(name, h));
    refuse(las_rules::offset_inside_declared_header(name, h), "; the point records cannot start there");
    refuse(las_rules::offset_beyond_end(name, h, file.size()));
    refuse(las_rules::legacy_count_contradicts(name, h));
    if (!selecting && h.point_count() > shp::kMaxPoints)
        fail("%s holds %llu point records; a shapefile can hold at most %llu PointZ records", name.c_str(),
             static_cast<ull>(h.point_count()), static_cast<ull>(shp::kMaxPoints));
    if (!h.compressed()) {
        refuse(las_rules::records_missing(name, h, h.point_count(), h.record_length, file.size()));
        refuse(las_rules::records_run_into_evlrs(name, h));
    }
    for (const std::string &problem : las_rules::infinite_coordinates(name, h)) refuse(problem);
}

InputPolicy convert_policy(const Options &o) {
    InputPolicy policy;
    policy.cannot_open = [](const std::string &name, int error) {
        fail("Cannot open %s: %s", name.c_str(), std::strerror(error));
    };
    const bool selecting = o.selection.active();
    policy.check = [selecting](const LasFile &file) { check_header(file, selecting); };
    return policy;
}

// NAME of NAME.las or NAME.laz, in the output directory if one is given.
std::string output_stem(const std::string &name, const Options &o) {
    const std::string extension = name.size() > 4 ? lower(name.substr(name.size() - 4)) : "";
    if (o.laz_command ? extension != ".laz" : extension != ".las" && extension != ".laz")
        fail(o.laz_command ? "%s: the name does not end in .laz" : "%s: the name does not end in .las or .laz",
             name.c_str());
    const std::string stem = name.substr(0, name.size() - 4);
    return o.output_dir.empty() ? stem : o.output_dir + "/" + base_name(stem);
}

ShapefileSpec shapefile_spec(const Input &input, const std::string &stem, const Options &o, const RunLimits &limits) {
    ShapefileSpec spec;
    spec.stem = stem;
    spec.index = o.index;
    spec.crs = input.crs();
    spec.schema = convert_schema(input.format(), input.header().version_minor, input.extra_bytes().attributes);
    spec.stride = input.header().record_length;
    spec.add_field = limits.add_field;
    spec.max_points = limits.points_per_shapefile;
    return spec;
}

// The names checked before anything is written; with --keep-las the
// decompressed LAS file too, which never replaces a file.
std::vector<std::string> check_names(const Input &input, const ShapefileSpec &spec, const Options &o,
                                     const std::set<std::string> &seen) {
    OutputNames names;
    names.written = spec.outputs();
    if (o.keep_las && input.compressed()) {
        const std::string kept = spec.stem + ".las";
        struct stat st {};
        if (lstat(kept.c_str(), &st) == 0) fail("%s already exists: --keep-las does not replace a LAS file", kept.c_str());
        names.written.push_back(kept);
    }
    names.must_be_absent = spec.companions();
    names.no_clobber = o.no_clobber;
    names.seen = &seen;
    check_output_names(input.file(), names);
    input.file().confirm_unchanged();
    return names.written;
}

struct FileResult {
    uint64_t read = 0, written = 0, bytes = 0;
    double seconds = 0;
    std::string shpname;
    std::vector<std::string> warnings;
};

// The warnings of a conversion that committed, each naming the file.
void add_warnings(FileResult &r, const Input &input, ShapefileSet &set, const RunResult &run, const Options &o) {
    const std::string &name = input.name();
    r.warnings = input.warnings();
    const std::string changes = set.value_changes();
    if (!changes.empty()) r.warnings.push_back(name + ": " + changes);
    if (run.far != 0) r.warnings.push_back(far_points_warning(name, run.far, run.written));
    if (input.crs().outcome == EsriWkt::Outcome::Untranslatable || input.crs().outcome == EsriWkt::Outcome::Unreadable)
        r.warnings.push_back(name + ": no .prj written: " + input.crs().text);
    if (o.selection.active() && run.written == 0)
        r.warnings.push_back(name + ": no point passed the selection; the shapefile has no records");
}

// One file, from its name to its committed outputs.
FileResult convert_file(const std::string &name, const Options &o, const RunLimits &limits,
                        std::set<std::string> &seen) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const std::string stem = output_stem(name, o);
    const Input input(name, convert_policy(o));
    const ShapefileSpec spec = shapefile_spec(input, stem, o, limits);
    const std::vector<std::string> written = check_names(input, spec, o, seen);

    OutputSet outputs(o.no_clobber);
    ShapefileSet set(outputs, spec);
    // The records: read from the file itself, or from the decoder, started
    // only now that nothing else can refuse the file.
    const std::unique_ptr<RecordSource> records = input.open_records();
    std::unique_ptr<laz::KeptLas> kept;
    if (o.keep_las && input.compressed()) {
        kept = std::make_unique<laz::KeptLas>(name, input.file().fd(), input.file().size(), input.header(), *records);
        OutputFile *las = outputs.open(stem + ".las");
        las->set_never_replace();
        kept->start(*las);
    }
    RunSetup setup;
    setup.name = name;
    setup.records = kept ? static_cast<RecordSource *>(kept.get()) : records.get();
    setup.header = input.header();
    setup.points = input.points();
    setup.stride = input.header().record_length;
    pieces_by_bytes(setup);
    setup.selection = &o.selection;
    setup.thin_grid_bytes = limits.thin_grid_bytes;
    setup.sinks = {&set};
    Progress progress(!o.quiet && isatty(STDERR_FILENO) != 0, name, setup.points);
    setup.after_piece = [&progress](uint64_t done) { progress.update(done); };
    RunResult run;
    try {
        run = run_points(setup);
    } catch (...) {
        progress.clear();
        throw;
    }
    progress.clear();
    set.remove_stale_companions();
    outputs.commit([&] { input.file().confirm_unchanged(); });
    for (const std::string &output : written) seen.insert(output_file_key(output));

    FileResult r;
    add_warnings(r, input, set, run, o);
    for (const std::string &warning : outputs.warnings()) r.warnings.push_back(name + ": " + warning);
    r.read = run.read;
    r.written = run.written;
    r.bytes = outputs.bytes();
    r.seconds = seconds_since(start);
    r.shpname = spec.shp();
    return r;
}

void print_result(const std::string &name, const FileResult &r, const Options &o) {
    const double megabytes = static_cast<double>(r.bytes) / 1e6;
    if (o.selection.active())
        std::printf("%s: kept %llu of %llu points, written to %s (%.1f MB) in %.2f s\n", shown(name).c_str(),
                    static_cast<ull>(r.written), static_cast<ull>(r.read), shown(r.shpname).c_str(), megabytes,
                    r.seconds);
    else
        std::printf("%s: %llu points written to %s (%.1f MB) in %.2f s\n", shown(name).c_str(),
                    static_cast<ull>(r.written), shown(r.shpname).c_str(), megabytes, r.seconds);
    std::fflush(stdout);
}

// What a console that went away cannot take is dropped, so that the C
// library does not try again at exit, when SIGPIPE would end the process.
void drop_unwritable_output() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        __fpurge(stdout);
        std::clearerr(stdout);
    }
}

}  // namespace

int convert_main(int argc, char **argv, const RunLimits &limits) {
    Options o;
    if (const std::optional<int> status = parse_options(argc, argv, o)) return *status;
    const SignalGuard signals;
    std::set<std::string> seen;
    bool all_converted = true;
    const char *program = o.program.c_str();
    for (const std::string &name : o.files) {
        try {
            const FileResult r = convert_file(name, o, limits, seen);
            for (const std::string &w : r.warnings) std::fprintf(stderr, "%s: warning: %s\n", program, shown(w).c_str());
            if (!o.quiet) print_result(name, r, o);
        } catch (const Failure &failure) {
            std::fprintf(stderr, "%s: %s\n", program, shown(failure.message).c_str());
            all_converted = false;
        } catch (const std::bad_alloc &) {
            std::fprintf(stderr, "%s: %s: not enough memory\n", program, shown(name).c_str());
            all_converted = false;
        }
    }
    drop_unwritable_output();
    if (all_converted) return 0;
    return o.laz_command ? 255 : 1;
}
