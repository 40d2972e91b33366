#include "console/terminal.h"

#include <cstdio>

std::string shown(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F) {
            out += c;
            continue;
        }
        switch (c) {
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default: {
                char octal[8];
                std::snprintf(octal, sizeof octal, "\\%03o", u);
                out += octal;
            }
        }
    }
    return out;
}

double seconds_since(const timespec &start) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) + static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

Progress::Progress(bool on, std::string name, uint64_t points) : on_(on), name_(shown(name)), points_(points) {
    clock_gettime(CLOCK_MONOTONIC, &start_);
}

void Progress::update(uint64_t done) {
    if (!on_) return;
    const double elapsed = seconds_since(start_);
    if (elapsed - shown_at_ < 0.25 && done != points_) return;
    shown_at_ = elapsed;
    const double percent = points_ != 0 ? 100.0 * static_cast<double>(done) / static_cast<double>(points_) : 100.0;
    const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed / 1e6 : 0.0;
    std::fprintf(stderr, "\r%s: %3.0f%% (%.2f million points/s)", name_.c_str(), percent, rate);
    std::fflush(stderr);
    shown_ = true;
}

void Progress::clear() {
    if (!shown_) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    shown_ = false;
}
