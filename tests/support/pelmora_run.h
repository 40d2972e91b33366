// Running the built converter and the generator from tests.
#pragma once

#include <string>
#include <vector>

#include "capture.h"

// The banner every successful run prints first.
extern const char *const kBanner;

// Runs lasgen with `args` to make `path`; fails the test on error.
void generate_las(const std::string &path, const std::vector<std::string> &args);

// Runs Pelmora with one argument in `workdir`.
Captured run_pelmora(const std::string &argument, const std::string &workdir = "",
                     unsigned long long file_size_limit = 0);

// What a successful run prints, with the elapsed seconds replaced by "#".
std::string expected_console(const std::string &input, const std::string &shp,
                             const std::vector<std::string> &progress_numbers, const std::string &summary = "");
std::string mask_elapsed(const std::string &console);

// Scoped temporary directory, removed with its contents.
struct TempDir {
    std::string path;
    explicit TempDir(const std::string &tag);
    ~TempDir();
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};
