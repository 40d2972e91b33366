// Fuzz target: check_las over arbitrary bytes written as a .las file.
//
// Whatever the bytes, check_las returns -1, 0 or a variant code 1..8 and
// leaves no file open; a code of 1..8 only for a header that names a
// convertible version, format and record length.
#include <cstring>
#include <string>

#include "Ostrine_LiDAR.h"
#include "fuzz_support.h"
#include "output_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string path = fuzz_workdir() + "/input.las";
    static const int descriptors = open_descriptor_count();
    write_input(path, data, size);

    clear_console();
    const int16_t type = check_las(path.c_str());
    const std::string console = take_console();
    // Every refusal but the version/format pairs without a record type says why.
    if (type == -1 && console.empty()) fuzz_finding("check_las refused without a message");
    if (type >= 0 && !console.empty()) fuzz_finding("check_las printed on success", console);
    if (type < -1 || type > 8) fuzz_finding("check_las returned", std::to_string(type));
    if (type >= 1) {
        const uint16_t *kLength = kVariantRecordLength;
        const bool sound = size >= 227 && std::memcmp(data, "LASF", 4) == 0 && data[24] == 1 && data[25] <= 2 &&
                           data[104] <= 3 && (data[105] | data[106] << 8) == kLength[type];
        if (!sound) fuzz_finding("check_las accepted a header it should refuse");
    }
    if (open_descriptor_count() != descriptors) fuzz_finding("check_las left a file descriptor open");
    return 0;
}
