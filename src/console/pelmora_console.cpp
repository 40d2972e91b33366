#include "console/pelmora_console.h"

#include <cstdio>

double progress_percent(int32_t chunk_index, uint32_t points) {
    return 100.0 * (chunk_index + 1) * 1000000.0 / points;
}

void print_progress(int32_t chunk_index, uint32_t points, bool one_decimal) {
    std::printf(one_decimal ? "\rProcessing ... %.1f%% done" : "\rProcessing ... %.2f%% done",
                progress_percent(chunk_index, points));
    std::fflush(stdout);  // a carriage-return line is never flushed by a newline
}

void wipe_progress() { std::printf("\r%78s\r", " "); }

void ElapsedClock::start() { clock_gettime(CLOCK_MONOTONIC, &begin_); }

void ElapsedClock::print() const {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const double seconds =
        static_cast<double>(now.tv_sec - begin_.tv_sec) + static_cast<double>(now.tv_nsec - begin_.tv_nsec) / 1e9;
    std::printf("Elapsed time %.2f seconds\n", seconds);
}
