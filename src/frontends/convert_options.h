// pelmora-convert's command line (and pelmora-laz's, the older name of the
// same program): the options, their values, and the usage errors.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "select/selection.h"

struct Options {
    std::string program = "pelmora-convert";
    bool laz_command = false;  // called as pelmora-laz
    std::string output_dir;
    bool no_clobber = false;
    bool quiet = false;
    bool index = false;
    bool keep_las = false;
    bool dry_run = false;
    uint64_t max_bytes = 2147483647;     // --max-size; UINT64_MAX: none
    std::vector<std::string> fields;     // --fields, or with drop_fields --drop-fields
    bool drop_fields = false;
    std::string t_srs, s_srs, a_srs;     // coordinate systems as given (--t_srs, --s_srs, --a_srs)
    bool verbose = false;
    SelectionOptions selection;
    std::vector<std::string> files;
};

// The status of a usage error: 2, or 255 as pelmora-laz.
int usage_status(const Options &o);

// Reads the command line into `o`.  Returns the status to end with when
// the run ends here (--help and --version: 0; a usage error, said on
// standard error: usage_status()), nothing when files are to be converted.
std::optional<int> parse_options(int argc, char **argv, Options &o);
