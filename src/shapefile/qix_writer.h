// The quadtree spatial index (NAME.qix) beside a PointZ shapefile, in the
// layout MapServer and shapelib define and GDAL and QGIS read.  A reader
// that finds NAME.qix next to NAME.shp answers box queries from it instead
// of scanning every record.
//
// The tree is the one shapelib's SHPCreateTree builds (four children a
// node, halves of 0.55 so that they overlap, empty nodes trimmed, a node
// left with one child and no shapes replaced by that child), built with
// the same floating-point steps, so at the depth GDAL would be asked for the
// file comes out byte for byte as GDAL writes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

// Reads `n` bytes of the finished .shp from `offset`; false if it cannot.
using ReadAt = std::function<bool(uint64_t offset, void *buf, size_t n)>;
// Writes `n` bytes of the .qix at `offset` (or throws).
using WriteAt = std::function<void(const void *data, size_t n, uint64_t offset)>;

// The deepest tree this writer builds: shapelib's own cap on the depth it
// picks, and a node table that stays small (5.6 million entries).
constexpr unsigned kMaxQixDepth = 12;

// The depth chosen for `shapes` points: enough levels that a leaf holds
// about 256 points (see docs/spatial-index.md for the measurements).
unsigned qix_depth_for(uint64_t shapes);

// Writes the index of the .shp's `shape_count` PointZ records, whose header
// box is `box_xy` (Xmin, Ymin, Xmax, Ymax).  `depth` 0 picks
// qix_depth_for(shape_count); otherwise 1 to kMaxQixDepth levels.  Reads the
// records twice at most (the second time only when some point lies outside
// the header box, which then grows to hold it).  Memory: 4 bytes a point,
// plus a table of 4 bytes for each node of the complete tree, plus fixed
// buffers (about 22 MB).  Fails via fail() when the .shp cannot be read or
// holds other than PointZ records, or memory runs out.
void write_qix(const ReadAt &read_shp, uint64_t shape_count, const double box_xy[4], const WriteAt &write,
               unsigned depth = 0);
