// The checks behind check_las and check_file_extension as pure functions:
// they return the message instead of printing it, so the converter can run
// them on the bytes it read from its own descriptor and tests can call them
// without a child process.  Internal; not installed.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace ostrine {

// The message check_file_extension prints for `filename`, or "" when the
// name ends in "." followed by `extension` (case-sensitive).
std::string extension_problem(const char *filename, const char *extension);

// What check_las concludes from the first `got` bytes of a file (only the
// first 227 are looked at): the variant code (1..8; 0 for LAS 1.0 or 1.1
// declaring format 2 or 3; -1 for a refusal) and, for -1, its message.
struct LasCheck {
    int16_t las_type;
    std::string message;
};
LasCheck check_las_header(const char *filename, const unsigned char *header, size_t got);

// The refusal of a file that is not a stream of bytes with an end (a FIFO,
// device or socket would block a reader or never end), as check_las prints
// it; "" for a regular file or a directory (whose read fails like that of
// any other non-LAS file).
std::string unreadable_kind_problem(const char *filename, mode_t mode);

}  // namespace ostrine
