#include "dbf/dbf_schema.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <string>

namespace {

constexpr size_t kStoredNameLength = 10;  // dBASE keeps 10 characters of a name

DbfField value(const char *name, uint8_t width, FieldSource source, uint16_t at, const char *failure = nullptr) {
    DbfField f;
    f.name = name;
    f.width = width;
    f.source = source;
    f.bits = {at, 0, 0};
    f.failure = failure != nullptr ? failure : "Failed to add field " + f.name + " to %s";
    return f;
}

DbfField bits(const char *name, uint8_t width, RecordBits where, const char *failure = nullptr) {
    DbfField f = value(name, width, FieldSource::Bits, where.at, failure);
    f.bits = where;
    return f;
}

DbfField gps_time(uint8_t width, uint16_t at) {
    DbfField f = value("GPSTime", width, FieldSource::GpsTime, at, "Failed to add field GPSTime to %s");
    f.decimals = 8;
    return f;
}

void add_colours(DbfSchema &s, uint16_t at) {
    s.fields.push_back(value("Red", 5, FieldSource::Unsigned16, at, "Failed to add field Red to %s"));
    s.fields.push_back(value("Green", 5, FieldSource::Unsigned16, at + 2, "Failed to add field Green to %s"));
    s.fields.push_back(value("Blue", 5, FieldSource::Unsigned16, at + 4, "Failed to add field Blue to %s"));
}

// The fields of formats 0-5: the return byte's four values, the whole
// class byte (flag bits included), the scan angle rank, the two bytes after
// it under LAS 1.0's or later names, then GPS time and colours.
DbfSchema legacy_schema(bool las10, const PointFormat &format) {
    using namespace point_core;
    DbfSchema s;
    auto &f = s.fields;
    f.push_back(value("Intensity", 5, FieldSource::Unsigned16, kIntensity, "Failed to add field Intensity to %s"));
    const CoreBits &b = kLegacyBits;
    f.push_back(bits("ReturnNumber", 1, b.return_number, "Failed to add field ReturnNumber to %s"));
    f.push_back(bits("NumberReturns", 1, b.returns, "Failed to add field NumberOfReturns to %s"));
    f.push_back(bits("ScanDirection", 1, b.scan_direction, "Failed to add field ScanDirection to %s"));
    f.push_back(bits("EdgeOfFlightLine", 1, b.edge, "Failed to add field EdgeOfFlightLine to %s"));
    f.push_back(value("Classification", 3, FieldSource::Unsigned8, kClassByte, "Failed to add field Classification to %s"));
    f.push_back(value("ScanAngleRank", 3, FieldSource::ScanAngleRank, kScanAngleRank,
                      "Failed to add field ScanAngleRank to %s"));
    if (las10) {
        f.push_back(value("FileMarker", 3, FieldSource::Unsigned8, kUserData, "Failed to add field FileMarker to %s"));
        f.push_back(value("UserBitField", 5, FieldSource::Unsigned16, kPointSourceId,
                          "Failed to add field UserBitField to %s"));
    } else {
        f.push_back(value("UserData", 3, FieldSource::Unsigned8, kUserData, "Failed to add field UserData to %s"));
        f.push_back(value("PointSourceID", 5, FieldSource::Unsigned16, kPointSourceId,
                          "Failed to add field PointSourceID to %s"));
    }
    if (format.gps_at != 0) f.push_back(gps_time(16, format.gps_at));
    if (format.rgb_at != 0) add_colours(s, format.rgb_at);
    return s;
}

// pelmora-convert's fields of formats 0-5 in LAS 1.1 and later: the class
// (the low five bits of its byte) as readers filter it, and its three flags
// as fields of their own, in the order formats 6-10 have them.  (LAS 1.0
// has no flags: there the byte is the class.)
DbfSchema split_class_schema(const PointFormat &format) {
    DbfSchema s = legacy_schema(false, format);
    const CoreBits &b = kLegacyBits;
    auto &f = s.fields;
    const auto at = [&](const char *name) { return f.begin() + static_cast<long>(s.find(name)); };
    f.insert(at("ScanDirection"), {bits("Synthetic", 1, b.synthetic), bits("KeyPoint", 1, b.key_point),
                                   bits("Withheld", 1, b.withheld)});
    DbfField &klass = *at("Classification");
    klass.source = FieldSource::Bits;
    klass.bits = b.klass;
    return s;
}

// The fields of formats 6-10, under their stored (10-character) names.
DbfSchema extended_schema(const PointFormat &format) {
    using namespace point_core;
    DbfSchema s;
    auto &f = s.fields;
    f.push_back(value("Intensity", 5, FieldSource::Unsigned16, kIntensity));
    const CoreBits &b = kExtendedBits;
    f.push_back(bits("ReturnNumb", 2, b.return_number));
    f.push_back(bits("NumberRetu", 2, b.returns));
    f.push_back(bits("Synthetic", 1, b.synthetic));
    f.push_back(bits("KeyPoint", 1, b.key_point));
    f.push_back(bits("Withheld", 1, b.withheld));
    f.push_back(bits("Overlap", 1, b.overlap));
    f.push_back(bits("ScannerCha", 1, b.scanner_channel));
    f.push_back(bits("ScanDirect", 1, b.scan_direction));
    f.push_back(bits("EdgeOfFlig", 1, b.edge));
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

// Characters of `value` in fixed notation with `decimals` decimals.
int text_length(double value, int decimals) {
    char text[400];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    if (result.ec != std::errc()) return kWidestField + 1;
    return static_cast<int>(result.ptr - text);
}

// The field of an extra-bytes attribute: integers whose every value fits;
// scaled values with the decimals scale and offset need and the width of
// the type's range after them; floating-point values with 6 (f32) or 10
// (f64) decimals in a field of 20 or 24 characters, since no fixed-width
// text holds their whole range.
DbfField extra_field(const ExtraAttribute &a) {
    DbfField f = value("", 0, FieldSource::Extra, a.at);
    const ExtraType &type = a.type();
    if (type.floating && !a.scaled && !a.offset_applies) {
        f.width = type.size == 4 ? 20 : 24;
        f.decimals = type.size == 4 ? 6 : 10;
        return f;
    }
    int decimals = 0;
    if (a.scaled) decimals = decimals_needed(a.scale);
    if (a.offset_applies) decimals = std::max(decimals, decimals_needed(a.offset));
    f.rounded = decimals > kMostDecimals;
    decimals = std::min(decimals, kMostDecimals);
    if (type.floating) decimals = std::max(decimals, type.size == 4 ? 6 : 10);
    const double s = a.scaled ? a.scale : 1.0, o = a.offset_applies ? a.offset : 0.0;
    const int width = std::max(text_length(type.lowest * s + o, decimals), text_length(type.highest * s + o, decimals));
    f.decimals = static_cast<uint8_t>(decimals);
    f.width = static_cast<uint8_t>(std::min(width, kWidestField));
    return f;
}

}  // namespace

size_t DbfSchema::row_length() const {
    size_t length = 1;
    for (const DbfField &f : fields) length += f.width;
    return length;
}

size_t DbfSchema::find(const std::string &name) const {
    for (size_t i = 0; i < fields.size(); ++i)
        if (fields[i].name == name) return i;
    return fields.size();
}

DbfSchema pelmora_schema(uint8_t version_minor, uint8_t point_format) {
    return legacy_schema(version_minor == 0, kPointFormats[point_format]);
}

DbfSchema convert_schema(const PointFormat &format, uint8_t version_minor, const std::vector<ExtraAttribute> &extras) {
    DbfSchema s;
    if (format.extended) {
        s = extended_schema(format);
    } else {
        // Formats 4 and 5 are 1 and 3 with a wave packet, which is not written.
        const uint8_t as = format.id == 4 ? 1 : format.id == 5 ? 3 : format.id;
        s = version_minor == 0 ? legacy_schema(true, kPointFormats[as]) : split_class_schema(kPointFormats[as]);
    }
    s.extras = extras;
    for (size_t i = 0; i < extras.size(); ++i) {
        DbfField f = extra_field(extras[i]);
        f.name = unique_name(s, extras[i].name, i);
        f.failure = "Failed to add field " + f.name + " to %s";
        f.extra = static_cast<uint16_t>(i);
        s.fields.push_back(f);
    }
    return s;
}

int decimals_needed(double step) {
    step = std::fabs(step);
    if (!std::isfinite(step) || step == 0) return 0;
    // The first power of ten that makes the step a whole number, within
    // the rounding of the double it is stored in; a step that rounds to
    // zero there is finer than that power shows.
    for (int d = 0; d <= kMostDecimals; ++d) {
        const double scaled = step * std::pow(10.0, d);
        const double whole = std::round(scaled);
        if (whole != 0 && std::fabs(scaled - whole) <= 1e-9 * std::max(1.0, scaled)) return d;
    }
    return kMostDecimals + 1;
}

DbfSchema select_fields(const DbfSchema &schema, const std::vector<std::string> &names, bool drop,
                        std::vector<std::string> &unknown) {
    unknown.clear();
    std::vector<bool> named(schema.fields.size(), false);
    for (const std::string &name : names) {
        bool found = false;
        for (size_t i = 0; i < schema.fields.size(); ++i) {
            if (stored_key(schema.fields[i].name) != stored_key(name) || name.size() > kStoredNameLength) continue;
            named[i] = found = true;
        }
        if (!found) unknown.push_back(name);
    }
    DbfSchema kept;
    kept.extras = schema.extras;
    for (size_t i = 0; i < schema.fields.size(); ++i)
        if (named[i] != drop) kept.fields.push_back(schema.fields[i]);
    return kept;
}

std::string stored_name(const DbfField &field) { return field.name.substr(0, kStoredNameLength); }
