#include "las/header_rules.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "base/text.h"
#include "io/posix_io.h"
#include "las/point_format.h"

namespace las_rules {

namespace {
using ull = unsigned long long;
}  // namespace

std::string unreadable_kind(const std::string &name, mode_t mode) {
    if (S_ISREG(mode) || S_ISDIR(mode)) return "";
    return not_a_regular_file(name, mode);
}

std::string not_a_regular_file(const std::string &name, mode_t mode) {
    if (S_ISREG(mode)) return "";
    return formatted("%s is %s, not a regular file: it cannot be read as a LAS file", name.c_str(),
                     io::kind_of_file(mode));
}

std::string not_las(const std::string &name, const LasHeader &h, size_t got) {
    if (got >= kLasHeader12Bytes && std::memcmp(h.signature, "LASF", 4) == 0) return "";
    return formatted("%s is not a LAS file: it does not begin with a LAS header", name.c_str());
}

std::string ends_inside_header(const std::string &name, const LasHeader &h, size_t got) {
    if (got >= h.version_header_bytes()) return "";
    return formatted("%s ends inside its LAS %u.%u header", name.c_str(), h.version_major, h.version_minor);
}

namespace {

std::string offset_before(const std::string &name, const LasHeader &h, uint64_t header_bytes) {
    if (h.offset_to_data >= header_bytes) return "";
    return formatted("OffsetToData of %s is %u, inside the %llu-byte public header", name.c_str(), h.offset_to_data,
                     static_cast<ull>(header_bytes));
}

}  // namespace

std::string offset_inside_header(const std::string &name, const LasHeader &h) {
    return offset_before(name, h, h.version_header_bytes());
}

std::string offset_inside_declared_header(const std::string &name, const LasHeader &h) {
    return offset_before(name, h, std::max<uint64_t>(h.header_size, h.version_header_bytes()));
}

std::string offset_beyond_end(const std::string &name, const LasHeader &h, uint64_t file_size) {
    if (h.offset_to_data <= file_size) return "";
    return formatted("OffsetToData of %s is %u, beyond the end of the file (%llu bytes)", name.c_str(),
                     h.offset_to_data, static_cast<ull>(file_size));
}

std::string records_missing(const std::string &name, const LasHeader &h, uint64_t points, uint64_t record_length,
                            uint64_t file_size) {
    if (h.offset_to_data > file_size || record_length == 0) return "";
    const uint64_t present = (file_size - h.offset_to_data) / record_length;
    if (present >= points) return "";
    return formatted("%s announces %llu point records but holds only %llu whole records of %llu bytes after byte %u",
                     name.c_str(), static_cast<ull>(points), static_cast<ull>(present),
                     static_cast<ull>(record_length), h.offset_to_data);
}

std::string records_run_into_evlrs(const std::string &name, const LasHeader &h) {
    if (h.version_minor < 4 || h.evlr_count == 0) return "";
    // Computed in 128 bits: a lying count must not wrap around.
    const unsigned __int128 end =
        static_cast<unsigned __int128>(h.point_count()) * h.record_length + h.offset_to_data;
    if (end <= h.evlr_start) return "";
    return formatted("%s announces %llu point records of %u bytes after byte %u, which run past the start of its "
                     "extended variable-length records (byte %llu): the header contradicts itself",
                     name.c_str(), static_cast<ull>(h.point_count()), h.record_length, h.offset_to_data,
                     static_cast<ull>(h.evlr_start));
}

std::vector<std::string> infinite_coordinates(const std::string &name, const LasHeader &h) {
    // Every stored integer must give a finite number, or NaN and infinities
    // would enter the shapefile, whose format allows neither.
    std::vector<std::string> problems;
    for (int axis = 0; axis < 3; ++axis) {
        const double lowest = scaled(INT32_MIN, h.scale[axis], h.offset[axis]);
        const double highest = scaled(INT32_MAX, h.scale[axis], h.offset[axis]);
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
                     name.c_str(), static_cast<ull>(h.point_count_64), h.legacy_point_count);
}

}  // namespace las_rules
