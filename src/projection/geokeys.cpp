#include "projection/geokeys.h"

#include <cmath>
#include <cstring>

#include "io/byte_order.h"

namespace {

constexpr uint16_t kInline = 0, kDirectoryTag = 34735, kDoublesTag = 34736, kAsciiTag = 34737;

uint16_t get16(const std::string &bytes, size_t at) {
    return load_le16(reinterpret_cast<const unsigned char *>(bytes.data()) + at);
}

}  // namespace

std::string geokey_name(uint16_t key) {
    static const std::map<uint16_t, const char *> kNames = {
        {1024, "GTModelTypeGeoKey"},         {1026, "GTCitationGeoKey"},
        {2048, "GeographicTypeGeoKey"},      {2049, "GeogCitationGeoKey"},
        {2050, "GeogGeodeticDatumGeoKey"},   {2051, "GeogPrimeMeridianGeoKey"},
        {2052, "GeogLinearUnitsGeoKey"},     {2053, "GeogLinearUnitSizeGeoKey"},
        {2054, "GeogAngularUnitsGeoKey"},    {2055, "GeogAngularUnitSizeGeoKey"},
        {2056, "GeogEllipsoidGeoKey"},       {2057, "GeogSemiMajorAxisGeoKey"},
        {2058, "GeogSemiMinorAxisGeoKey"},   {2059, "GeogInvFlatteningGeoKey"},
        {2061, "GeogPrimeMeridianLongGeoKey"}, {3072, "ProjectedCSTypeGeoKey"},
        {3073, "PCSCitationGeoKey"},         {3074, "ProjectionGeoKey"},
        {3075, "ProjCoordTransGeoKey"},      {3076, "ProjLinearUnitsGeoKey"},
        {3077, "ProjLinearUnitSizeGeoKey"},  {3078, "ProjStdParallel1GeoKey"},
        {3079, "ProjStdParallel2GeoKey"},    {3080, "ProjNatOriginLongGeoKey"},
        {3081, "ProjNatOriginLatGeoKey"},    {3082, "ProjFalseEastingGeoKey"},
        {3083, "ProjFalseNorthingGeoKey"},   {3084, "ProjFalseOriginLongGeoKey"},
        {3085, "ProjFalseOriginLatGeoKey"},  {3086, "ProjFalseOriginEastingGeoKey"},
        {3087, "ProjFalseOriginNorthingGeoKey"}, {3088, "ProjCenterLongGeoKey"},
        {3089, "ProjCenterLatGeoKey"},       {3092, "ProjScaleAtNatOriginGeoKey"},
        {4096, "VerticalCSTypeGeoKey"}};
    const auto found = kNames.find(key);
    if (found == kNames.end()) return "GeoKey " + std::to_string(key);
    return std::string(found->second) + " (" + std::to_string(key) + ")";
}

GeoKeys::GeoKeys(const std::string &directory, const std::string &doubles, const std::string &ascii)
    : ascii_(ascii) {
    if (directory.size() < 8)
        throw MalformedDirectory("the GeoKeyDirectory record is malformed (" + std::to_string(directory.size()) +
                         " bytes, too short for its header)");
    const uint16_t version = get16(directory, 0);
    if (version != 1)
        throw MalformedDirectory("the GeoKeyDirectory record is malformed (KeyDirectoryVersion " + std::to_string(version) +
                         ", not 1)");
    const size_t announced = get16(directory, 6);
    const size_t room = (directory.size() - 8) / 8;
    if (announced > room)
        throw MalformedDirectory("the GeoKeyDirectory record is malformed (" + std::to_string(announced) +
                         " keys announced, room for " + std::to_string(room) + ")");

    directory_shorts_.resize(directory.size() / 2);
    for (size_t i = 0; i < directory_shorts_.size(); ++i) directory_shorts_[i] = get16(directory, 2 * i);
    for (size_t k = 0; k < announced; ++k) {
        const size_t at = 8 + 8 * k;
        const Entry entry{get16(directory, at + 2), get16(directory, at + 4), get16(directory, at + 6)};
        entries_.emplace(get16(directory, at), entry);  // a repeated key keeps its first entry
    }

    doubles_.resize(doubles.size() / 8);
    for (size_t i = 0; i < doubles_.size(); ++i)
        doubles_[i] = load_le_double(reinterpret_cast<const unsigned char *>(doubles.data()) + 8 * i);
}

std::optional<uint16_t> GeoKeys::get_short(uint16_t key) const {
    const auto found = entries_.find(key);
    if (found == entries_.end()) return std::nullopt;
    const Entry &e = found->second;
    if (e.location == kInline) return e.value;
    if (e.location == kDirectoryTag && e.count >= 1 && e.value < directory_shorts_.size())
        return directory_shorts_[e.value];
    throw CrsProblem(geokey_name(key) + " does not hold a valid SHORT value");
}

std::optional<double> GeoKeys::get_double(uint16_t key) const {
    const auto found = entries_.find(key);
    if (found == entries_.end()) return std::nullopt;
    const Entry &e = found->second;
    if (e.location == kDoublesTag && e.count >= 1 && static_cast<size_t>(e.value) + e.count <= doubles_.size()) {
        // A NaN or infinite parameter describes no coordinate system.
        if (!std::isfinite(doubles_[e.value])) throw CrsProblem(geokey_name(key) + " is not a finite number");
        return doubles_[e.value];
    }
    if (e.location == kDoublesTag)
        throw CrsProblem(geokey_name(key) + " points outside the GeoDoubleParams record");
    throw CrsProblem(geokey_name(key) + " does not hold a DOUBLE value");
}

std::optional<std::string> GeoKeys::get_ascii(uint16_t key) const {
    const auto found = entries_.find(key);
    if (found == entries_.end()) return std::nullopt;
    const Entry &e = found->second;
    if (e.location != kAsciiTag) throw CrsProblem(geokey_name(key) + " does not hold ASCII text");
    if (static_cast<size_t>(e.value) + e.count > ascii_.size())
        throw CrsProblem(geokey_name(key) + " points outside the GeoAsciiParams record");
    std::string text = ascii_.substr(e.value, e.count);
    while (!text.empty() && (text.back() == '|' || text.back() == '\0')) text.pop_back();
    const size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    return text;
}

double GeoKeys::first_double(std::initializer_list<uint16_t> keys, double fallback) const {
    for (const uint16_t key : keys)
        if (has(key)) return *get_double(key);
    return fallback;
}
