#include "projection/reprojection.h"

#include <proj_experimental.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <sstream>

#include "projection/crs_text.h"

namespace {

struct ListDeleter {
    void operator()(PJ_OBJ_LIST *list) const { proj_list_destroy(list); }
};
struct FactoryDeleter {
    void operator()(PJ_OPERATION_FACTORY_CONTEXT *factory) const { proj_operation_factory_context_destroy(factory); }
};

}  // namespace

// ---- Choosing the operation -----------------------------------------------------------

namespace {

// Longitude and latitude in degrees on the CRS's own datum, as PROJ itself
// relates a CRS to the areas of use of operations.
ProjObject lon_lat_of(ProjContext &proj, const PJ *crs) {
    PJ_CONTEXT *ctx = proj.get();
    ProjObject geodetic = proj.check(proj_crs_get_geodetic_crs(ctx, crs), "no geodetic CRS");
    PJ *datum = proj_crs_get_datum(ctx, geodetic.get());
    if (datum == nullptr) datum = proj_crs_get_datum_ensemble(ctx, geodetic.get());
    ProjObject frame = proj.check(datum, "no datum");
    ProjObject cs = proj.check(proj_create_ellipsoidal_2D_cs(ctx, PJ_ELLPS2D_LONGITUDE_LATITUDE, nullptr, 0), "no CS");
    return proj.check(proj_create_geographic_crs_from_datum(ctx, "lon/lat", frame.get(), cs.get()), "no lon/lat CRS");
}

// The extent as longitudes and latitudes, its edges densified (a straight
// edge in a projection is curved in degrees); none when that cannot be had.
std::optional<LonLatBox> area_of_interest(ProjContext &proj, const PJ *source, const SourceBox &extent) {
    if (!extent.known || !(extent.min_x <= extent.max_x) || !(extent.min_y <= extent.max_y)) return std::nullopt;
    try {
        ProjObject geographic = lon_lat_of(proj, source);
        ProjObject to_geographic = proj.check(
            proj_create_crs_to_crs_from_pj(proj.get(), source, geographic.get(), nullptr, nullptr), "no operation");
        ProjObject normalized =
            proj.check(proj_normalize_for_visualization(proj.get(), to_geographic.get()), "no normalized operation");
        LonLatBox box{};
        if (!proj_trans_bounds(proj.get(), normalized.get(), PJ_FWD, extent.min_x, extent.min_y, extent.max_x,
                               extent.max_y, &box.west, &box.south, &box.east, &box.north, 21))
            return std::nullopt;
        // Bounds that are no place on the earth (coordinates taken in the
        // wrong CRS) rank nothing: then the operations are ranked without.
        if (!std::isfinite(box.west + box.south + box.east + box.north) || box.south < -90 || box.north > 90 ||
            box.west < -180 || box.east > 180)
            return std::nullopt;
        return box;
    } catch (const CrsProblem &) {
        proj.forget();
        return std::nullopt;  // then the operations are ranked without an area
    }
}

// PROJ's ranking of the operations, as proj_create_crs_to_crs does it with
// an area: operations whose area meets the extent, none that needs a grid
// not installed, a ballpark one last.  The first is the best.
ProjObject best_operation(ProjContext &proj, const PJ *source, const PJ *target, const std::optional<LonLatBox> &area,
                        size_t &candidates) {
    PJ_CONTEXT *ctx = proj.get();
    std::unique_ptr<PJ_OPERATION_FACTORY_CONTEXT, FactoryDeleter> factory(
        proj_create_operation_factory_context(ctx, nullptr));
    if (!factory) throw CrsProblem("PROJ cannot rank operations" + proj.said());
    proj_operation_factory_context_set_allow_ballpark_transformations(ctx, factory.get(), 1);
    if (area)
        proj_operation_factory_context_set_area_of_interest(ctx, factory.get(), area->west, area->south, area->east,
                                                            area->north);
    proj_operation_factory_context_set_spatial_criterion(ctx, factory.get(), PROJ_SPATIAL_CRITERION_PARTIAL_INTERSECTION);
    proj_operation_factory_context_set_grid_availability_use(ctx, factory.get(),
                                                             PROJ_GRID_AVAILABILITY_DISCARD_OPERATION_IF_MISSING_GRID);
    std::unique_ptr<PJ_OBJ_LIST, ListDeleter> list(proj_create_operations(ctx, source, target, factory.get()));
    candidates = list ? static_cast<size_t>(proj_list_get_count(list.get())) : 0;
    if (candidates == 0) {
        const char *from = proj_get_name(source), *to = proj_get_name(target);
        throw CrsProblem(std::string("PROJ knows no way from ") + (from ? from : "the source CRS") + " to " +
                             (to ? to : "the target CRS") + proj.said());
    }
    return proj.check(proj_list_get(ctx, list.get(), 0), "cannot take PROJ's first operation");
}

// True when the operation only converts (projections, units, axes): such
// an operation is exact, though PROJ gives no accuracy for a single one.
bool only_conversions(ProjContext &proj, const PJ *op) {
    const PJ_TYPE type = proj_get_type(op);
    if (type == PJ_TYPE_CONVERSION) return true;
    if (type != PJ_TYPE_CONCATENATED_OPERATION) return false;
    const int steps = proj_concatoperation_get_step_count(proj.get(), op);
    for (int i = 0; i < steps; ++i) {
        ProjObject step(proj_concatoperation_get_step(proj.get(), op, i));
        if (!step || !only_conversions(proj, step.get())) return false;
    }
    return steps > 0;
}

bool overlap(double a0, double a1, double b0, double b1) { return a0 <= b1 && b0 <= a1; }

// Whether the area misses the target CRS's area of use entirely (either box
// may cross 180°: then it is taken as two).
bool outside_area_of_use(ProjContext &proj, const PJ *target, const LonLatBox &area) {
    double w = 0, s = 0, e = 0, n = 0;
    if (!proj_get_area_of_use(proj.get(), target, &w, &s, &e, &n, nullptr) || w == -1000) return false;
    if (!overlap(area.south, area.north, s, n)) return true;
    auto spans = [](double west, double east) {
        return west <= east ? std::vector<std::pair<double, double>>{{west, east}}
                            : std::vector<std::pair<double, double>>{{west, 180}, {-180, east}};
    };
    for (const auto &[a0, a1] : spans(area.west, area.east))
        for (const auto &[b0, b1] : spans(w, e))
            if (overlap(a0, a1, b0, b1)) return false;
    return true;
}

}  // namespace

Reprojection Reprojection::plan(ProjContext &proj, const PJ *source, const PJ *target, const SourceBox &extent) {
    Reprojection r;
    r.transforms_z_ = has_height(proj, source) && has_height(proj, target);
    // Without a height on both sides, the operation is between the
    // horizontal parts, and z is never handed to PROJ.
    ProjObject from = r.transforms_z_ ? proj.check(proj_clone(proj.get(), source), "cannot copy the source CRS")
                                    : two_dimensional(proj, source);
    ProjObject to = r.transforms_z_ ? proj.check(proj_clone(proj.get(), target), "cannot copy the target CRS")
                                  : two_dimensional(proj, target);
    r.area_ = area_of_interest(proj, from.get(), extent);
    ProjObject chosen = best_operation(proj, from.get(), to.get(), r.area_, r.candidates_);
    r.outside_target_area_ = r.area_ && outside_area_of_use(proj, to.get(), *r.area_);
    if (!proj_coordoperation_is_instantiable(proj.get(), chosen.get()))
        throw CrsProblem("PROJ cannot carry out its operation" + proj.said());

    const char *name = proj_get_name(chosen.get());
    r.name_ = name ? name : "unnamed operation";
    r.accuracy_ = proj_coordoperation_get_accuracy(proj.get(), chosen.get());
    r.ballpark_ = proj_coordoperation_has_ballpark_transformation(proj.get(), chosen.get()) != 0;
    r.exact_ = only_conversions(proj, chosen.get());
    // x = easting or longitude, whatever the CRSs' axis order.
    r.operation_ = proj.check(proj_normalize_for_visualization(proj.get(), chosen.get()),
                              "cannot put the operation's axes in easting, northing order");
    proj.forget();
    return r;
}

std::string Reprojection::describe() const {
    std::ostringstream line;
    line << name_ << " (";
    if (exact_)
        line << "exact: no datum change";
    else if (accuracy_ < 0)
        line << "accuracy unknown";
    else
        line << "accuracy " << accuracy_ << " m";
    line << (ballpark_ ? "; ballpark: no datum shift known, positions may be metres off" : "")
         << (transforms_z_ ? "; heights transformed" : "; heights kept as read")
         << (outside_target_area_ ? "; the points lie outside the target CRS's area of use" : "") << ")";
    return line.str();
}

// ---- Transforming points -----------------------------------------------------------------

// Points per call to PROJ: small enough that the copy kept for reporting a
// failure stays in the cache, large enough that the call costs nothing.
constexpr size_t kChunk = 1024;

PointTransformer::PointTransformer(const Reprojection &reprojection)
    : proj_(std::make_unique<ProjContext>()),
      operation_(proj_->check(proj_clone(proj_->get(), reprojection.operation()), "cannot copy the operation")),
      transforms_z_(reprojection.transforms_z()),
      saved_(3 * kChunk),
      scratch_z_(kChunk) {}

size_t PointTransformer::transform(double *x, double *y, double *z, size_t n) {
    for (size_t done = 0; done < n; done += kChunk) {
        const size_t count = std::min(kChunk, n - done);
        const size_t bad = transform_chunk(x + done, y + done, z ? z + done : nullptr, count);
        if (bad < count) {
            failure_.index += done;
            return done + bad;
        }
    }
    return n;
}

size_t PointTransformer::transform_chunk(double *x, double *y, double *z, size_t n) {
    double *saved_z = saved_.data() + 2 * kChunk;
    std::copy(x, x + n, saved_.begin());
    std::copy(y, y + n, saved_.begin() + kChunk);
    if (z) std::copy(z, z + n, saved_z);
    // Heights go in even when they are kept: a datum shift through
    // geocentric coordinates uses them (a centimetre at 500 m), and ogr2ogr
    // hands them in too.  PROJ then works on a copy, so that they come out
    // exactly as read.
    if (z && !transforms_z_) {
        std::copy(z, z + n, scratch_z_.begin());
        z = scratch_z_.data();
    }
    // Strides of one double.
    proj_trans_generic(operation_.get(), PJ_FWD, x, sizeof(double), n, y, sizeof(double), n, z, sizeof(double),
                       z ? n : 0, nullptr, 0, 0);
    // A point that fails comes out as HUGE_VAL (infinite); nothing else does.
    size_t bad = 0;
    while (bad < n && std::isfinite(x[bad]) && std::isfinite(y[bad]) && (!z || std::isfinite(z[bad]))) ++bad;
    if (bad == n) return n;

    failure_ = UntransformedPoint{bad, saved_[bad], saved_[kChunk + bad], z ? saved_z[bad] : 0.0, ""};
    // Once more alone, for PROJ's reason for this very point.
    proj_errno_reset(operation_.get());
    PJ_COORD c = proj_coord(failure_.x, failure_.y, failure_.z, HUGE_VAL);
    c = proj_trans(operation_.get(), PJ_FWD, c);
    const int error = proj_errno(operation_.get());
    const char *reason = error ? proj_context_errno_string(proj_->get(), error) : nullptr;
    failure_.reason = reason ? reason : "PROJ gave no coordinates";
    proj_errno_reset(operation_.get());
    proj_->forget();
    return bad;
}


CrsTransform::CrsTransform(const Reprojection &reprojection, unsigned workers) {
    transformers_.reserve(workers);
    for (unsigned i = 0; i < workers; ++i) transformers_.emplace_back(reprojection);
}

size_t CrsTransform::transform(unsigned worker, double *x, double *y, double *z, size_t n, std::string *why) const {
    PointTransformer &t = transformers_.at(worker);
    const size_t done = t.transform(x, y, z, n);
    if (done < n) {
        // Its coordinates as they were read, for the message.
        x[done] = t.failure().x, y[done] = t.failure().y;
        if (z != nullptr) z[done] = t.failure().z;
        if (why != nullptr) *why = t.failure().reason;
    }
    return done;
}
