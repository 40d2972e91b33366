#include "las/header_rules.h"

#include <cmath>
#include <cstdint>

#include "las/point_format.h"
#include "lidar/las_check.h"

using ostrine::formatted;

namespace las_rules {

std::string offset_inside_header(const std::string &name, const LasHeader &h, uint64_t header_bytes) {
    if (h.offset_to_data >= header_bytes) return "";
    return formatted("OffsetToData of %s is %u, inside the %llu-byte public header", name.c_str(), h.offset_to_data,
                     static_cast<unsigned long long>(header_bytes));
}

std::string offset_beyond_end(const std::string &name, const LasHeader &h, uint64_t file_size) {
    if (h.offset_to_data <= file_size) return "";
    return formatted("OffsetToData of %s is %u, beyond the end of the file (%llu bytes)", name.c_str(),
                     h.offset_to_data, static_cast<unsigned long long>(file_size));
}

std::string too_many_points(const std::string &name, uint64_t points) {
    if (points <= kMaxShapefilePoints) return "";
    return formatted("%s holds %llu point records; a shapefile can hold at most %llu PointZ records", name.c_str(),
                     static_cast<unsigned long long>(points), static_cast<unsigned long long>(kMaxShapefilePoints));
}

std::string records_missing(const std::string &name, const LasHeader &h, uint64_t points, uint64_t record_length,
                            uint64_t file_size) {
    if (h.offset_to_data > file_size || record_length == 0) return "";
    const uint64_t present = (file_size - h.offset_to_data) / record_length;
    if (present >= points) return "";
    return formatted("%s announces %llu point records but holds only %llu whole records of %llu bytes after byte %u",
                     name.c_str(), static_cast<unsigned long long>(points), static_cast<unsigned long long>(present),
                     static_cast<unsigned long long>(record_length), h.offset_to_data);
}

std::vector<std::string> infinite_coordinates(const std::string &name, const LasHeader &h) {
    // Coordinates are stored x scale + offset: every stored integer must give
    // a finite number, or NaN and infinities would enter the shapefile,
    // whose format allows neither.
    std::vector<std::string> problems;
    for (int axis = 0; axis < 3; ++axis) {
        const double lowest = static_cast<double>(INT32_MIN) * h.scale[axis] + h.offset[axis];
        const double highest = static_cast<double>(INT32_MAX) * h.scale[axis] + h.offset[axis];
        if (!std::isfinite(lowest) || !std::isfinite(highest))
            problems.push_back(formatted("The %c scale factor and offset of %s (%g and %g) do not give finite coordinates",
                                         "XYZ"[axis], name.c_str(), h.scale[axis], h.offset[axis]));
    }
    return problems;
}

std::string unsupported_version(const std::string &name, const LasHeader &h) {
    if (h.version_major == 1 && h.version_minor <= 4) return "";
    return formatted("%s is LAS %u.%u: only LAS 1.0 to 1.4 are read", name.c_str(), h.version_major, h.version_minor);
}

std::string unknown_point_format(const std::string &name, const LasHeader &h) {
    if (h.point_format() <= kMaxPointFormat) return "";
    return formatted("%s has point format %u: LAS defines formats 0 to 10", name.c_str(), h.point_format());
}

std::string record_too_short(const std::string &name, const LasHeader &h) {
    if (h.point_format() > kMaxPointFormat) return "";
    const uint16_t standard = kPointFormats[h.point_format()].length;
    if (h.record_length >= standard) return "";
    return formatted("%s has point records of %u bytes, shorter than the %u bytes of point format %u", name.c_str(),
                     h.record_length, standard, h.point_format());
}

std::string header_size_too_small(const std::string &name, const LasHeader &h) {
    if (h.header_size >= h.version_header_bytes()) return "";
    return formatted("%s has a HeaderSize of %u, smaller than the %zu bytes of a LAS %u.%u header", name.c_str(),
                     h.header_size, h.version_header_bytes(), h.version_major, h.version_minor);
}

std::string legacy_count_contradicts(const std::string &name, const LasHeader &h) {
    if (h.version_minor < 4 || h.legacy_point_count == 0 || h.legacy_point_count == h.point_count_64) return "";
    return formatted("%s announces %llu point records in its LAS 1.4 count but %u in its legacy count: the header "
                     "contradicts itself",
                     name.c_str(), static_cast<unsigned long long>(h.point_count_64), h.legacy_point_count);
}

}  // namespace las_rules
