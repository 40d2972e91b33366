// Pelmora's command line and console over the conversion run: validation
// with check_las's rules and messages, names, one switch on the LAS variant
// choosing its numbered writers, progress lines before each chunk of
// 1,000,000 records, and the elapsed time.  Everything goes to standard
// output; every failure ends as its message and status -1.

#include "frontends/pelmora.h"

#include <stdio_ext.h>

#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "Ostrine_LiDAR.h"
#include "base/failure.h"
#include "base/text.h"
#include "console/pelmora_console.h"
#include "core/input.h"
#include "core/output_checks.h"
#include "core/run.h"
#include "frontends/pelmora_writers.h"
#include "io/interrupts.h"
#include "io/large_buffer.h"
#include "io/output_set.h"
#include "las/header_rules.h"
#include "lidar/las_check.h"
#include "lidar/las_variants.h"
#include "projection/prj_writer.h"
#include "shapefile/shp_layout.h"

namespace {

// Console text Pelmora prints as it stands (its validation's, whose
// framing check_las fixes).
struct ConsoleText {
    std::string text;
};

// The input's name with its three-letter extension replaced.
std::string with_extension(const std::string &name, const char *extension) {
    return name.substr(0, name.size() - 3) + extension;
}

InputPolicy pelmora_policy() {
    InputPolicy policy;
    policy.cannot_open = [](const std::string &name, int) {
        throw ConsoleText{"\nCannot open binary file " + name + " for reading\n\n"};
    };
    // Everything about the input that could stop the run is checked here,
    // from the one descriptor the records are read from, before any output
    // exists.
    policy.check = [](const LasFile &file) {
        const LasFileCheck check =
            check_las_file(file.name(), file.mode(), file.size(), file.header_bytes(), file.header_got());
        if (!check.problems.empty()) throw ConsoleText{check.problems.front()};
    };
    policy.extra_bytes = false;
    return policy;
}

// The outputs: never the input, never two names for one file, never what
// cannot be replaced (the .prj only counts when there will be one).
void check_outputs(const Input &input, const std::string &shp, const std::string &dbf, const std::string &prj) {
    OutputNames names;
    names.written = {shp, shx_name_for(shp), dbf};
    (input.crs().outcome == EsriWkt::Outcome::Written ? names.written : names.not_input).push_back(prj);
    check_output_names(input.file(), names);
    input.file().confirm_unchanged();
}

void allocate_vectors() {
    // Allocated once per process and kept until it ends.
    if (_Xvec == nullptr) _Xvec = static_cast<double *>(allocate_large(sizeof(double) * kChunkRecords));
    if (_Yvec == nullptr && _Xvec) _Yvec = static_cast<double *>(allocate_large(sizeof(double) * kChunkRecords));
    if (_Zvec == nullptr && _Yvec) _Zvec = static_cast<double *>(allocate_large(sizeof(double) * kChunkRecords));
    if (_Zvec == nullptr) fail("Failed to allocate memory for X, Y, and Z coordinate vectors");
}

// The points, through the variant's numbered writers.
RunResult write_points(const Input &input, PelmoraWriters &writers) {
    const LasHeader &h = input.header();
    const int16_t LASType = las_type_of(h.version_minor, h.format_byte);
    const std::unique_ptr<RecordSource> records = input.open_records();
    RunSetup setup;
    setup.name = input.name();
    setup.records = records.get();
    setup.header = h;
    setup.points = h.legacy_point_count;
    setup.stride = kLasVariants[LASType].record_length;
    setup.chunk_records = kChunkRecords;
    setup.piece_records = kPieceRecords;
    setup.sinks = {&writers};
    setup.coordinates[0] = _Xvec, setup.coordinates[1] = _Yvec, setup.coordinates[2] = _Zvec;
    const uint32_t ptsInLAS = h.legacy_point_count;
    const bool one_decimal = LASType == 1;
    setup.before_full_chunk = [ptsInLAS, one_decimal](int32_t chunk) { print_progress(chunk, ptsInLAS, one_decimal); };
    return run_points(setup);
}

int convert_file(const char *lasname, const RunLimits &limits) {
    const Input input(lasname, pelmora_policy());
    const std::string shpname = with_extension(lasname, "shp"), dbfname = with_extension(lasname, "dbf");
    const std::string prjname = with_extension(lasname, "prj");
    check_outputs(input, shpname, dbfname, prjname);

    credits();
    std::printf("Input LAS file:    %s\n", lasname);
    std::printf("Output Shapefile:  %s\n", shpname.c_str());
    ElapsedClock clock;
    clock.start();
    allocate_vectors();
    std::printf("\nProcessing ...");
    std::fflush(stdout);

    OutputSet outputs;
    const LasHeader &h = input.header();
    const std::unique_ptr<PelmoraWriters> writers = variant_writers(
        las_type_of(h.version_minor, h.format_byte), outputs, shpname, dbfname, input.file().header_bytes(), limits.add_field);
    const RunResult result = write_points(input, *writers);
    wipe_progress();
    if (const std::string changes = writers->value_changes(); !changes.empty()) std::printf("%s\n", changes.c_str());
    const EsriWkt &crs = input.crs();
    if (result.far != 0) std::printf("%s\n", far_points_warning(lasname, result.far, result.written).c_str());
    if (crs.outcome == EsriWkt::Outcome::Untranslatable) std::printf("No .prj written: %s\n", crs.text.c_str());
    write_prj(outputs, prjname, crs);
    for (const std::string &name : spatial_index_names(shpname))
        outputs.remove_on_commit(name, "a spatial index of the replaced shapefile");
    outputs.commit([&] { input.file().confirm_unchanged(); });
    for (const std::string &warning : outputs.warnings()) std::printf("%s\n", warning.c_str());
    clock.print();
    return 0;
}

// Everything printed reaches the console before the run ends; what a
// console that went away (a closed pipe) cannot take is dropped, so that the
// C library does not try again at exit, when SIGPIPE would end the process.
int flushed(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        __fpurge(stdout);
        std::clearerr(stdout);
    }
    return status;
}

int run_guarded(int argc, char **argv, const RunLimits &limits) {
    if (argc != 2) {
        std::puts("\nMissing or excessive number of arguments");
        std::puts("Usage:");
        std::puts("Pelmora <LAS file>");
        credits();
        return -1;
    }
    try {
        return convert_file(argv[1], limits);
    } catch (const ConsoleText &text) {
        std::fputs(text.text.c_str(), stdout);
    } catch (const Failure &failure) {
        std::printf(failure.same_line ? "%s\n" : "\n%s\n", failure.message.c_str());
    } catch (const std::bad_alloc &) {
        std::fputs("\nFailed to allocate memory for output buffers\n", stdout);
    }
    return -1;
}

}  // namespace

int run(int argc, char **argv, const RunLimits &limits) {
    const SignalGuard signals;
    return flushed(run_guarded(argc, argv, limits));
}

LasFileCheck check_las_file(const std::string &name, mode_t mode, uint64_t file_size, const unsigned char *bytes,
                            size_t got) {
    LasFileCheck result;
    const char *n = name.c_str();
    // check_las's own diagnostic, then the driver's refusal after it.
    auto refuse = [&](const std::string &diagnostic) {
        result.las_type = -1;
        result.problems.push_back(diagnostic + name + " is not a valid LAS file\n");
        return result;
    };
    if (std::string problem = ostrine::extension_problem(n, "las"); !problem.empty()) return refuse(problem);
    if (std::string problem = ostrine::unreadable_kind_problem(n, mode); !problem.empty()) return refuse(problem);
    const ostrine::LasCheck check = ostrine::check_las_header(n, bytes, got);
    if (check.las_type < 1) return refuse(check.message);
    result.las_type = check.las_type;

    const LasHeader header = parse_las_header(bytes, got);
    const uint16_t record_length = kLasVariants[check.las_type].record_length;
    auto problem = [&](const std::string &text, const char *consequence = "") {
        if (!text.empty()) result.problems.push_back("\n" + text + consequence + "\n");
    };
    const std::string inside = las_rules::offset_inside_header(name, header);
    problem(inside, "; the point records cannot start there");
    if (inside.empty()) problem(las_rules::offset_beyond_end(name, header, file_size));
    const bool too_many = header.legacy_point_count > shp::kMaxPoints;
    if (too_many)
        problem(formatted("%s holds %u point records; a shapefile can hold at most %llu PointZ records", n,
                          header.legacy_point_count, static_cast<unsigned long long>(shp::kMaxPoints)));
    if (!too_many && inside.empty())
        problem(las_rules::records_missing(name, header, header.legacy_point_count, record_length, file_size));
    for (const std::string &text : las_rules::infinite_coordinates(name, header)) problem(text);
    if (!result.problems.empty()) result.las_type = -1;
    return result;
}
