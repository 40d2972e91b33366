// Whole conversions in the test's own process, through the same entry point
// as the program's main(): a failing run unwinds back here, so whatever a
// failure path kept (memory, descriptors) piles up and shows.
#pragma once

#include <string>
#include <vector>

#include "frontends/run_limits.h"

// Runs Pelmora on `las`; returns its status, and what it printed in `console`.
int run_in_process(const std::string &las, std::string *console = nullptr, const RunLimits &limits = {});

// Runs pelmora-convert with `arguments`; returns its status, and what it
// printed on standard error in `errors`.
int run_convert_in_process(const std::vector<std::string> &arguments, std::string *errors = nullptr,
                           const RunLimits &limits = {});

int open_descriptor_count();
size_t heap_in_use();
