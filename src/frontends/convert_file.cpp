#include "frontends/convert_file.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

#include "base/failure.h"
#include "base/text.h"
#include "console/terminal.h"
#include "core/input.h"
#include "core/piece_pipeline.h"
#include "frontends/convert_crs.h"
#include "core/output_checks.h"
#include "core/run.h"
#include "io/output_file.h"
#include "io/output_set.h"
#include "las/header_rules.h"
#include "laz/decompressed_las.h"
#include "outputs/parts.h"
#include "shapefile/pointz_files.h"

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
// fails the file.
void check_header(const LasFile &file) {
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
    if (!h.compressed()) {
        refuse(las_rules::records_missing(name, h, h.point_count(), h.record_length, file.size()));
        refuse(las_rules::records_run_into_evlrs(name, h));
    }
    for (const std::string &problem : las_rules::infinite_coordinates(name, h)) refuse(problem);
}

InputPolicy convert_policy() {
    InputPolicy policy;
    policy.cannot_open = [](const std::string &name, int error) {
        fail("Cannot open %s: %s", name.c_str(), std::strerror(error));
    };
    policy.check = [](const LasFile &file) { check_header(file); };
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


// The table's fields, cut to those the options keep.
DbfSchema table_schema(const Input &input, const Options &o) {
    const DbfSchema all = convert_schema(input.format(), input.header().version_minor, input.extra_bytes().attributes);
    if (o.fields.empty()) return all;
    std::vector<std::string> unknown;
    DbfSchema kept = select_fields(all, o.fields, o.drop_fields, unknown);
    std::string has;
    for (const DbfField &f : all.fields) has += (has.empty() ? "" : ", ") + stored_name(f);
    if (!unknown.empty()) {
        std::string names;
        for (const std::string &u : unknown) names += (names.empty() ? "" : ", ") + u;
        fail("%s has no field %s: its table has %s", input.name().c_str(), names.c_str(), has.c_str());
    }
    if (kept.fields.empty())
        fail("%s: --drop-fields leaves no field of its table (%s); a .dbf needs one", input.name().c_str(), has.c_str());
    return kept;
}

ShapefileSpec shapefile_spec(const Input &input, const CrsChoice &crs, const std::string &stem, const Options &o,
                             const RunLimits &limits) {
    ShapefileSpec spec;
    spec.stem = stem;
    spec.index = o.index;
    spec.crs = crs.prj;
    spec.schema = table_schema(input, o);
    spec.stride = input.header().record_length;
    spec.add_field = limits.add_field;
    return spec;
}

// Every name a conversion of `stem` may write: one set, or its parts (both,
// with a selection, whose kept points may fit one set).
std::vector<std::string> names_written(const ShapefileSpec &spec, const PartPlan &plan, bool selecting) {
    std::vector<std::string> names;
    if (plan.parts() == 1 || selecting) names = spec.outputs();
    for (uint64_t k = 0; plan.parts() > 1 && k < plan.parts(); ++k) {
        ShapefileSpec part = spec;
        part.stem = part_stem(spec.stem, k);
        for (const std::string &name : part.outputs()) names.push_back(name);
    }
    return names;
}

// What a conversion of `stem` may replace or remove: the files of one set
// and their companions, and the parts an earlier conversion left.
std::vector<std::string> names_touched(const ShapefileSpec &spec) {
    ShapefileSpec whole = spec;
    whole.index = true;
    std::vector<std::string> names = whole.outputs();
    for (const std::string &name : spatial_index_names(whole.shp()))
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    if (whole.crs.outcome != EsriWkt::Outcome::Written) names.push_back(whole.prj());
    for (const PartFile &f : existing_parts(spec.stem)) names.push_back(f.name);
    return names;
}

// The names checked before anything is written; with --keep-las the
// decompressed LAS file too, which never replaces a file.
void check_names(const Input &input, const ShapefileSpec &spec, const PartPlan &plan, const Options &o,
                 const std::set<std::string> &seen) {
    OutputNames names;
    names.written = names_written(spec, plan, o.selection.active());
    if (o.keep_las && input.compressed()) {
        const std::string kept = spec.stem + ".las";
        struct stat st {};
        if (lstat(kept.c_str(), &st) == 0) fail("%s already exists: --keep-las does not replace a LAS file", kept.c_str());
        names.written.push_back(kept);
    }
    names.must_be_absent = names_touched(spec);
    names.no_clobber = o.no_clobber;
    names.seen = &seen;
    check_output_names(input.file(), names);
    // Nor may it remove what an earlier file of the call wrote.
    for (const std::string &name : names.must_be_absent)
        if (seen.count(output_file_key(name)) != 0)
            fail("%s: its output %s is also an output of a file converted before in this run", input.name().c_str(),
                 name.c_str());
    input.file().confirm_unchanged();
}

// The warnings of a conversion that committed, each naming the file.
void add_warnings(FileResult &r, const Input &input, const CrsChoice &crs, const ShapefileParts &parts,
                  const RunResult &run, const Options &o) {
    const std::string &name = input.name();
    r.warnings = input.warnings();
    r.warnings.insert(r.warnings.end(), crs.warnings.begin(), crs.warnings.end());
    if (const std::string changes = parts.value_changes(); !changes.empty()) r.warnings.push_back(name + ": " + changes);
    if (run.far != 0) r.warnings.push_back(far_points_warning(name, run.far, run.written));
    const EsriWkt &prj = crs.prj;
    if (prj.outcome == EsriWkt::Outcome::Untranslatable || prj.outcome == EsriWkt::Outcome::Unreadable)
        r.warnings.push_back(name + ": no .prj written: " + prj.text);
    if (o.selection.active() && run.written == 0)
        r.warnings.push_back(name + ": no point passed the selection; the shapefile has no records");
}

// The run itself, from the records to the committed outputs.
FileResult write_outputs(const Input &input, const CrsChoice &crs, const ShapefileSpec &spec, const PartPlan &plan,
                         const Options &o, const RunLimits &limits) {
    OutputSet outputs(o.no_clobber);
    ShapefileParts parts(outputs, spec, plan);
    // The records: read from the file itself, or from the decoder, started
    // only now that nothing else can refuse the file.
    const std::unique_ptr<RecordSource> records = input.open_records();
    std::unique_ptr<laz::KeptLas> kept;
    if (o.keep_las && input.compressed()) {
        kept = std::make_unique<laz::KeptLas>(input.name(), input.file().fd(), input.file().size(), input.header(),
                                              *records);
        OutputFile *las = outputs.open(spec.stem + ".las");
        las->set_never_replace();
        kept->start(*las);
    }
    RunSetup setup;
    setup.name = input.name();
    setup.records = kept ? static_cast<RecordSource *>(kept.get()) : records.get();
    setup.header = input.header();
    setup.points = input.points();
    setup.stride = input.header().record_length;
    pieces_by_bytes(setup);
    setup.selection = &o.selection;
    setup.thin_grid_bytes = limits.thin_grid_bytes;
    setup.transform = crs.transform.get();
    setup.sinks = {&parts};
    Progress progress(!o.quiet && isatty(STDERR_FILENO) != 0, input.name(), setup.points);
    setup.after_piece = [&progress](uint64_t done) { progress.update(done); };
    RunResult run;
    try {
        run = run_points(setup);
    } catch (...) {
        progress.clear();
        throw;
    }
    progress.clear();
    parts.remove_stale();
    outputs.commit([&] { input.file().confirm_unchanged(); });

    FileResult r;
    add_warnings(r, input, crs, parts, run, o);
    for (const std::string &warning : outputs.warnings()) r.warnings.push_back(input.name() + ": " + warning);
    r.read = run.read;
    r.written = run.written;
    r.bytes = outputs.bytes();
    r.shp = parts.shp_names();
    r.max_bytes = plan.max_bytes;
    r.parts_by_format = plan.by_format;
    return r;
}

// The CRS's name, as its ESRI WKT gives it first.
std::string crs_name(const EsriWkt &crs) {
    const size_t open = crs.text.find("[\"");
    const size_t close = open == std::string::npos ? open : crs.text.find('"', open + 2);
    return close == std::string::npos ? "unnamed" : crs.text.substr(open + 2, close - open - 2);
}

std::string crs_line(const CrsChoice &choice) {
    if (choice.transform)
        return "coordinate system: " + choice.source + ", moved to " + choice.target + " by " + choice.operation;
    const EsriWkt &crs = choice.prj;
    switch (crs.outcome) {
        case EsriWkt::Outcome::Written: return "coordinate system: " + crs_name(crs);
        case EsriWkt::Outcome::NoCrs: return "coordinate system: none (no .prj)";
        default: return "coordinate system: not written (" + crs.text + ")";
    }
}

std::string fields_line(const DbfSchema &schema) {
    std::string line = "fields:";
    for (const DbfField &f : schema.fields)
        line += formatted(" %s N%u%s,", stored_name(f).c_str(), f.width,
                          f.decimals ? formatted(".%u", f.decimals).c_str() : "");
    line.back() = ';';
    return line + formatted(" a row of %zu bytes", schema.row_length());
}

// The files of one set of `points` points, with their sizes.
std::string files_line(const ShapefileSpec &spec, uint64_t points) {
    const SetBytes bytes = set_bytes(spec, points);
    std::string line = formatted("    %s (%llu bytes), %s (%llu bytes), %s (%llu bytes)", spec.shp().c_str(),
                                 static_cast<ull>(bytes.shp), shx_name_for(spec.shp()).c_str(), static_cast<ull>(bytes.shx),
                                 spec.dbf().c_str(), static_cast<ull>(bytes.dbf));
    if (spec.crs.outcome == EsriWkt::Outcome::Written)
        line += formatted(", %s (%zu bytes)", spec.prj().c_str(), spec.crs.text.size());
    if (spec.index) line += ", " + spec.qix() + " (smaller than the .shp)";
    return line;
}

// What a run would write, from the headers alone.
FileResult dry_run(const Input &input, const CrsChoice &crs, const ShapefileSpec &spec, const PartPlan &plan,
                   const Options &o) {
    FileResult r;
    const LasHeader &h = input.header();
    r.plan.push_back(formatted("%s: LAS %u.%u%s, point format %u, %llu points", input.name().c_str(), h.version_major,
                               h.version_minor, input.compressed() ? " (LAZ)" : "", h.point_format(),
                               static_cast<ull>(input.points())));
    r.plan.push_back("  " + crs_line(crs));
    r.plan.push_back("  " + fields_line(spec.schema));
    const bool selecting = o.selection.active();
    const std::string at_most = selecting ? " (a selection keeps at most these)" : "";
    if (plan.parts() == 1) {
        r.plan.push_back("  outputs" + at_most + ":");
        r.plan.push_back(files_line(spec, plan.points));
    } else {
        r.plan.push_back(formatted("  outputs: %llu parts of at most %s%s:", static_cast<ull>(plan.parts()),
                                   plan.by_format ? formatted("%llu points", static_cast<ull>(plan.capacity)).c_str()
                                                  : size_text(plan.max_bytes).c_str(),
                                   at_most.c_str()));
        for (uint64_t k = 0; k < plan.parts(); ++k) {
            ShapefileSpec part = spec;
            part.stem = part_stem(spec.stem, k);
            r.plan.push_back(files_line(part, std::min(plan.capacity, plan.points - k * plan.capacity)));
        }
    }
    r.warnings = input.warnings();
    r.warnings.insert(r.warnings.end(), crs.warnings.begin(), crs.warnings.end());
    return r;
}

}  // namespace

FileResult convert_file(const std::string &name, const Options &o, const RunLimits &limits,
                        std::set<std::string> &seen) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const std::string stem = output_stem(name, o);
    const Input input(name, convert_policy());
    const CrsChoice crs = choose_crs(input, o, PiecePipeline::worker_count());
    const ShapefileSpec spec = shapefile_spec(input, crs, stem, o, limits);
    const PartPlan plan = plan_parts(name, spec, input.points(), o.max_bytes, limits.points_per_shapefile);
    check_names(input, spec, plan, o, seen);
    if (o.dry_run) return dry_run(input, crs, spec, plan, o);
    FileResult r = write_outputs(input, crs, spec, plan, o, limits);
    if (o.verbose && crs.transform)
        r.verbose = name + ": moved from " + crs.source + " to " + crs.target + " by " + crs.operation;
    if (o.keep_las && input.compressed()) seen.insert(output_file_key(stem + ".las"));
    for (const std::string &shp : r.shp) {
        ShapefileSpec part = spec;
        part.stem = shp.substr(0, shp.size() - 4);
        for (const std::string &output : part.outputs()) seen.insert(output_file_key(output));
    }
    r.seconds = seconds_since(start);
    return r;
}
