// A piece of a run: consecutive point records on their way from the record
// source to the sinks, with the coordinates each one has once computed.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

// The smallest box holding some points, on the three axes.
struct Extent {
    double min[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL};
    double max[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    uint64_t points = 0;

    void add(const double xyz[3]) {
        for (int a = 0; a < 3; ++a) {
            min[a] = std::min(min[a], xyz[a]);
            max[a] = std::max(max[a], xyz[a]);
        }
        ++points;
    }
    void add(const Extent &other) {
        for (int a = 0; a < 3; ++a) {
            min[a] = std::min(min[a], other.min[a]);
            max[a] = std::max(max[a], other.max[a]);
        }
        points += other.points;
    }
    // As a shapefile header holds it: Xmin, Ymin, Xmax, Ymax, Zmin, Zmax;
    // zeros without points.
    void shapefile_box(double box[6]) const {
        const bool any = points != 0;
        const double b[6] = {min[0], min[1], max[0], max[1], min[2], max[2]};
        for (int i = 0; i < 6; ++i) box[i] = any ? b[i] : 0.0;
    }
};

// The extent of `n` points.
inline Extent extent_of(const double *x, const double *y, const double *z, size_t n) {
    double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    for (size_t i = 0; i < n; ++i) {
        lo[0] = std::min(lo[0], x[i]), hi[0] = std::max(hi[0], x[i]);
        lo[1] = std::min(lo[1], y[i]), hi[1] = std::max(hi[1], y[i]);
        lo[2] = std::min(lo[2], z[i]), hi[2] = std::max(hi[2], z[i]);
    }
    Extent e;
    for (int a = 0; a < 3; ++a) e.min[a] = lo[a], e.max[a] = hi[a];
    e.points = n;
    return e;
}

struct Piece {
    const unsigned char *records;  // `count` records, `stride` bytes apart
    size_t stride;
    uint32_t count;
    uint64_t first;           // the output record (0-based) of its first record
    int32_t chunk;            // where it was read: 0-based chunk of the input,
    int32_t first_in_chunk;   // and its first record's place in that chunk
    const double *x, *y, *z;  // each record's coordinates, after any transform
    Extent extent;            // of those coordinates
};
