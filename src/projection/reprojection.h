// Moving points from one coordinate system to another on their way to the
// shapefile, through PROJ: one operation chosen for the file's extent, then
// carried out by every worker thread with its own copy (PROJ objects and
// contexts are not shared between threads).
//
// Coordinates are in the shapefile's order throughout: x = easting or
// longitude, y = northing or latitude, whatever axis order the CRSs
// define.  Z is transformed only when both CRSs have a height (compound, or
// 3D); otherwise it is left exactly as read.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "projection/point_transform.h"
#include "projection/proj_context.h"

// The points' bounds in the source CRS, in shapefile order.
struct SourceBox {
    double min_x = 0, min_y = 0, max_x = 0, max_y = 0;
    bool known = false;  // false: no points, or bounds that mean nothing
};

// An area in degrees of longitude and latitude; west > east crosses 180°.
struct LonLatBox {
    double west = 0, south = 0, east = 0, north = 0;
};

// The one operation PROJ ranks best from a source CRS to a target CRS for
// an extent, with the grids installed and the network off.  It belongs to
// the context it was planned in and must not outlive it.
class Reprojection {
public:
    static Reprojection plan(ProjContext &proj, const PJ *source, const PJ *target, const SourceBox &extent);

    const std::string &name() const { return name_; }
    double accuracy() const { return accuracy_; }  // metres; < 0: unknown
    bool exact() const { return exact_; }          // conversions only: no datum change
    bool ballpark() const { return ballpark_; }    // no datum shift known: metres off, or more
    bool transforms_z() const { return transforms_z_; }
    // The extent lies wholly outside the target CRS's area of use: PROJ may
    // still give numbers (Transverse Mercator does, half a world away from
    // its meridian), but they are not what the user wanted.
    bool outside_target_area() const { return outside_target_area_; }
    const PJ *operation() const { return operation_.get(); }
    // The operation, its accuracy, ballpark or not, heights moved or not.
    std::string describe() const;

private:
    ProjObject operation_;  // normalized for visualization, in the planning context
    std::string name_;
    double accuracy_ = -1;
    bool ballpark_ = false, transforms_z_ = false, exact_ = false, outside_target_area_ = false;
    size_t candidates_ = 0;
    std::optional<LonLatBox> area_;
};

// The first point of a call that did not transform, as it was before.
struct UntransformedPoint {
    size_t index = 0;
    double x = 0, y = 0, z = 0;
    std::string reason;  // PROJ's words
};

// One thread's copy of the operation, with a context of its own.  Made on
// the thread that planned (it reads the planned object); used on one
// thread at a time.
class PointTransformer {
public:
    explicit PointTransformer(const Reprojection &reprojection);

    // Transforms n points in place; z is left as read unless the operation
    // transforms heights.  Returns n, or the index of the first point that
    // did not transform, which failure() describes.
    size_t transform(double *x, double *y, double *z, size_t n);
    const UntransformedPoint &failure() const { return failure_; }

private:
    size_t transform_chunk(double *x, double *y, double *z, size_t n);

    std::unique_ptr<ProjContext> proj_;
    ProjObject operation_;
    bool transforms_z_;
    std::vector<double> saved_;      // a chunk's input, to report a failure by its coordinates
    std::vector<double> scratch_z_;  // heights PROJ may change when they are to be kept
    UntransformedPoint failure_;
};

// A planned reprojection as a step of a run: one transformer a worker.
class CrsTransform : public PointTransform {
public:
    // `workers` transformers, made here, on the planning thread.
    CrsTransform(const Reprojection &reprojection, unsigned workers);
    size_t transform(unsigned worker, double *x, double *y, double *z, size_t n, std::string *why) const override;

private:
    mutable std::vector<PointTransformer> transformers_;
};
