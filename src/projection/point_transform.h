// Moving points from one coordinate reference system to another, through
// PROJ, on every worker thread.
#pragma once

#include <cstddef>
#include <string>

// A transformation a run applies to every point, with what it keeps per
// worker thread (PROJ objects are not shared between threads).
class PointTransform {
public:
    virtual ~PointTransform() = default;
    // Transforms `n` points in place on worker `worker`: x and y always, z
    // when both coordinate systems have a vertical part.  Returns `n`, or
    // the index of the first point that does not transform (its
    // coordinates then as they were, and `why` says what PROJ said).
    virtual size_t transform(unsigned worker, double *x, double *y, double *z, size_t n, std::string *why) const = 0;
};
