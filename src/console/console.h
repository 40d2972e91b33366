// Console text of a conversion run: failures, progress, elapsed time.
//
// Everything goes to standard output.  Progress lines start with a carriage
// return and end without a newline so that the next one overwrites them.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// Why a run cannot go on: the console text that says so.  Thrown by fail()
// wherever the problem is found (on any thread) and turned into that text
// and status -1 by run(), so every failure unwinds through the same path
// and releases what the run holds.  Deliberately not a std::exception: code
// that catches library exceptions never swallows it.
struct Failure {
    std::string message;
};

// Throws a Failure with the printf-formatted message.
[[noreturn]] void fail(const char *format, ...) __attribute__((format(printf, 1, 2)));

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
