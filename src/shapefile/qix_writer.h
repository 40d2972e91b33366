// The quadtree spatial index (NAME.qix) beside a PointZ shapefile, in the
// layout MapServer and shapelib define and GDAL and QGIS read.  A reader
// that finds NAME.qix next to NAME.shp answers box queries from it instead
// of scanning every record.
//
// The tree is the one shapelib's SHPCreateTree builds (four children a
// node, halves of 0.55 so that they overlap, empty nodes trimmed, a node
// left with one child and no shapes replaced by that child), built with
// the same floating-point steps, so at the depth GDAL would be asked for the
// file comes out byte for byte as GDAL writes it.  docs/spatial-index.md
// describes the layout, the depth chosen and what it costs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// Reads `n` bytes of the finished .shp from `offset`; false if it cannot.
using ReadAt = std::function<bool(uint64_t offset, void *buf, size_t n)>;
// Writes `n` bytes of the .qix at `offset` (or throws).
using WriteAt = std::function<void(const void *data, size_t n, uint64_t offset)>;

// The deepest tree this writer builds: shapelib's own cap on the depth it
// picks, and a node table that stays small (5.6 million entries).
constexpr unsigned kMaxQixDepth = 12;

// The depth chosen for `shapes` points: enough levels for 64 points or
// fewer a leaf of the complete tree, at most kMaxQixDepth (see
// docs/spatial-index.md for the measurements).
unsigned qix_depth_for(uint64_t shapes);

// Writes the index of the .shp's `shape_count` PointZ records, whose header
// box is `box_xy` (Xmin, Ymin, Xmax, Ymax).  `depth` 0 picks
// qix_depth_for(shape_count); otherwise 1 to kMaxQixDepth levels.  Reads the
// records twice at most (the second time only when some point lies outside
// the header box, which then grows to hold it).  Memory: 4 bytes a point,
// 4 bytes for each node of the complete tree (1.4 MB at the depth for 10
// million points), 72 for each node of the trimmed tree (10 MB there), and
// fixed buffers (about 24 MB).  Fails via fail() when the .shp cannot be
// read or holds other than PointZ records, or memory runs out.
// `name` (the .qix's) is for the messages.
void write_qix(const std::string &name, const ReadAt &read_shp, uint64_t shape_count, const double box_xy[4],
               const WriteAt &write, unsigned depth = 0);

class QixTree;

// The same index, from the coordinates a run writes into the .shp, filed
// while it writes them: no second pass over the records.  It is the index
// of the finished .shp when that has the `shapes` records announced, every
// one was filed, and the .shp header ends up with the very box given here
// (see fits()); otherwise write_qix() must make it from the .shp.  Memory:
// as write_qix(), the 4 bytes a point from the start.
class QixBuilder {
public:
    QixBuilder(const std::string &name, uint64_t shapes, const double box_xy[4], unsigned depth = 0);
    ~QixBuilder();
    QixBuilder(const QixBuilder &) = delete;
    QixBuilder &operator=(const QixBuilder &) = delete;

    // Files records first .. first + n - 1 (0-based), at x[i], y[i].  Safe
    // from several threads for disjoint ranges.
    void file(uint64_t first, const double *x, const double *y, size_t n);

    // Whether the points filed make the index of a .shp of `shapes` records
    // whose header box is `box_xy`.
    bool fits(uint64_t shapes, const double box_xy[4]) const;

    // Writes the .qix (once).
    void write(const WriteAt &write);

private:
    std::unique_ptr<QixTree> tree_;
    uint64_t shapes_;
    double box_[4];
    std::atomic<uint64_t> filed_{0};
    std::atomic<bool> outside_{false};
};
