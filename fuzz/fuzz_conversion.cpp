// Fuzz target: the whole conversion of arbitrary bytes written as a .las file.
//
// The driver's main is compiled in as pelmora_main.  fail() ends a run by
// calling end_run(), which this harness replaces with one that throws, so a
// failing run unwinds back here and the next input runs in the same process:
// the sanitizers watch every path, and any memory or descriptor a failing
// run leaves behind accumulates and is caught.
//
// Besides the sanitizers' own reports, each input checks what the run
// promises: status 0 only after "Elapsed time" with all three outputs
// complete and agreeing with their headers; a failure always ends with a
// message and never with "Elapsed time"; no descriptor outlives a run.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_support.h"

int pelmora_main(int argc, char **argv);

namespace {

struct RunEnded {
    int status;
};

std::string slurp(const std::string &path) {
    std::string bytes;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        char buffer[65536];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
        std::fclose(f);
    }
    return bytes;
}

uint32_t le32(const std::string &b, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
    return v;
}
uint32_t be32(const std::string &b, size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
    return v;
}
uint16_t le16(const std::string &b, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8);
}
double le_double(const std::string &b, size_t at) {
    uint64_t bits = static_cast<uint64_t>(le32(b, at + 4)) << 32 | le32(b, at);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// The three outputs of a successful run of `points` points.
void check_outputs(const std::string &base, uint32_t points) {
    const std::string shp = slurp(base + ".shp"), shx = slurp(base + ".shx"), dbf = slurp(base + ".dbf");
    const std::string n = std::to_string(points);
    if (shp.size() != 100 + 36ull * points) fuzz_finding(".shp size does not match the point count", n);
    if (shx.size() != 100 + 8ull * points) fuzz_finding(".shx size does not match the point count", n);
    if (be32(shp, 0) != 9994 || be32(shp, 24) != shp.size() / 2 || le32(shp, 32) != 11)
        fuzz_finding(".shp header disagrees with the file");
    if (be32(shx, 0) != 9994 || be32(shx, 24) != shx.size() / 2 || shp.compare(28, 72, shx, 28, 72) != 0)
        fuzz_finding(".shx header disagrees with the file or the .shp header");
    if (dbf.size() < 32) fuzz_finding(".dbf has no header");
    if (le32(dbf, 4) != points) fuzz_finding(".dbf record count is not the point count");
    if (dbf.size() != le16(dbf, 8) + static_cast<uint64_t>(le16(dbf, 10)) * points)
        fuzz_finding(".dbf size disagrees with its header");

    const double xmin = le_double(shp, 36), ymin = le_double(shp, 44), xmax = le_double(shp, 52),
                 ymax = le_double(shp, 60), zmin = le_double(shp, 68), zmax = le_double(shp, 76);
    for (uint32_t i = 0; i < points; ++i) {
        const size_t r = 100 + 36ull * i;
        if (be32(shp, r) != i + 1 || be32(shp, r + 4) != 14 || le32(shp, r + 8) != 11)
            fuzz_finding(".shp record header wrong at record", std::to_string(i + 1));
        if (be32(shx, 100 + 8ull * i) != r / 2 || be32(shx, 104 + 8ull * i) != 14)
            fuzz_finding(".shx entry wrong at record", std::to_string(i + 1));
        const double x = le_double(shp, r + 12), y = le_double(shp, r + 20), z = le_double(shp, r + 28);
        // The shapefile format allows neither NaN nor infinite coordinates.
        if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z))
            fuzz_finding("a coordinate is not finite at record", std::to_string(i + 1));
        if (!(x >= xmin && x <= xmax && y >= ymin && y <= ymax && z >= zmin && z <= zmax))
            fuzz_finding("a point lies outside the header box", std::to_string(i + 1));
        if (dbf[le16(dbf, 8) + static_cast<size_t>(le16(dbf, 10)) * i] != ' ')
            fuzz_finding(".dbf row does not start with its deletion flag", std::to_string(i + 1));
    }
}

}  // namespace

// Replaces the default, which ends the process.
void end_run(int status) { throw RunEnded{status}; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string base = fuzz_workdir() + "/in";
    const std::string las = base + ".las";
    write_input(las, data, size);
    const int descriptors = open_descriptor_count();

    char program[] = "Pelmora";
    std::string argument = las;
    char *argv[] = {program, argument.data(), nullptr};
    clear_console();
    int status = 0;
    try {
        status = pelmora_main(2, argv);
    } catch (const RunEnded &ended) {
        status = ended.status;
    }
    const std::string console = take_console();

    if (open_descriptor_count() != descriptors) fuzz_finding("a run left a file descriptor open");
    const bool elapsed = console.find("Elapsed time ") != std::string::npos;
    if (status == 0) {
        if (!elapsed) fuzz_finding("status 0 without the elapsed time");
        if (size < 227) fuzz_finding("status 0 for a file shorter than the public header");
        check_outputs(base, le32(std::string(reinterpret_cast<const char *>(data), 227), 107));
    } else {
        if (status != -1) fuzz_finding("a failure with a status other than -1", std::to_string(status));
        if (elapsed) fuzz_finding("a failed run printed the elapsed time");
        const size_t last = console.find_last_not_of('\n');
        if (last == std::string::npos) fuzz_finding("a failed run printed no message");
    }
    for (const char *extension : {".shp", ".shx", ".dbf", ".prj"}) std::remove((base + extension).c_str());
    return 0;
}
