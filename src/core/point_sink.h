// Where the points of a run go: each output kind is a sink, and the run
// drives a list of them (begin, every piece, finish) without knowing what
// they write.  A sink owns its files in the run's output set.
#pragma once

#include <cstdint>

#include "core/piece.h"

class PointSink {
public:
    virtual ~PointSink() = default;

    // Before the first piece, on the main thread: how many points the run
    // reads (all of them are written unless a selection keeps fewer) and
    // the box they are said to lie in, as a shapefile header holds it
    // (Xmin, Ymin, Xmax, Ymax, Zmin, Zmax).  The box is NaN when no header
    // can say (a selection or a transform changes the points).
    virtual void begin(uint64_t points, const double box[6]) = 0;

    // One piece, on any worker thread: calls for disjoint pieces run at
    // the same time.
    virtual void write(const Piece &piece) = 0;

    // After the last piece, on the main thread: the points written and
    // their extent.
    virtual void finish(const Extent &written) = 0;
};
