// File-name checks, the LAS header check and the credits banner.
//
// Validators report by return value after printing their own message; the
// caller decides whether to stop.  Everything goes to standard output.

#include "Ostrine_LiDAR.h"

#include <cstdio>
#include <cstring>

namespace {

// Version and format bytes are shown as the character '0' + value (mod 256),
// which is the digit itself for 0..9.
char digit_char(uint8_t value) { return static_cast<char>(static_cast<uint8_t>('0' + value)); }

uint16_t load_le16(const unsigned char *b) { return static_cast<uint16_t>(b[0] | (b[1] << 8)); }

// Record length each (minor version, point format) pair requires; 0 where the
// version has no record type for that format.
int16_t las_type_for(uint8_t minor, uint8_t format, uint16_t *required_length) {
    static const uint16_t kLength[4] = {20, 28, 26, 34};
    *required_length = kLength[format];
    if (minor < 2 && format >= 2) return 0;
    return static_cast<int16_t>(minor == 2 ? 5 + format : 1 + 2 * minor + format);
}

}  // namespace

extern "C" {

int16_t file_access(const char *filename) {
    FILE *f = std::fopen(filename, "r");
    if (f == nullptr) {
        std::printf("Unable to open file %s in file_access()\n", filename);
        return -1;
    }
    std::fclose(f);
    return 0;
}

int16_t check_file_extension(const char *filename, const char *extension) {
    const size_t length = std::strlen(filename);
    if (length <= 4) {
        std::printf("\nFile name (%s) is too short\n", filename);
        return -1;
    }
    if (filename[length - 4] != '.') {
        std::printf("\nExtension of file %s should be preceeded by a dot (.)\n", filename);
        return -1;
    }
    char ActualExt[5];
    std::memcpy(ActualExt, filename + length - 3, 3);
    ActualExt[3] = '\0';
    if (std::strcmp(ActualExt, extension) == 0) return 0;
    std::printf("\nFile extension of %s is not .%s\n", filename, extension);
    return -1;
}

void error_msg(int i, const char *text) {
    switch (i) {
        case 1: std::printf("\nFile %s does NOT exist\n", text); break;
        case 2: std::printf("\nFile %s already exists\n", text); break;
        case 3: std::printf("\nSame file name (%s) has been specified twice\n", text); break;
        default: break;
    }
}

int16_t check_las(const char *filename) {
    if (file_access(filename) < 0) {
        error_msg(1, filename);
        return -1;
    }
    if (check_file_extension(filename, "las") < 0) return -1;

    // The whole public header is read up front: a file that ends inside it
    // (or a directory, which opens but does not read) is not a LAS file,
    // whatever its first bytes hold.
    unsigned char header[OSTRINE_LAS_HEADER_SIZE];
    size_t got = 0;
    if (FILE *f = std::fopen(filename, "rb")) {
        got = std::fread(header, 1, sizeof header, f);
        std::fclose(f);
    }
    if (got < sizeof header || std::memcmp(header, "LASF", 4) != 0) {
        std::printf("\n%s is not a valid .las file\n\n", filename);
        return -1;
    }

    const uint8_t VersionMajor = header[24];
    if (VersionMajor != 1) {
        std::printf("\nCannot handle las files of version %c.x\n", digit_char(VersionMajor));
        return -1;
    }
    const uint8_t VersionMinor = header[25];
    if (VersionMinor > 2) {
        std::printf("\nCannot handle las files of version %c.%c\n", digit_char(VersionMajor),
                    digit_char(VersionMinor));
        return -1;
    }
    const uint8_t PointDataFormatID = header[104];
    if (PointDataFormatID > 3) {
        std::printf("\nPointDataFormatID in %s is %c. Only 0, 1, 2, or 3 is accepted\n", filename,
                    digit_char(PointDataFormatID));
        return -1;
    }
    const uint16_t PointDataRecordLength = load_le16(header + 105);

    uint16_t required = 0;
    const int16_t type = las_type_for(VersionMinor, PointDataFormatID, &required);
    if (type == 0) return 0;
    if (PointDataRecordLength != required) {
        std::printf("\nData format of %s (%c) is incompatible with Length of Data Record (%d)\n", filename,
                    digit_char(PointDataFormatID), static_cast<int>(PointDataRecordLength));
        return -1;
    }
    return type;
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
