// The GPS-time field's special path against std::to_chars: nanoseconds a
// value, both checked equal to snprintf("%16.8f") on every value timed.
//
//   gps_text_bench [VALUES]     (default 5,000,000 GPS week seconds)
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "dbf/row_format.h"

namespace {

void with_to_chars(char *dst16, double value) {
    char text[48];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 8);
    const size_t length = static_cast<size_t>(result.ptr - text);
    std::memset(dst16, ' ', 16 - length);
    std::memcpy(dst16 + 16 - length, text, length);
}

template <class Format>
double nanoseconds_per_value(const std::vector<double> &values, Format format) {
    char field[16];
    unsigned long checksum = 0;
    const auto start = std::chrono::steady_clock::now();
    for (const double v : values) {
        format(field, v);
        checksum += static_cast<unsigned char>(field[15]);
    }
    const auto end = std::chrono::steady_clock::now();
    if (checksum == 0) std::puts("");  // keeps the loop
    return std::chrono::duration<double, std::nano>(end - start).count() / static_cast<double>(values.size());
}

}  // namespace

int main(int argc, char **argv) {
    const size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 5000000;
    std::mt19937_64 random(20261208);
    std::uniform_real_distribution<double> week(0.0, 604800.0);
    std::vector<double> values(count);
    for (double &v : values) v = week(random);
    std::sort(values.begin(), values.end());  // in time order, as a survey records them

    for (const double v : values) {
        char ours[16], theirs[16], want[32];
        format_gps_time(ours, v);
        with_to_chars(theirs, v);
        std::snprintf(want, sizeof want, "%16.8f", v);
        if (std::memcmp(ours, want, 16) != 0 || std::memcmp(theirs, want, 16) != 0) {
            std::fprintf(stderr, "gps_text_bench: %s formatted differently\n", want);
            return 1;
        }
    }
    const double special = nanoseconds_per_value(values, [](char *f, double v) { format_gps_time(f, v); });
    const double general = nanoseconds_per_value(values, with_to_chars);
    std::printf("GPS time text: special path %.1f ns, std::to_chars %.1f ns a value (ratio %.2f)\n", special, general,
                general / special);
    return 0;
}
