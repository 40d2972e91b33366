// pelmora-convert's command: its options, then each file in turn, results
// on standard output, warnings and errors on standard error, each naming
// the file, and the status.

#include "frontends/convert.h"

#include <stdio_ext.h>

#include <cstdio>
#include <new>
#include <set>
#include <string>

#include "base/failure.h"
#include "base/text.h"
#include "console/terminal.h"
#include "frontends/convert_file.h"
#include "frontends/convert_options.h"
#include "io/interrupts.h"
#include "outputs/parts.h"

namespace {

using ull = unsigned long long;

// "tile.shp", or for parts "tile_part1.shp … tile_part3.shp (3 parts of at most 2.0 GB)".
std::string written_to(const FileResult &r) {
    if (r.shp.size() == 1) return shown(r.shp.front());
    const std::string size = r.parts_by_format ? "the most points a shapefile holds" : "at most " + size_text(r.max_bytes);
    return formatted("%s \u2026 %s (%zu parts of %s)", shown(r.shp.front()).c_str(), shown(r.shp.back()).c_str(),
                     r.shp.size(), size.c_str());
}

// One line a file: what was written, where, and in what time; the size of
// one set, or the parts' names and the size of a part.
void print_result(const std::string &name, const FileResult &r, const Options &o) {
    const std::string where = r.shp.size() == 1 ? formatted("%s (%.1f MB)", written_to(r).c_str(), static_cast<double>(r.bytes) / 1e6)
                                                : written_to(r);
    if (o.selection.active())
        std::printf("%s: kept %llu of %llu points, written to %s in %.2f s\n", shown(name).c_str(),
                    static_cast<ull>(r.written), static_cast<ull>(r.read), where.c_str(), r.seconds);
    else
        std::printf("%s: %llu points written to %s in %.2f s\n", shown(name).c_str(), static_cast<ull>(r.written),
                    where.c_str(), r.seconds);
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
            for (const std::string &line : r.plan) std::printf("%s\n", shown(line).c_str());
            if (!o.quiet && !o.dry_run) print_result(name, r, o);
            if (!r.verbose.empty()) std::printf("%s\n", shown(r.verbose).c_str());
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
