#include "projection/esri_wkt.h"

#include <proj.h>
#include <proj_experimental.h>

#include <cmath>
#include <memory>
#include <optional>

#include "base/text.h"
#include "projection/geokeys.h"
#include "projection/proj_context.h"

namespace {

using namespace geokey;

using Object = ProjObject;
using Proj = ProjContext;

struct Unit {
    std::string name;
    double to_si = 1.0;  // metres or radians per unit
};

constexpr double kDegree = 0.0174532925199433;

// A unit by EPSG code, or by its size when the code is "user-defined".
Unit unit_from_keys(Proj &proj, const GeoKeys &keys, uint16_t code_key, uint16_t size_key, const char *category,
                    Unit fallback) {
    const std::optional<uint16_t> code = keys.get_short(code_key);
    if (!code) return fallback;
    if (*code == kUserDefined) {
        const std::optional<double> size = keys.get_double(size_key);
        if (!size || !(*size > 0) || !std::isfinite(*size))
            throw CrsProblem(geokey_name(code_key) + " is user-defined without a valid " + geokey_name(size_key));
        return {"unknown", *size};
    }
    const std::string text = std::to_string(*code);
    const char *name = nullptr;
    const char *kind = nullptr;
    double factor = 0;
    if (!proj_uom_get_info_from_database(proj.get(), "EPSG", text.c_str(), &name, &factor, &kind) ||
        kind == nullptr || std::string(kind) != category || !(factor > 0))
        throw CrsProblem(geokey_name(code_key) + " " + text + " is not a known " + category + " unit" + proj.said());
    return {name, factor};
}

Unit angular_unit(Proj &proj, const GeoKeys &keys) {
    return unit_from_keys(proj, keys, kGeogAngularUnits, kGeogAngularUnitSize, "angular", {"degree", kDegree});
}

std::string citation(const GeoKeys &keys, std::initializer_list<uint16_t> candidates) {
    for (const uint16_t key : candidates) {
        try {
            const std::optional<std::string> text = keys.get_ascii(key);
            if (text && !text->empty()) return *text;
        } catch (const CrsProblem &) {
            // A broken citation only costs the name.
        }
    }
    return "unknown";
}

// ---- GeoKeys ---------------------------------------------------------------

Object geographic_from_keys(Proj &proj, const GeoKeys &keys) {
    const std::optional<uint16_t> code = keys.get_short(kGeographicType);
    if (code && *code != kUserDefined)
        return horizontal(proj, proj.from_epsg(*code, PJ_CATEGORY_CRS, geokey_name(kGeographicType)));

    PJ_CONTEXT *ctx = proj.get();
    const Unit angle = angular_unit(proj, keys);
    Object cs = proj.check(
        proj_create_ellipsoidal_2D_cs(ctx, PJ_ELLPS2D_LATITUDE_LONGITUDE, angle.name.c_str(), angle.to_si),
        "cannot make an ellipsoidal coordinate system");
    const std::string name = citation(keys, {kGeogCitation});

    const std::optional<uint16_t> datum_code = keys.get_short(kGeodeticDatum);
    if (datum_code && *datum_code != kUserDefined) {
        Object datum = proj.from_epsg(*datum_code, PJ_CATEGORY_DATUM, geokey_name(kGeodeticDatum));
        return proj.check(proj_create_geographic_crs_from_datum(ctx, name.c_str(), datum.get(), cs.get()),
                          "cannot make a geographic CRS on EPSG datum " + std::to_string(*datum_code));
    }

    // A datum known only by its ellipsoid and prime meridian.
    std::string ellipsoid_name = "unknown";
    double semi_major = 0, inverse_flattening = 0;
    const std::optional<uint16_t> ellipsoid_code = keys.get_short(kEllipsoid);
    if (ellipsoid_code && *ellipsoid_code != kUserDefined) {
        Object ellipsoid = proj.from_epsg(*ellipsoid_code, PJ_CATEGORY_ELLIPSOID, geokey_name(kEllipsoid));
        double semi_minor = 0;
        int is_computed = 0;
        proj_ellipsoid_get_parameters(ctx, ellipsoid.get(), &semi_major, &semi_minor, &is_computed, &inverse_flattening);
        if (const char *n = proj_get_name(ellipsoid.get())) ellipsoid_name = n;
    } else {
        const std::optional<double> a = keys.get_double(kSemiMajorAxis);
        if (!a) throw CrsProblem("the GeoKeys give no datum or ellipsoid for the geographic coordinate system");
        const Unit length = unit_from_keys(proj, keys, kGeogLinearUnits, kGeogLinearUnitSize, "linear", {"metre", 1.0});
        semi_major = *a * length.to_si;
        if (const std::optional<double> rf = keys.get_double(kInvFlattening)) {
            inverse_flattening = *rf;
        } else if (const std::optional<double> b = keys.get_double(kSemiMinorAxis)) {
            const double semi_minor = *b * length.to_si;
            inverse_flattening = semi_minor == semi_major ? 0.0 : semi_major / (semi_major - semi_minor);
        } else {
            throw CrsProblem("the user-defined ellipsoid has " + geokey_name(kSemiMajorAxis) +
                             " but neither its inverse flattening nor its semi-minor axis");
        }
    }
    if (!(semi_major > 0) || !std::isfinite(semi_major) || !std::isfinite(inverse_flattening) ||
        inverse_flattening < 0 || (inverse_flattening > 0 && inverse_flattening < 1))
        throw CrsProblem("the ellipsoid's axes are not valid");

    std::string meridian_name = "Greenwich";
    double meridian_offset = 0;
    Unit meridian_unit = angle;
    const std::optional<uint16_t> meridian_code = keys.get_short(kPrimeMeridian);
    if (meridian_code && *meridian_code != kUserDefined) {
        Object meridian = proj.from_epsg(*meridian_code, PJ_CATEGORY_PRIME_MERIDIAN, geokey_name(kPrimeMeridian));
        const char *unit_name = nullptr;
        proj_prime_meridian_get_parameters(ctx, meridian.get(), &meridian_offset, &meridian_unit.to_si, &unit_name);
        if (unit_name != nullptr) meridian_unit.name = unit_name;
        if (const char *n = proj_get_name(meridian.get())) meridian_name = n;
    } else if (const std::optional<double> longitude = keys.get_double(kPrimeMeridianLong)) {
        meridian_offset = *longitude;
        if (meridian_offset != 0) meridian_name = "unknown";
    }

    const std::string datum_name =
        ellipsoid_name == "unknown" ? "unknown" : "Unknown based on " + ellipsoid_name + " ellipsoid";
    return proj.check(proj_create_geographic_crs(ctx, name.c_str(), datum_name.c_str(), ellipsoid_name.c_str(),
                                                 semi_major, inverse_flattening, meridian_name.c_str(),
                                                 meridian_offset, meridian_unit.name.c_str(), meridian_unit.to_si,
                                                 cs.get()),
                      "cannot make the user-defined geographic CRS");
}

// The projection of a user-defined projected CRS, from its method and parameters.
Object conversion_from_keys(Proj &proj, const GeoKeys &keys, const Unit &angle, const Unit &length) {
    PJ_CONTEXT *ctx = proj.get();
    const std::optional<uint16_t> code = keys.get_short(kProjection);
    if (code && *code != kUserDefined)
        return proj.from_epsg(*code, PJ_CATEGORY_COORDINATE_OPERATION, geokey_name(kProjection));

    const std::optional<uint16_t> method = keys.get_short(kProjCoordTrans);
    if (!method) throw CrsProblem("the user-defined projected CRS has neither ProjectionGeoKey nor ProjCoordTransGeoKey");
    const char *a = angle.name.c_str();
    const char *l = length.name.c_str();
    const double ad = angle.to_si, ld = length.to_si;
    // The usual keys of each method, and the ones writers use instead.
    const double nat_lat = keys.first_double({kNatOriginLat, kFalseOriginLat, kCenterLat}, 0);
    const double nat_long = keys.first_double({kNatOriginLong, kFalseOriginLong, kCenterLong}, 0);
    const double scale = keys.first_double({kScaleAtNatOrigin}, 1.0);
    const double fe = keys.first_double({kFalseEasting, kFalseOriginEasting}, 0);
    const double fn = keys.first_double({kFalseNorthing, kFalseOriginNorthing}, 0);
    const double sp1 = keys.first_double({kStdParallel1}, 0);
    const double sp2 = keys.first_double({kStdParallel2}, sp1);
    const double origin_lat = keys.first_double({kFalseOriginLat, kNatOriginLat}, 0);
    const double origin_long = keys.first_double({kFalseOriginLong, kNatOriginLong}, 0);
    const double origin_e = keys.first_double({kFalseOriginEasting, kFalseEasting}, 0);
    const double origin_n = keys.first_double({kFalseOriginNorthing, kFalseNorthing}, 0);
    const double center_lat = keys.first_double({kCenterLat, kNatOriginLat}, 0);
    const double center_long = keys.first_double({kCenterLong, kNatOriginLong}, 0);
    PJ *conversion = nullptr;
    const char *method_name = nullptr;
    switch (*method) {
        case 1:
            method_name = "Transverse Mercator";
            conversion = proj_create_conversion_transverse_mercator(ctx, nat_lat, nat_long, scale, fe, fn, a, ad, l, ld);
            break;
        case 7:
            method_name = "Mercator";
            // A standard parallel instead of a scale factor: Mercator (variant B).
            if (keys.has(kStdParallel1) && !keys.has(kScaleAtNatOrigin))
                conversion = proj_create_conversion_mercator_variant_b(ctx, sp1, nat_long, fe, fn, a, ad, l, ld);
            else
                conversion = proj_create_conversion_mercator_variant_a(ctx, nat_lat, nat_long, scale, fe, fn, a, ad, l, ld);
            break;
        case 8:
            method_name = "Lambert Conformal Conic 2SP";
            conversion = proj_create_conversion_lambert_conic_conformal_2sp(ctx, origin_lat, origin_long, sp1, sp2,
                                                                            origin_e, origin_n, a, ad, l, ld);
            break;
        case 9:
            method_name = "Lambert Conformal Conic 1SP";
            conversion = proj_create_conversion_lambert_conic_conformal_1sp(ctx, nat_lat, nat_long, scale, fe, fn, a, ad,
                                                                            l, ld);
            break;
        case 10:
            method_name = "Lambert Azimuthal Equal Area";
            conversion = proj_create_conversion_lambert_azimuthal_equal_area(ctx, center_lat, center_long, fe, fn, a,
                                                                             ad, l, ld);
            break;
        case 11:
            method_name = "Albers Equal Area";
            conversion = proj_create_conversion_albers_equal_area(ctx, nat_lat, nat_long, sp1, sp2, fe, fn, a, ad, l, ld);
            break;
        default:
            throw CrsProblem("ProjCoordTransGeoKey " + std::to_string(*method) +
                             " is a projection method this program does not translate (it translates Transverse "
                             "Mercator, Lambert Conformal Conic, Albers, Mercator and Lambert Azimuthal Equal Area)");
    }
    return proj.check(conversion, std::string("cannot make the ") + method_name + " projection from the GeoKeys");
}

// The EPSG projected CRS in the unit ProjLinearUnitsGeoKey names, when that
// differs from the unit of the EPSG definition: the points are in that unit.
Object with_key_units(Proj &proj, const GeoKeys &keys, Object crs) {
    if (!keys.has(kProjLinearUnits) || proj_get_type(crs.get()) != PJ_TYPE_PROJECTED_CRS) return crs;
    const Unit wanted = unit_from_keys(proj, keys, kProjLinearUnits, kProjLinearUnitSize, "linear", {"metre", 1.0});
    Object cs = proj.check(proj_crs_get_coordinate_system(proj.get(), crs.get()), "no coordinate system");
    double factor = 0;
    if (!proj_cs_get_axis_info(proj.get(), cs.get(), 0, nullptr, nullptr, nullptr, &factor, nullptr, nullptr, nullptr))
        return crs;
    if (std::fabs(factor - wanted.to_si) <= 1e-12 * wanted.to_si) return crs;
    Object altered = proj.check(proj_crs_alter_cs_linear_unit(proj.get(), crs.get(), wanted.name.c_str(), wanted.to_si,
                                                              nullptr, nullptr),
                                "cannot express the CRS in " + wanted.name);
    // A new name, so that no reader takes it for the EPSG definition.
    const char *name = proj_get_name(altered.get());
    const std::string renamed = std::string(name ? name : "unknown") + " (" + wanted.name + ")";
    return proj.check(proj_alter_name(proj.get(), altered.get(), renamed.c_str()), "cannot rename the CRS");
}

Object projected_from_keys(Proj &proj, const GeoKeys &keys) {
    const std::optional<uint16_t> code = keys.get_short(kProjectedCSType);
    if (code && *code != kUserDefined)
        return with_key_units(proj, keys,
                              horizontal(proj, proj.from_epsg(*code, PJ_CATEGORY_CRS, geokey_name(kProjectedCSType))));

    PJ_CONTEXT *ctx = proj.get();
    Object base = geographic_from_keys(proj, keys);
    const Unit angle = angular_unit(proj, keys);
    const Unit length = unit_from_keys(proj, keys, kProjLinearUnits, kProjLinearUnitSize, "linear", {"metre", 1.0});
    Object conversion = conversion_from_keys(proj, keys, angle, length);
    Object cs = proj.check(proj_create_cartesian_2D_cs(ctx, PJ_CART2D_EASTING_NORTHING, length.name.c_str(), length.to_si),
                           "cannot make a Cartesian coordinate system in " + length.name);
    const std::string name = citation(keys, {kPCSCitation, kCitation});
    return proj.check(proj_create_projected_crs(ctx, name.c_str(), base.get(), conversion.get(), cs.get()),
                      "cannot make the user-defined projected CRS");
}

Object crs_from_keys(Proj &proj, const GeoKeys &keys) {
    const std::optional<uint16_t> model = keys.get_short(kModelType);
    const bool projected_keys = keys.has(kProjectedCSType) || keys.has(kProjection) || keys.has(kProjCoordTrans);
    const bool geographic_keys = keys.has(kGeographicType) || keys.has(kGeodeticDatum) || keys.has(kEllipsoid) ||
                                 keys.has(kSemiMajorAxis);
    if (model == 3) throw CrsProblem("GTModelTypeGeoKey 3 (geocentric) has no .prj form");
    if (model && *model != 1 && *model != 2)
        throw CrsProblem("GTModelTypeGeoKey " + std::to_string(*model) + " is neither projected (1) nor geographic (2)");
    if (model == 1 || (!model && projected_keys)) return horizontal(proj, projected_from_keys(proj, keys));
    if (model == 2 || (!model && geographic_keys)) return horizontal(proj, geographic_from_keys(proj, keys));
    throw CrsProblem("the GeoKeys describe no horizontal coordinate system");
}

// ---- OGC WKT ---------------------------------------------------------------

// The first PROJCS[...], GEOGCS[...] or GEOCCS[...] inside a WKT1 compound
// CRS, brackets balanced; "" if there is none.
std::string first_horizontal_part(const std::string &text) {
    if (text.find("COMPD_CS") == std::string::npos) return "";
    size_t begin = std::string::npos;
    for (const char *keyword : {"PROJCS", "GEOGCS", "GEOCCS"}) begin = std::min(begin, text.find(keyword));
    if (begin == std::string::npos) return "";
    int depth = 0;
    for (size_t i = begin; i < text.size(); ++i) {
        if (text[i] == '[' || text[i] == '(') ++depth;
        if ((text[i] == ']' || text[i] == ')') && --depth == 0) return text.substr(begin, i + 1 - begin);
    }
    return "";
}

PJ *read_wkt(Proj &proj, const std::string &text, std::string &error) {
    const char *const options[] = {"STRICT=NO", nullptr};
    PROJ_STRING_LIST warnings = nullptr, errors = nullptr;
    PJ *crs = proj_create_from_wkt(proj.get(), text.c_str(), options, &warnings, &errors);
    if (crs == nullptr && errors != nullptr && errors[0] != nullptr) {
        error = errors[0];
        if (error.size() > 160) error = error.substr(0, 157) + "...";
    }
    proj_string_list_destroy(warnings);
    proj_string_list_destroy(errors);
    return crs;
}

Object crs_from_wkt(Proj &proj, std::string text) {
    const size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    std::string error;
    PJ *crs = read_wkt(proj, text, error);
    // Writers have closed a compound CRS before its vertical part (one
    // bracket too many): its horizontal part, which is all a .prj holds,
    // is still whole.
    if (crs == nullptr) {
        const std::string part = first_horizontal_part(text);
        std::string ignored;
        if (!part.empty()) crs = read_wkt(proj, part, ignored);
    }
    if (crs == nullptr)
        throw CrsProblem("the OGC WKT record cannot be read" + (error.empty() ? "" : " (PROJ: " + error + ")") +
                         proj.said());
    return Object(crs);
}

// A CRS the records describe: its .prj, and its whole definition (a height,
// a transformation to WGS 84) for moving points from it.
EsriWkt written(Proj &proj, const Object &crs) {
    EsriWkt result{EsriWkt::Outcome::Written, esri_wkt_of(proj, crs.get()), ""};
    const char *json = proj_as_projjson(proj.get(), crs.get(), nullptr);
    if (json != nullptr) result.definition = json;
    return result;
}

const LasVlr *find(const std::vector<LasVlr> &records, uint16_t record_id) {
    for (const LasVlr &r : records)
        if (r.record_id == record_id && (record_id == 2112 || r.user_id == "LASF_Projection")) return &r;
    return nullptr;
}

bool blank(const std::string &text) {
    for (const char c : text) {
        if (c == '\0') break;
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
    }
    return true;
}

}  // namespace

EsriWkt esri_wkt_from_vlrs(const std::vector<LasVlr> &records) {
    const LasVlr *wkt = find(records, 2112);
    if (wkt != nullptr && wkt->unread == 0 && blank(wkt->payload)) wkt = nullptr;
    const LasVlr *directory = find(records, 34735);
    const LasVlr *doubles = find(records, 34736);
    const LasVlr *ascii = find(records, 34737);
    if (wkt == nullptr && directory == nullptr) return {};

    try {
        Proj proj;
        std::string wkt_problem;
        if (wkt != nullptr && wkt->unread != 0) {
            wkt_problem = formatted("its OGC WKT record is %llu bytes long, more than a coordinate system is read from",
                                    static_cast<unsigned long long>(wkt->unread));
        } else if (wkt != nullptr) {
            try {
                return written(proj, crs_from_wkt(proj, wkt->payload));
            } catch (const CrsProblem &problem) {
                wkt_problem = problem.message;
            }
        }
        if (directory != nullptr) {
            try {
                const GeoKeys keys(directory->payload, doubles ? doubles->payload : "", ascii ? ascii->payload : "");
                if (!keys.empty()) return written(proj, crs_from_keys(proj, keys));
                if (wkt_problem.empty()) return {};
            } catch (const MalformedDirectory &problem) {
                if (wkt_problem.empty()) return {EsriWkt::Outcome::Unreadable, problem.message, ""};
            } catch (const CrsProblem &) {
                if (wkt_problem.empty()) throw;
            }
        }
        const bool unread = wkt != nullptr && wkt->unread != 0;
        return {unread ? EsriWkt::Outcome::Unreadable : EsriWkt::Outcome::Untranslatable, wkt_problem, ""};
    } catch (const CrsProblem &problem) {
        return {EsriWkt::Outcome::Untranslatable, problem.message, ""};
    } catch (const std::exception &e) {
        return {EsriWkt::Outcome::Untranslatable, std::string("PROJ failed: ") + e.what(), ""};
    }
}
