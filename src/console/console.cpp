#include "console/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {
timespec g_begin_time{};
}

// Ends the process; a test harness that runs conversions in-process (the
// fuzzer) replaces it with one that unwinds instead.
__attribute__((weak)) void end_run(int status) { std::exit(status); }

void fail(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fflush(stdout);
    end_run(-1);
    std::abort();  // end_run never returns
}

double progress_percent(int32_t chunk_index, uint32_t points) {
    return 100.0 * (chunk_index + 1) * 1000000.0 / points;
}

void print_progress(int32_t chunk_index, uint32_t points, bool one_decimal) {
    std::printf(one_decimal ? "\rProcessing ... %.1f%% done" : "\rProcessing ... %.2f%% done",
                progress_percent(chunk_index, points));
    std::fflush(stdout);  // a carriage-return line is never flushed by a newline
}

void wipe_progress() { std::printf("\r%78s\r", " "); }

void start_elapsed_clock() { clock_gettime(CLOCK_MONOTONIC, &g_begin_time); }

void print_elapsed_time() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const double seconds =
        static_cast<double>(now.tv_sec - g_begin_time.tv_sec) + static_cast<double>(now.tv_nsec - g_begin_time.tv_nsec) / 1e9;
    std::printf("Elapsed time %.2f seconds\n", seconds);
}
