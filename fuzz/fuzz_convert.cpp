// Fuzz target: pelmora-convert on arbitrary bytes written as a .las file,
// the reader of LAS 1.0-1.4 headers, VLRs, EVLRs, extra-bytes descriptors
// and LAZ records included.
//
// Each input goes through the command's own entry point in this process,
// so the sanitizers watch every path and whatever a run keeps piles up.
// Besides their reports, each input checks what the command promises:
// status 0 with outputs complete and agreeing with their headers; status 1
// with nothing left behind; never another status; no descriptor outlives a
// run.  LAZ inputs meet a decoder that fails at once (no Node.js here):
// everything before the decoder, and the decoder's failure, is exercised.
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "frontends/convert.h"
#include "fuzz_support.h"
#include "output_checks.h"

namespace {

// The command's warnings and errors go to standard error, one or more an
// input: they are sent to /dev/null while it runs.  The sanitizers report
// on a copy of the real standard error, made once, so that a fault found
// inside the command is still seen.
int real_stderr() {
    static const int fd = [] {
        const int copy = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
        if (copy < 0) fuzz_finding("cannot keep standard error");
        __sanitizer_set_report_fd(reinterpret_cast<void *>(static_cast<intptr_t>(copy)));
        return copy;
    }();
    return fd;
}

// The point count a header declares: the 64-bit one of LAS 1.4, else the
// legacy one.
uint64_t declared_points(const uint8_t *data, size_t size) {
    auto le = [&](size_t at, int bytes) {
        uint64_t v = 0;
        for (int b = bytes - 1; b >= 0; --b) v = v << 8 | data[at + static_cast<size_t>(b)];
        return v;
    };
    if (size >= 255 && data[24] == 1 && data[25] >= 4) return le(247, 8);
    return size >= 111 ? le(107, 4) : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string base = fuzz_workdir() + "/in";
    static const bool prepared = setenv("PELMORA_LAZ_DECODER", "/bin/false", 1) == 0;
    (void)prepared;
    const int saved_err = real_stderr();
    const std::string las = base + ".las";
    write_input(las, data, size);
    const int descriptors = open_descriptor_count();

    std::fflush(stderr);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, STDERR_FILENO);
    close(null);
    // The arguments stay at the same addresses with the same contents from
    // one input to the next: getopt keeps a pointer into the last option it
    // read, and a stack copy would change under it.  (convert_main restarts
    // getopt with optind = 0, which glibc takes as a fresh start.)
    static char program[] = "pelmora-convert", quiet[] = "-q";
    static std::string argument = las;
    char *argv[] = {program, quiet, argument.data(), nullptr};
    clear_console();
    const int status = convert_main(3, argv);
    std::fflush(stderr);
    dup2(saved_err, STDERR_FILENO);
    take_console();

    if (open_descriptor_count() != descriptors) fuzz_finding("a run left a file descriptor open");
    if (status == 0) {
        if (size < 227) fuzz_finding("status 0 for a file shorter than the public header");
        const uint64_t points = declared_points(data, size);
        if (points > 0xFFFFFFFFu) fuzz_finding("status 0 for more points than a shapefile holds");
        const std::string problem = output_problems(base, static_cast<uint32_t>(points));
        if (!problem.empty()) fuzz_finding("a successful run's outputs are wrong", problem);
    } else {
        if (status != 1) fuzz_finding("a failure with a status other than 1", std::to_string(status));
        if (stray_files(fuzz_workdir()) != 0) fuzz_finding("a failed run left a file behind");
    }
    for (const char *extension : {".shp", ".shx", ".dbf", ".prj"}) std::remove((base + extension).c_str());
    return 0;
}
