#include "core/output_checks.h"

#include <sys/stat.h>

#include "base/failure.h"
#include "io/output_file.h"

namespace {

bool exists(const std::string &name) {
    struct stat st {};
    return lstat(name.c_str(), &st) == 0;
}

}  // namespace

void check_output_names(const LasFile &input, const OutputNames &names) {
    const char *n = input.name().c_str();
    auto never_the_input = [&](const std::string &output) {
        if (input.is_same_file(output))  // stat follows links: a link to the input is the input
            fail("%s is the input file %s itself (a link to it): writing it would destroy the input", output.c_str(), n);
    };
    for (const std::string &output : names.written) {
        never_the_input(output);
        if (names.seen != nullptr && names.seen->count(output_file_key(output)) != 0)
            fail("%s: its output %s is also an output of a file converted before in this run", n, output.c_str());
    }
    for (const std::string &output : names.not_input) never_the_input(output);
    // Two output names for one file would leave one output in the other's place.
    if (const auto [first, second] = same_output_file(names.written); !first.empty())
        fail("%s and %s are the same file (a link to it): writing both would destroy one output", first.c_str(),
             second.c_str());
    for (const std::string &output : names.written) {
        refuse_unreplaceable_output(output);
        if (names.no_clobber && exists(output)) fail("%s already exists (--no-clobber): nothing written", output.c_str());
    }
    if (names.no_clobber)
        for (const std::string &companion : names.must_be_absent)
            if (exists(companion))
                fail("%s already exists (--no-clobber): nothing written", companion.c_str());
}
