#include "output_checks.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace bytes {

uint16_t le16(const std::string &b, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(b.at(at)) | static_cast<unsigned char>(b.at(at + 1)) << 8);
}
uint32_t le32(const std::string &b, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b.at(at + i));
    return v;
}
uint32_t be32(const std::string &b, size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | static_cast<unsigned char>(b.at(at + i));
    return v;
}
double le_double(const std::string &b, size_t at) {
    const uint64_t bits = static_cast<uint64_t>(le32(b, at + 4)) << 32 | le32(b, at);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}
void put_le(std::string &b, size_t at, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) b.at(at + i) = static_cast<char>(value >> (8 * i));
}

std::string slurp(const std::string &path) {
    std::string text;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        char buffer[65536];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
        std::fclose(f);
    }
    return text;
}

}  // namespace bytes

using namespace bytes;

std::string output_problems(const std::string &base, uint32_t points) {
    const std::string shp = slurp(base + ".shp"), shx = slurp(base + ".shx"), dbf = slurp(base + ".dbf");
    const std::string n = std::to_string(points);
    if (shp.size() != 100 + 36ull * points || shx.size() != 100 + 8ull * points || dbf.size() < 32)
        return "sizes " + std::to_string(shp.size()) + ", " + std::to_string(shx.size()) + ", " +
               std::to_string(dbf.size()) + " for " + n + " points";
    if (be32(shp, 0) != 9994 || be32(shp, 24) != shp.size() / 2 || le32(shp, 32) != 11 || be32(shx, 0) != 9994 ||
        be32(shx, 24) != shx.size() / 2 || shp.compare(28, 72, shx, 28, 72) != 0)
        return "the shapefile headers disagree with the files or each other";
    if (le32(dbf, 4) != points || dbf.size() != le16(dbf, 8) + static_cast<uint64_t>(le16(dbf, 10)) * points)
        return "the .dbf record count or size disagrees with its header";
    const double box[6] = {le_double(shp, 36), le_double(shp, 44), le_double(shp, 68),
                           le_double(shp, 52), le_double(shp, 60), le_double(shp, 76)};
    for (double bound : box)
        if (!std::isfinite(bound)) return "a bound of the header box is not finite";
    for (uint32_t i = 0; i < points; ++i) {
        const size_t r = 100 + 36ull * i;
        const std::string record = std::to_string(i + 1);
        if (be32(shp, r) != i + 1 || be32(shp, r + 4) != 14 || le32(shp, r + 8) != 11 ||
            be32(shx, 100 + 8ull * i) != r / 2 || be32(shx, 104 + 8ull * i) != 14)
            return "record " + record + " misnumbered or misindexed";
        for (int a = 0; a < 3; ++a) {
            const double v = le_double(shp, r + 12 + 8 * a);
            // The shapefile format allows neither NaN nor infinite coordinates.
            if (!std::isfinite(v)) return "a coordinate of record " + record + " is not finite";
            if (!(v >= box[a] && v <= box[a + 3])) return "record " + record + " lies outside the header box";
        }
        if (dbf[le16(dbf, 8) + static_cast<size_t>(le16(dbf, 10)) * i] != ' ')
            return "row " + record + " does not start with its deletion flag";
    }
    return "";
}
