// Command-line argument checks: a yes/no flag, a plain decimal number and a
// DEM file name.
//
// check_YN reports by return value and leaves the decision to its caller;
// check_numeric_argument and check_DEM end the process with status -1 after
// their message, so a caller that gets control back knows the argument is
// acceptable.  All messages go to standard output.

#include "Ostrine_LiDAR.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/text.h"

extern "C" {

// A null string is an invalid argument like any other: its message and
// result, never a crash.
int16_t check_YN(const char *text) {
    if (text != nullptr && (std::strcmp(text, "Y") == 0 || std::strcmp(text, "N") == 0 || std::strcmp(text, "y") == 0 ||
        std::strcmp(text, "n") == 0))
        return 0;
    std::printf("\nASCII Header Flag should be either Y (y) or N (n)\n");
    return -1;
}

// Accepts digits, at most one point and at most one minus sign, in any
// order; a lone point or lone minus is not a number.  Where the point and
// the sign stand is deliberately not checked ("5-" passes), and nothing is
// converted: the caller converts the text itself.  The scan is bounded only
// by the terminating zero, so strings of any length are handled.
void check_numeric_argument(const char *str) {
    size_t points = 0;
    size_t minuses = 0;
    bool valid = str != nullptr;
    for (size_t k = 0; valid && str[k] != '\0'; ++k) {
        const char c = str[k];
        if (c == '.') {
            ++points;
        } else if (c == '-') {
            ++minuses;
        } else if (c < '0' || c > '9') {  // ASCII digits only, whatever the locale
            valid = false;
            break;
        }
    }
    if (points > 1 || minuses > 1) valid = false;
    if (valid && (std::strcmp(str, ".") == 0 || std::strcmp(str, "-") == 0)) valid = false;
    if (!valid) {
        std::printf("\nInvalid argument value (%s)\n", printable(str));
        std::exit(-1);
    }
}

// A DEM is either an ASCII grid (".asc") or a floating-point binary grid
// (".flt"); the binary kind is unusable without its ".hdr" companion, which
// must sit beside it under the same name.  The DEM file itself is not opened
// here.  check_file_extension prints a message for every failed test, so an
// accepted name is preceded by the mismatch message of the other extension.
void check_DEM(const char *str) {
    if (check_file_extension(str, "asc") < 0 && check_file_extension(str, "flt") < 0) {
        std::printf("\nDEM file extension should be either '.asc' (ASCII) or '.flt' (floating point binary)\n");
        std::exit(-1);
    }
    if (check_file_extension(str, "flt") < 0) return;  // an ".asc" name

    // The extension test above guarantees more than four characters.  The
    // name is built on the heap, so there is no limit on its length.
    const std::string name(str);
    const std::string header_name = name.substr(0, name.size() - 4) + ".hdr";
    if (file_access(header_name.c_str()) < 0) {
        std::printf("\nFloating point binary DEM files also require a ASCII header file ('.hdr')\n");
        std::exit(-1);
    }
}

}  // extern "C"
