// Pelmora's console text: progress lines and the elapsed time.
//
// Everything goes to standard output.  Progress lines start with a carriage
// return and end without a newline so that the next one overwrites them.
#pragma once

#include <cstdint>
#include <ctime>

// Percentage of all points done once chunk `chunk_index` (0-based) is done:
// 100 x (i + 1) x 1,000,000 / points, left to right in double precision.
double progress_percent(int32_t chunk_index, uint32_t points);

// "\rProcessing ... 40.00% done"; LAS 1.0 format 0 shows one decimal.
void print_progress(int32_t chunk_index, uint32_t points, bool one_decimal);

// Blanks the progress line: a carriage return, 78 blanks, a carriage return.
void wipe_progress();

// Wall-clock time of one run.
class ElapsedClock {
public:
    void start();
    // "Elapsed time 1.23 seconds"
    void print() const;

private:
    timespec begin_{};
};
