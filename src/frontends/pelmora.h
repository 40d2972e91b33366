// One conversion run of Pelmora, from the command line to the exit status:
// what main() does, callable in-process (the tests' and the fuzzer's entry
// point).  Every failure ends here as its message on standard output and
// the result -1.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "frontends/run_limits.h"

int run(int argc, char **argv, const RunLimits &limits = {});

// What Pelmora concludes about a file: its variant code (1..8 when it can
// be converted) and every problem found, each as the console text that
// reports it.  The checks of the library's check_las come first (a header
// they refuse is not looked at further); then those of a conversion: where
// the point records start, how many a shapefile can hold, how many the file
// holds, and scale factors and offsets that give finite coordinates.
struct LasFileCheck {
    int16_t las_type = -1;
    std::vector<std::string> problems;
};

// A pure function of the name, the file's type and size and its first
// `got` bytes (227 are looked at).
LasFileCheck check_las_file(const std::string &name, mode_t mode, uint64_t file_size, const unsigned char *header,
                            size_t got);
