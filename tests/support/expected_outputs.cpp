#include "expected_outputs.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

template <class T>
T get(const std::string &b, size_t at) {
    T v;
    std::memcpy(&v, b.data() + at, sizeof v);  // the tests run on little-endian hosts
    return v;
}

void be32(std::string &out, int32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<char>((static_cast<uint32_t>(v) >> s) & 0xFF));
}
template <class T>
void le(std::string &out, T v) {
    char bytes[sizeof v];
    std::memcpy(bytes, &v, sizeof v);
    out.append(bytes, sizeof v);
}

std::string shape_header(int32_t words, const double box[6]) {
    std::string h;
    be32(h, 9994);
    h.append(20, '\0');
    be32(h, words);
    le<int32_t>(h, 1000);
    le<int32_t>(h, 11);
    for (int i = 0; i < 6; ++i) le<double>(h, box[i]);
    h.append(16, '\0');
    return h;
}

struct Field {
    const char *name;
    int width, decimals;
};

}  // namespace

std::string expected_gps_text(double gps_time) {
    char text[400];
    for (int decimals = 8; decimals >= 0; --decimals) {
        const int n = std::snprintf(text, sizeof text, "%16.*f", decimals, gps_time);
        if (n == 16) return text;
    }
    return std::string(16, '*');
}

ExpectedOutputs expected_outputs(const std::string &las, const std::string &dbf_date) {
    const int minor = static_cast<uint8_t>(las[25]);
    const int format = static_cast<uint8_t>(las[104]);
    const uint32_t offset = get<uint32_t>(las, 96);
    const uint32_t count = get<uint32_t>(las, 107);
    const size_t length = format == 0 ? 20 : format == 1 ? 28 : format == 2 ? 26 : 34;
    double scale[3], shift[3];
    for (int a = 0; a < 3; ++a) {
        scale[a] = get<double>(las, 131 + 8 * a);
        shift[a] = get<double>(las, 155 + 8 * a);
    }
    // LAS: MaxX MinX MaxY MinY MaxZ MinZ; shapefile: Xmin Ymin Xmax Ymax Zmin Zmax.
    double box[6] = {get<double>(las, 187), get<double>(las, 203), get<double>(las, 179),
                     get<double>(las, 195), get<double>(las, 219), get<double>(las, 211)};

    std::vector<double> xyz(3 * static_cast<size_t>(count));
    double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    for (uint32_t i = 0; i < count; ++i) {
        for (int a = 0; a < 3; ++a) {
            const double v = static_cast<double>(get<int32_t>(las, offset + i * length + 4 * a)) * scale[a] + shift[a];
            xyz[3 * i + a] = v;
            lo[a] = std::min(lo[a], v);
            hi[a] = std::max(hi[a], v);
        }
    }
    // Points outside the LAS header's box, or a box that is not finite: the
    // shapefile box becomes the points' extent (zeros without points).
    const bool finite = std::all_of(box, box + 6, [](double b) { return std::isfinite(b); });
    const bool inside = count == 0 || (lo[0] >= box[0] && hi[0] <= box[2] && lo[1] >= box[1] && hi[1] <= box[3] &&
                                       lo[2] >= box[4] && hi[2] <= box[5]);
    if (!inside || !finite) {
        const double extent[6] = {lo[0], lo[1], hi[0], hi[1], lo[2], hi[2]};
        for (int i = 0; i < 6; ++i) box[i] = count == 0 ? 0.0 : extent[i];
    }

    ExpectedOutputs out;
    out.shp = shape_header(static_cast<int32_t>(50 + 18 * count), box);
    out.shx = shape_header(static_cast<int32_t>(50 + 4 * count), box);
    for (uint32_t i = 0; i < count; ++i) {
        be32(out.shp, static_cast<int32_t>(i + 1));
        be32(out.shp, 14);
        le<int32_t>(out.shp, 11);
        for (int a = 0; a < 3; ++a) le<double>(out.shp, xyz[3 * i + a]);
        be32(out.shx, static_cast<int32_t>(50 + 18 * i));
        be32(out.shx, 14);
    }

    std::vector<Field> fields = {{"Intensity", 5, 0},  {"ReturnNumb", 1, 0}, {"NumberRetu", 1, 0},
                                 {"ScanDirect", 1, 0}, {"EdgeOfFlig", 1, 0}, {"Classifica", 3, 0},
                                 {"ScanAngleR", 3, 0}};
    if (minor == 0) fields.insert(fields.end(), {{"FileMarker", 3, 0}, {"UserBitFie", 5, 0}});
    else fields.insert(fields.end(), {{"UserData", 3, 0}, {"PointSourc", 5, 0}});
    if (format == 1 || format == 3) fields.push_back({"GPSTime", 16, 8});
    if (format >= 2) fields.insert(fields.end(), {{"Red", 5, 0}, {"Green", 5, 0}, {"Blue", 5, 0}});
    int row_length = 1;
    for (const Field &f : fields) row_length += f.width;

    std::string &dbf = out.dbf;
    dbf.push_back('\x03');
    dbf += dbf_date;
    le<uint32_t>(dbf, count);
    le<uint16_t>(dbf, static_cast<uint16_t>(32 + 32 * fields.size() + 1));
    le<uint16_t>(dbf, static_cast<uint16_t>(row_length));
    dbf.append(17, '\0');
    dbf.push_back('\x57');
    dbf.append(2, '\0');
    for (const Field &f : fields) {
        std::string name(f.name);
        name.resize(11, '\0');
        dbf += name;
        dbf.push_back('N');
        dbf.append(4, '\0');
        dbf.push_back(static_cast<char>(f.width));
        dbf.push_back(static_cast<char>(f.decimals));
        dbf.append(14, '\0');
    }
    dbf.push_back('\x0D');

    const size_t rgb_at = format == 2 ? 20 : 28;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t r = offset + i * length;
        const int bits = static_cast<int8_t>(las[r + 14]);  // widened with its sign, as the LAS tools do
        const int scan = static_cast<int8_t>(las[r + 16]);
        char row[128];
        int n = std::snprintf(row, sizeof row, " %5d%1d%1d%1d%1d%3d", get<uint16_t>(las, r + 12), bits & 7,
                              (bits & 0x38) >> 3, (bits & 0x40) >> 6, bits < 0 ? 1 : 0,
                              static_cast<uint8_t>(las[r + 15]));
        if (scan <= -100) n += std::snprintf(row + n, sizeof row - n, "***");
        else n += std::snprintf(row + n, sizeof row - n, "%3d", scan);
        n += std::snprintf(row + n, sizeof row - n, "%3d%5d", static_cast<uint8_t>(las[r + 17]),
                           get<uint16_t>(las, r + 18));
        std::string text(row, static_cast<size_t>(n));
        if (format == 1 || format == 3) text += expected_gps_text(get<double>(las, r + 20));
        if (format >= 2) {
            std::snprintf(row, sizeof row, "%5d%5d%5d", get<uint16_t>(las, r + rgb_at), get<uint16_t>(las, r + rgb_at + 2),
                          get<uint16_t>(las, r + rgb_at + 4));
            text += row;
        }
        dbf += text;
    }
    return out;
}
