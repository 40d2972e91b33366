// The checks of a run's output names before anything is written: never
// the input, never two names for one file, never what cannot be replaced;
// with --no-clobber, nothing that exists; never what an earlier file of the
// same call wrote.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "las/las_file.h"

struct OutputNames {
    std::vector<std::string> written;     // the outputs, in the order they are checked
    std::vector<std::string> not_input;   // names besides them that must not be the input
    std::vector<std::string> must_be_absent;  // with --no-clobber: companions that must not exist either
    bool no_clobber = false;
    const std::set<std::string> *seen = nullptr;  // output_file_key()s of earlier files of the call
};

// Fails (a Failure) on the first problem.
void check_output_names(const LasFile &input, const OutputNames &names);
