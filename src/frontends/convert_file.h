// pelmora-convert's conversion of one file: the input stage with the
// conventional rules, the outputs planned (parts of a size, the chosen
// fields), their names checked, the run with the shapefile parts as its
// sink, the output set committed; or, for a dry run, the plan.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "frontends/convert_options.h"
#include "frontends/run_limits.h"

struct FileResult {
    uint64_t read = 0, written = 0, bytes = 0;
    double seconds = 0;
    std::vector<std::string> shp;  // the .shp of each part written (one: a single set)
    uint64_t max_bytes = 0;        // the size of a part (several parts)
    bool parts_by_format = false;  // the parts' size is the format's limit of points
    std::vector<std::string> warnings;
    std::vector<std::string> plan;  // a dry run's lines
    std::string verbose;            // -v: the line that says how the points were moved
};

// Converts `name` (or plans it, with --dry-run); `seen` holds the outputs
// of earlier files of the call, and gets this one's.  Fails (a Failure) when
// the file is refused or its conversion fails.
FileResult convert_file(const std::string &name, const Options &o, const RunLimits &limits,
                        std::set<std::string> &seen);
