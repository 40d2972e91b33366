// A piece of a run: consecutive point records on their way from the record
// source to the sinks, with the coordinates each one has once computed.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

struct Piece {
    const unsigned char *records;  // `count` records, `stride` bytes apart
    size_t stride;
    uint32_t count;
    uint64_t first;           // the output record (0-based) of its first record
    int32_t chunk;            // where it was read: 0-based chunk of the input,
    int32_t first_in_chunk;   // and its first record's place in that chunk
    const double *x, *y, *z;  // each record's coordinates, after any transform
};

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
