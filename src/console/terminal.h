// pelmora-convert's console: results on standard output, warnings and
// errors on standard error, a progress line on a terminal.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// `text` with every control byte (below 0x20, and DEL) shown C-style
// (\n, \t, \033 ...), and exactly as it is otherwise: a file name stays on
// its one line and sends nothing to the terminal.
std::string shown(const std::string &text);

// Seconds since `start` (CLOCK_MONOTONIC).
double seconds_since(const timespec &start);

// One line on a terminal, rewritten in place: the share of the points read
// and the rate, at most four times a second.
class Progress {
public:
    Progress(bool on, std::string name, uint64_t points);
    void update(uint64_t done);
    void clear();

private:
    bool on_;
    std::string name_;
    uint64_t points_;
    timespec start_{};
    double shown_at_ = -1;
    bool shown_ = false;
};
