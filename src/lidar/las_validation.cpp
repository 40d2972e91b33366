// File-name checks, the LAS header check and the credits banner.
//
// Validators report by return value after printing their own message; the
// caller decides whether to stop.  Everything goes to standard output.  The
// checks themselves are the pure functions of las_check.h; the exported
// functions only add the file access and the printing.

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "Ostrine_LiDAR.h"
#include "io/byte_order.h"
#include "io/posix_io.h"
#include "base/text.h"
#include "las/header_rules.h"
#include "las/las_header.h"
#include "las_check.h"
#include "las_variants.h"

namespace ostrine {

namespace {

// Version and format bytes are shown as the character '0' + value (mod 256),
// which is the digit itself for 0..9.
char digit_char(uint8_t value) { return static_cast<char>(static_cast<uint8_t>('0' + value)); }

}  // namespace

std::string extension_problem(const char *filename, const char *extension) {
    const char *name = printable(filename);
    const size_t length = filename != nullptr ? std::strlen(filename) : 0;  // a null name has no characters
    if (length <= 4) return formatted("\nFile name (%s) is too short\n", name);
    if (name[length - 4] != '.') return formatted("\nExtension of file %s should be preceeded by a dot (.)\n", name);
    if (extension != nullptr && std::strcmp(name + length - 3, extension) == 0) return "";
    return formatted("\nFile extension of %s is not .%s\n", name, printable(extension));
}

LasCheck check_las_header(const char *filename, const unsigned char *bytes, size_t got) {
    const char *name = printable(filename);
    // A file that ends inside the public header is not a LAS file, whatever
    // its first bytes hold.
    const LasHeader h = parse_las_header(bytes, got);
    if (got < OSTRINE_LAS_HEADER_SIZE || std::memcmp(h.signature, "LASF", 4) != 0)
        return {-1, formatted("\n%s is not a valid .las file\n\n", name)};

    if (h.version_major != 1)
        return {-1, formatted("\nCannot handle las files of version %c.x\n", digit_char(h.version_major))};
    if (h.version_minor > 2)
        return {-1, formatted("\nCannot handle las files of version %c.%c\n", digit_char(h.version_major),
                              digit_char(h.version_minor))};
    // The whole byte: the LAZ bits make it a format no LAS 1.2 file has.
    if (h.format_byte > 3)
        return {-1, formatted("\nPointDataFormatID in %s is %c. Only 0, 1, 2, or 3 is accepted\n", name,
                              digit_char(h.format_byte))};
    const int16_t type = las_type_of(h.version_minor, h.format_byte);
    if (type == 0) return {0, ""};
    if (h.record_length != kLasVariants[type].record_length)
        return {-1, formatted("\nData format of %s (%c) is incompatible with Length of Data Record (%d)\n", name,
                              digit_char(h.format_byte), static_cast<int>(h.record_length))};
    return {type, ""};
}

std::string unreadable_kind_problem(const char *filename, mode_t mode) {
    const std::string problem = las_rules::unreadable_kind(printable(filename), mode);
    return problem.empty() ? "" : "\n" + problem + "\n";
}

}  // namespace ostrine


extern "C" {

int16_t file_access(const char *filename) {
    // Opened without blocking: a FIFO would otherwise wait for a writer.
    const int fd = filename != nullptr ? io::open_file(filename, O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
    if (fd < 0) {
        std::printf("Unable to open file %s in file_access()\n", printable(filename));
        return -1;
    }
    io::close_file(fd);
    return 0;
}

int16_t check_file_extension(const char *filename, const char *extension) {
    const std::string problem = ostrine::extension_problem(filename, extension);
    if (problem.empty()) return 0;
    std::fputs(problem.c_str(), stdout);
    return -1;
}

void error_msg(int i, const char *text) {
    switch (i) {
        case 1: std::printf("\nFile %s does NOT exist\n", printable(text)); break;
        case 2: std::printf("\nFile %s already exists\n", printable(text)); break;
        case 3: std::printf("\nSame file name (%s) has been specified twice\n", printable(text)); break;
        default: break;
    }
}

int16_t check_las(const char *filename) {
    if (file_access(filename) < 0) {
        error_msg(1, filename);
        return -1;
    }
    if (check_file_extension(filename, "las") < 0) return -1;

    // The whole public header is read up front (a directory opens but does
    // not read, and so holds no header).
    unsigned char header[OSTRINE_LAS_HEADER_SIZE];
    long long got = 0;
    std::string problem;
    const int fd = io::open_file(filename, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st {};
        if (fstat(fd, &st) == 0) problem = ostrine::unreadable_kind_problem(filename, st.st_mode);
        if (problem.empty()) got = io::pread_fully(fd, header, sizeof header, 0);
        io::close_file(fd);
    }
    if (problem.empty()) {
        const ostrine::LasCheck check = ostrine::check_las_header(filename, header, got > 0 ? static_cast<size_t>(got) : 0);
        if (check.las_type >= 0) return check.las_type;
        problem = check.message;
    }
    std::fputs(problem.c_str(), stdout);
    return -1;
}

void credits(void) {
    std::printf("\nOstrine LiDAR Utilities");
    std::printf("\n\nDeveloped by the Pelmora project developers");
    std::printf("\nPelmora -- LAS to ESRI shapefile conversion");
    std::printf("\nPelmora Project, 7 Survey Lane, Ostrine");
    std::printf("\n\n** No warranty regarding script behavior is given or implied **");
    std::printf("\n** Acknowledging the author's efforts ensures script updates and availability **\n");
}

}  // extern "C"
