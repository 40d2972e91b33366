// Fuzz target: the whole conversion of arbitrary bytes written as a .las file.
//
// The run goes through the program's own entry point, run(): a failing run
// unwinds back here and the next input runs in the same process, so the
// sanitizers watch every path, and any memory or descriptor a failing run
// leaves behind accumulates and is caught.
//
// Besides the sanitizers' own reports, each input checks what the run
// promises: status 0 only after "Elapsed time" with all three outputs
// complete and agreeing with their headers; a failure always ends with a
// message, never with "Elapsed time", and leaves no output and no
// temporary; no descriptor outlives a run.

#include <cstdio>
#include <string>

#include "fuzz_support.h"
#include "output_checks.h"
#include "frontends/pelmora.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string base = fuzz_workdir() + "/in";
    const std::string las = base + ".las";
    write_input(las, data, size);
    const int descriptors = open_descriptor_count();

    char program[] = "Pelmora";
    std::string argument = las;
    char *argv[] = {program, argument.data(), nullptr};
    clear_console();
    const int status = run(2, argv);
    const std::string console = take_console();

    if (open_descriptor_count() != descriptors) fuzz_finding("a run left a file descriptor open");
    const bool elapsed = console.find("Elapsed time ") != std::string::npos;
    if (status == 0) {
        if (!elapsed) fuzz_finding("status 0 without the elapsed time");
        if (size < 227) fuzz_finding("status 0 for a file shorter than the public header");
        const std::string problem =
            output_problems(base, bytes::le32(std::string(reinterpret_cast<const char *>(data), 227), 107));
        if (!problem.empty()) fuzz_finding("a successful run's outputs are wrong", problem);
    } else {
        if (status != -1) fuzz_finding("a failure with a status other than -1", std::to_string(status));
        if (elapsed) fuzz_finding("a failed run printed the elapsed time");
        const size_t last = console.find_last_not_of('\n');
        if (last == std::string::npos) fuzz_finding("a failed run printed no message");
        if (stray_files(fuzz_workdir()) != 0) fuzz_finding("a failed run left a file behind");
    }
    for (const char *extension : {".shp", ".shx", ".dbf", ".prj"}) std::remove((base + extension).c_str());
    return 0;
}
