// GeoTIFF keys as a LAS file stores them: the GeoKeyDirectory record (34735)
// and its parameter records, doubles (34736) and ASCII text (34737).
//
// Values are checked when they are asked for, so a broken entry only matters
// if the coordinate system depends on it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "projection/crs_problem.h"

// A GeoKeyDirectory record whose own structure is broken: as unreadable as
// a record that does not fit.
struct MalformedDirectory : CrsProblem {
    using CrsProblem::CrsProblem;
};

// The keys this program reads, by their GeoTIFF numbers.
namespace geokey {
constexpr uint16_t kModelType = 1024, kCitation = 1026;
constexpr uint16_t kGeographicType = 2048, kGeogCitation = 2049, kGeodeticDatum = 2050, kPrimeMeridian = 2051,
                   kGeogLinearUnits = 2052, kGeogLinearUnitSize = 2053, kGeogAngularUnits = 2054,
                   kGeogAngularUnitSize = 2055, kEllipsoid = 2056, kSemiMajorAxis = 2057, kSemiMinorAxis = 2058,
                   kInvFlattening = 2059, kPrimeMeridianLong = 2061;
constexpr uint16_t kProjectedCSType = 3072, kPCSCitation = 3073, kProjection = 3074, kProjCoordTrans = 3075,
                   kProjLinearUnits = 3076, kProjLinearUnitSize = 3077, kStdParallel1 = 3078, kStdParallel2 = 3079,
                   kNatOriginLong = 3080, kNatOriginLat = 3081, kFalseEasting = 3082, kFalseNorthing = 3083,
                   kFalseOriginLong = 3084, kFalseOriginLat = 3085, kFalseOriginEasting = 3086,
                   kFalseOriginNorthing = 3087, kCenterLong = 3088, kCenterLat = 3089, kScaleAtNatOrigin = 3092;
constexpr uint16_t kUserDefined = 32767;
}  // namespace geokey

// "ProjFalseEastingGeoKey (3082)", or "GeoKey 5000" for keys without a name here.
std::string geokey_name(uint16_t key);

class GeoKeys {
public:
    // Parses the directory record with its parameter records (either may be
    // empty).  Throws MalformedDirectory if the directory itself is broken:
    // too short, a version other than 1, or more keys announced than it holds.
    GeoKeys(const std::string &directory, const std::string &doubles, const std::string &ascii);

    bool empty() const { return entries_.empty(); }
    bool has(uint16_t key) const { return entries_.count(key) != 0; }

    // A key's value, or nothing if the key is absent.  Throws CrsProblem if
    // the key is present but its value is of another kind or lies outside
    // its parameter record.
    std::optional<uint16_t> get_short(uint16_t key) const;
    std::optional<double> get_double(uint16_t key) const;
    // ASCII values lose the '|' (and NULs) that end them.
    std::optional<std::string> get_ascii(uint16_t key) const;

    // The first of `keys` that is present, as a double; `fallback` if none is.
    double first_double(std::initializer_list<uint16_t> keys, double fallback) const;

private:
    struct Entry {
        uint16_t location, count, value;
    };
    std::map<uint16_t, Entry> entries_;
    std::vector<uint16_t> directory_shorts_;
    std::vector<double> doubles_;
    std::string ascii_;
};
