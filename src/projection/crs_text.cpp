#include "projection/crs_text.h"

#include <proj_experimental.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace {

// ---- The user's text -----------------------------------------------------------

std::string trimmed(const std::string &text) {
    size_t begin = 0, end = text.size();
    // A UTF-8 byte order mark, as some editors leave at the start of a .prj.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) begin = 3;
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return text.substr(begin, end - begin);
}

// The text as a message quotes it: one line, and not a whole WKT.
std::string quoted(const std::string &text) {
    std::string line = text.size() > 48 ? text.substr(0, 45) + "..." : text;
    for (char &c : line)
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    return "\"" + line + "\"";
}

// A name compared as PROJ compares names: case, spaces and punctuation aside.
std::string name_key(const std::string &name) {
    std::string key;
    for (const char c : name)
        if (std::isalnum(static_cast<unsigned char>(c))) key += static_cast<char>(std::tolower(c));
    return key;
}

std::string read_crs_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw CrsProblem("cannot read @" + path + ": " + std::strerror(errno));
    // A CRS definition is a few kilobytes; more is not a .prj.
    constexpr size_t kLimit = 1 << 20;
    std::string text(kLimit + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad()) throw CrsProblem("cannot read @" + path + ": " + std::strerror(errno));
    text.resize(static_cast<size_t>(in.gcount()));
    if (text.size() > kLimit) throw CrsProblem("@" + path + " is too large for a CRS definition (over 1 MiB)");
    // Some writers end a .prj with NUL padding.
    text.resize(std::min(text.size(), text.find('\0')));
    return text;
}

// WKT through the WKT reader, whose errors say where the text went wrong;
// leniently, as .prj writers are not all exact.
PJ *crs_from_wkt(ProjContext &proj, const std::string &text, std::string &error) {
    const char *const options[] = {"STRICT=NO", nullptr};
    PROJ_STRING_LIST warnings = nullptr, errors = nullptr;
    PJ *object = proj_create_from_wkt(proj.get(), text.c_str(), options, &warnings, &errors);
    if (object == nullptr && errors != nullptr && errors[0] != nullptr) error = errors[0];
    proj_string_list_destroy(warnings);
    proj_string_list_destroy(errors);
    return object;
}

bool is_proj_string(const std::string &text) { return text[0] == '+' || text.compare(0, 5, "proj=") == 0; }

// The object the text describes, before anything checks it is a CRS.
ProjObject object_from_text(ProjContext &proj, const std::string &text, const std::string &label) {
    proj.forget();
    std::string error;
    PJ *object = nullptr;
    if (proj_context_guess_wkt_dialect(proj.get(), text.c_str()) != PJ_GUESSED_NOT_WKT) {
        object = crs_from_wkt(proj, text, error);
    } else if (is_proj_string(text) && text.find("type=crs") == std::string::npos) {
        // Without +type=crs PROJ reads "+proj=utm +zone=10" as an operation.
        object = proj_create(proj.get(), (text + " +type=crs").c_str());
    } else {
        object = proj_create(proj.get(), text.c_str());
    }
    if (object == nullptr) {
        const std::string why = error.empty() ? proj.said() : " (PROJ: " + error + ")";
        throw CrsProblem(label + " is not a coordinate reference system PROJ can read" + why);
    }
    ProjObject result(object);
    // A bare name is looked up loosely ("foo" finds "Amersfoort"): only an
    // exact name is taken.
    const bool bare_name = text[0] != '{' && !is_proj_string(text) && text.find(':') == std::string::npos &&
                           proj_context_guess_wkt_dialect(proj.get(), text.c_str()) == PJ_GUESSED_NOT_WKT;
    const char *name = proj_get_name(result.get());
    if (bare_name && (name == nullptr || name_key(name) != name_key(text)))
        throw CrsProblem(label + " is not the name of a CRS" +
                             (name ? std::string(" (the nearest is \"") + name + "\")" : ""));
    return result;
}

const char *kind_of(PJ_TYPE type) {
    switch (type) {
        case PJ_TYPE_GEOCENTRIC_CRS: return "a geocentric CRS";
        case PJ_TYPE_VERTICAL_CRS: return "a vertical CRS";
        case PJ_TYPE_TEMPORAL_CRS: return "a temporal CRS";
        case PJ_TYPE_ENGINEERING_CRS: return "an engineering CRS";
        case PJ_TYPE_ELLIPSOID: return "an ellipsoid";
        case PJ_TYPE_PRIME_MERIDIAN: return "a prime meridian";
        case PJ_TYPE_CONVERSION:
        case PJ_TYPE_TRANSFORMATION:
        case PJ_TYPE_CONCATENATED_OPERATION:
        case PJ_TYPE_OTHER_COORDINATE_OPERATION: return "a coordinate operation";
        default: return "not a CRS";
    }
}

// ---- CRS shapes ------------------------------------------------------------------

PJ_TYPE horizontal_type(ProjContext &proj, const PJ *crs) {
    ProjObject part = two_dimensional(proj, crs);
    if (proj_get_type(part.get()) != PJ_TYPE_BOUND_CRS) return proj_get_type(part.get());
    ProjObject base = proj.check(proj_get_source_crs(proj.get(), part.get()), "a bound CRS without its base");
    return proj_get_type(base.get());
}

}  // namespace

// The 2D horizontal CRS: a compound CRS's first part, a 3D CRS made 2D; a
// bound CRS stays bound, for its transformation to WGS 84 is part of what
// the user meant.
ProjObject two_dimensional(ProjContext &proj, const PJ *crs) {
    return proj.check(proj_crs_demote_to_2D(proj.get(), nullptr, crs), "cannot take the horizontal part of the CRS");
}

ProjObject parse_crs(ProjContext &proj, const std::string &given) {
    const std::string text = trimmed(given);
    if (text.empty()) throw CrsProblem("an empty CRS: give EPSG:n, WKT, PROJJSON, a PROJ string or @FILE");
    std::string label = quoted(text), definition = text;
    if (text[0] == '@') {
        label = text;
        definition = trimmed(read_crs_file(text.substr(1)));
        if (definition.empty()) throw CrsProblem(label + " is empty");
    }
    ProjObject crs = object_from_text(proj, definition, label);
    const PJ_TYPE type = proj_get_type(crs.get());
    if (!proj_is_crs(crs.get())) throw CrsProblem(label + " is " + kind_of(type) + ", not a CRS");
    // Points are written as x and y: the CRS must have horizontal axes.
    const PJ_TYPE part = horizontal_type(proj, crs.get());
    if (part != PJ_TYPE_GEOGRAPHIC_2D_CRS && part != PJ_TYPE_PROJECTED_CRS)
        throw CrsProblem(label + " is " + kind_of(part) +
                             ", which has no easting and northing or longitude and latitude");
    return crs;
}

bool has_height(ProjContext &proj, const PJ *crs) {
    switch (proj_get_type(crs)) {
        case PJ_TYPE_COMPOUND_CRS:
        case PJ_TYPE_GEOGRAPHIC_3D_CRS: return true;
        case PJ_TYPE_BOUND_CRS: {
            ProjObject base = proj.check(proj_get_source_crs(proj.get(), crs), "a bound CRS without its base");
            return has_height(proj, base.get());
        }
        case PJ_TYPE_PROJECTED_CRS: {
            // A projected CRS on a 3D geographic one has an ellipsoidal height.
            ProjObject cs = proj.check(proj_crs_get_coordinate_system(proj.get(), crs), "a CRS without axes");
            return proj_cs_get_axis_count(proj.get(), cs.get()) == 3;
        }
        default: return false;
    }
}

