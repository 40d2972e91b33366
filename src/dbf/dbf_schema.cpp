#include "dbf/dbf_schema.h"

#include <cctype>
#include <string>

#include "lidar/las_variants.h"

namespace {

constexpr size_t kStoredNameLength = 10;  // dBASE keeps 10 characters of a name

DbfField value(const char *name, uint8_t width, FieldSource source, uint16_t at, const char *failure = nullptr) {
    DbfField f;
    f.name = name;
    f.width = width;
    f.source = source;
    f.at = at;
    f.failure = failure != nullptr ? failure : "Failed to add field " + f.name + " to %s\n";
    return f;
}

DbfField bits(const char *name, uint8_t width, uint16_t at, uint8_t shift, uint8_t mask, const char *failure = nullptr) {
    DbfField f = value(name, width, FieldSource::Bits, at, failure);
    f.shift = shift;
    f.mask = mask;
    return f;
}

DbfField gps_time(uint8_t width, uint16_t at) {
    DbfField f = value("GPSTime", width, FieldSource::GpsTime, at, "Failed to add field GPSTime to %s\n");
    f.decimals = 8;
    return f;
}

void add_colours(DbfSchema &s, uint16_t at) {
    s.fields.push_back(value("Red", 5, FieldSource::Unsigned16, at, "Failed to add field Red to %s\n"));
    s.fields.push_back(value("Green", 5, FieldSource::Unsigned16, at + 2, "Failed to add field Green to %s\n"));
    s.fields.push_back(value("Blue", 5, FieldSource::Unsigned16, at + 4, "Failed to add field Blue to %s\n"));
}

// The fields of formats 0-5: the return byte's four values, the whole
// class byte (flag bits included), the scan angle rank, the two bytes after
// it under LAS 1.0's or later names, then GPS time and colours.
DbfSchema legacy_schema(bool las10, const PointFormat &format) {
    using namespace point_core;
    DbfSchema s;
    auto &f = s.fields;
    f.push_back(value("Intensity", 5, FieldSource::Unsigned16, kIntensity, "Failed to add field Intensity to %s\n"));
    f.push_back(bits("ReturnNumber", 1, kReturnByte, 0, 7, "Failed to add field ReturnNumber to %s\n"));
    f.push_back(bits("NumberReturns", 1, kReturnByte, 3, 7, "Failed to add field NumberOfReturns to %s\n"));
    f.push_back(bits("ScanDirection", 1, kReturnByte, 6, 1, "Failed to add field ScanDirection to %s\n"));
    f.push_back(bits("EdgeOfFlightLine", 1, kReturnByte, 7, 1, "Failed to add field EdgeOfFlightLine to %s\n"));
    f.push_back(value("Classification", 3, FieldSource::Unsigned8, kClassByte, "Failed to add field Classification to %s\n"));
    f.push_back(value("ScanAngleRank", 3, FieldSource::ScanAngleRank, kScanAngleRank,
                      "Failed to add field ScanAngleRank to %s\n"));
    if (las10) {
        f.push_back(value("FileMarker", 3, FieldSource::Unsigned8, kUserData, "Failed to add field FileMarker to %s\n"));
        f.push_back(value("UserBitField", 5, FieldSource::Unsigned16, kPointSourceId,
                          "Failed to add field UserBitField to %s\n"));
    } else {
        f.push_back(value("UserData", 3, FieldSource::Unsigned8, kUserData, "Failed to add field UserData to %s\n"));
        f.push_back(value("PointSourceID", 5, FieldSource::Unsigned16, kPointSourceId,
                          "Failed to add field PointSourceID to %s\n"));
    }
    if (format.gps_at != 0) f.push_back(gps_time(16, format.gps_at));
    if (format.rgb_at != 0) add_colours(s, format.rgb_at);
    return s;
}

// The fields of formats 6-10, under their stored (10-character) names.
DbfSchema extended_schema(const PointFormat &format) {
    using namespace point_core;
    DbfSchema s;
    auto &f = s.fields;
    f.push_back(value("Intensity", 5, FieldSource::Unsigned16, kIntensity));
    f.push_back(bits("ReturnNumb", 2, kReturnByte, 0, 15));
    f.push_back(bits("NumberRetu", 2, kReturnByte, 4, 15));
    f.push_back(bits("Synthetic", 1, kFlagsByte, 0, 1));
    f.push_back(bits("KeyPoint", 1, kFlagsByte, 1, 1));
    f.push_back(bits("Withheld", 1, kFlagsByte, 2, 1));
    f.push_back(bits("Overlap", 1, kFlagsByte, 3, 1));
    f.push_back(bits("ScannerCha", 1, kFlagsByte, 4, 3));
    f.push_back(bits("ScanDirect", 1, kFlagsByte, 6, 1));
    f.push_back(bits("EdgeOfFlig", 1, kFlagsByte, 7, 1));
    f.push_back(value("Classifica", 3, FieldSource::Unsigned8, kClassification));
    f.push_back(value("UserData", 3, FieldSource::Unsigned8, kUserData6));
    DbfField angle = value("ScanAngle", 8, FieldSource::ScanAngle, kScanAngle6);
    angle.decimals = 3;
    f.push_back(angle);
    f.push_back(value("PointSourc", 5, FieldSource::Unsigned16, kPointSourceId6));
    f.push_back(gps_time(19, format.gps_at));
    if (format.rgb_at != 0) add_colours(s, format.rgb_at);
    if (format.nir_at != 0) f.push_back(value("NIR", 5, FieldSource::Unsigned16, format.nir_at));
    return s;
}

// The name as dBASE stores it, upper-cased: readers compare names so.
std::string stored_key(const std::string &name) {
    std::string key = name.substr(0, kStoredNameLength);
    for (char &c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return key;
}

// A descriptor's name as a field name no other field of `s` has: letters,
// digits and underscores (anything else becomes '_'), cut to 10
// characters; a name already taken ends in _1, _2, ... instead.
std::string unique_name(const DbfSchema &s, const std::string &wanted, size_t index) {
    std::string base;
    for (const char c : wanted)
        base += std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' ? c : '_';
    if (base.empty()) base = "extra_" + std::to_string(index + 1);
    base = base.substr(0, kStoredNameLength);
    auto taken = [&](const std::string &candidate) {
        for (const DbfField &f : s.fields)
            if (stored_key(f.name) == stored_key(candidate)) return true;
        return false;
    };
    if (!taken(base)) return base;
    for (int n = 1;; ++n) {
        const std::string suffix = "_" + std::to_string(n);
        const std::string candidate = base.substr(0, kStoredNameLength - suffix.size()) + suffix;
        if (!taken(candidate)) return candidate;
    }
}

}  // namespace

size_t DbfSchema::row_length() const {
    size_t length = 1;
    for (const DbfField &f : fields) length += f.width;
    return length;
}

size_t DbfSchema::offset_of(size_t index) const {
    size_t at = 1;
    for (size_t i = 0; i < index && i < fields.size(); ++i) at += fields[i].width;
    return at;
}

size_t DbfSchema::find(const std::string &name) const {
    for (size_t i = 0; i < fields.size(); ++i)
        if (fields[i].name == name) return i;
    return fields.size();
}

DbfSchema pelmora_schema(int16_t las_type) {
    const LasVariant &v = kLasVariants[las_type];
    return legacy_schema(v.version_minor == 0, kPointFormats[v.point_format]);
}

DbfSchema convert_schema(const PointFormat &format, uint8_t version_minor, const std::vector<ExtraAttribute> &extras) {
    DbfSchema s;
    if (format.extended) {
        s = extended_schema(format);
    } else {
        // Formats 4 and 5 are 1 and 3 with a wave packet, which is not written.
        const uint8_t as = format.id == 4 ? 1 : format.id == 5 ? 3 : format.id;
        s = legacy_schema(version_minor == 0, kPointFormats[as]);
    }
    s.extras = extras;
    for (size_t i = 0; i < extras.size(); ++i) {
        DbfField f = value("", extras[i].width, FieldSource::Extra, extras[i].at);
        f.name = unique_name(s, extras[i].name, i);
        f.failure = "Failed to add field " + f.name + " to %s\n";
        f.decimals = extras[i].decimals;
        f.extra = static_cast<uint16_t>(i);
        s.fields.push_back(f);
    }
    return s;
}
