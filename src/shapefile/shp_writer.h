// The shapefile's main file (.shp) and index file (.shx), written directly
// in the format's mixed byte order: a 100-byte header each, then one 36-byte
// PointZ record (no measure) and one 8-byte index entry per point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "Ostrine_LiDAR.h"
#include "io/output_file.h"
#include "io/output_set.h"

// Real coordinates of the current chunk, allocated by the driver with room
// for one chunk and refilled by every PointZ writer call.
extern double *_Xvec;
extern double *_Yvec;
extern double *_Zvec;

// The index file's name: the main file's name with its last four characters
// replaced by ".shx".
std::string shx_name_for(const std::string &shpname);

// X, Y, Z from stored integers: value x scale + offset per axis.
struct CoordinateTransform {
    double x_scale, y_scale, z_scale, x_offset, y_offset, z_offset;
};

// The .shp and .shx of one run, open from their headers to the commit.
class ShapefileWriter {
public:
    // Both files are outputs of `outputs`.
    ShapefileWriter(OutputSet &outputs, std::string shpname);

    // Create the main / index file and write its header.  The file lengths
    // are computed in advance for `nReturns` records.
    void create_main(int32_t nReturns, const double box[6]);
    void create_index(int32_t nReturns, const double box[6]);

    // Points outside [low, high] on any axis are counted as far outside
    // (see far_points()).
    void watch_far_points(const double low[3], const double high[3]);

    // Formats and writes the records and index entries of `count` points
    // whose raw records start at `records` (`stride` bytes apart): file
    // record `first` (0-based) onwards, their coordinates kept in the
    // vectors from `vector_at` on.  Calls for disjoint ranges may run at the
    // same time on different threads.
    void write_points(const unsigned char *records, size_t stride, const CoordinateTransform &t, int32_t count,
                      uint64_t first, int32_t vector_at);

    // LAS headers in the wild often carry bounds that do not contain their
    // points, or are not numbers at all.  If any written point lies outside
    // the header box given, or that box is not finite, rewrites the box of
    // both headers as the points' extent (zeros without points) and returns
    // true; otherwise leaves the files as they are.
    bool fit_header_box_to_points(const double box[6]);

    // When fewer records were written than the headers were made for (a
    // selection kept some): sets both file lengths to `records` records and
    // the box of both headers to the points' extent (zeros without points).
    void set_record_count(uint64_t records);

    // Points written so far, and how many lay far outside the box watched.
    uint64_t points() const { return extent_.points; }
    uint64_t far_points() const { return far_points_; }
    // The extent of the points written: Xmin, Ymin, Xmax, Ymax, Zmin, Zmax
    // (zeros without points).
    void extent(double box[6]) const;

    OutputFile *main_file() { return shp_; }
    OutputFile *index_file() { return shx_; }
    const std::string &name() const { return shp_name_; }

private:
    struct Extent {
        double min_x, min_y, min_z, max_x, max_y, max_z;
        uint64_t points;
    };
    void write_box(const double box[6]);

    OutputSet &outputs_;
    std::string shp_name_;
    OutputFile *shp_ = nullptr, *shx_ = nullptr;
    std::mutex extent_mutex_;
    Extent extent_;
    double far_low_[3], far_high_[3];
    uint64_t far_points_ = 0;
};

// The numbered writers of each variant, over one run's writer.  `box` is the
// minima first: Xmin, Ymin, Xmax, Ymax, Zmin, Zmax.
void createSHPwHeader(ShapefileWriter &shp, int32_t nReturns, double Xmin, double Ymin, double Xmax, double Ymax,
                      double Zmin, double Zmax);
void createSHXwHeader(ShapefileWriter &shp, int32_t nReturns, double Xmin, double Ymin, double Xmax, double Ymax,
                      double Zmin, double Zmax);

// Write one chunk's PointZ records and index entries, or a part of it:
// `nRecords` records from record `firstInChunk` of chunk `chunkID` (0-based;
// every earlier chunk held exactly one full chunk) on.
void addtoSHP1(ShapefileWriter &shp, LAS10fm0 *p, LAS10Header *ph, int32_t nRecords, int32_t chunkID, int32_t firstInChunk = 0);
void addtoSHP2(ShapefileWriter &shp, LAS10fm1 *p, LAS10Header *ph, int32_t nRecords, int32_t chunkID, int32_t firstInChunk = 0);
void addtoSHP3(ShapefileWriter &shp, LAS11fm0 *p, LAS11Header *ph, int32_t nRecords, int32_t chunkID, int32_t firstInChunk = 0);
void addtoSHP4(ShapefileWriter &shp, LAS11fm1 *p, LAS11Header *ph, int32_t nRecords, int32_t chunkID, int32_t firstInChunk = 0);
void addtoSHP5(ShapefileWriter &shp, LAS12fm0 *p, LAS12Header *ph, int32_t nRecords, int32_t chunkID, int32_t firstInChunk = 0);
void addtoSHP6(ShapefileWriter &shp, LAS12fm1 *p, LAS12Header *ph, int32_t nRecords, int32_t chunkID, int32_t firstInChunk = 0);
void addtoSHP7(ShapefileWriter &shp, LAS12fm2 *p, LAS12Header *ph, int32_t nRecords, int32_t chunkID, int32_t firstInChunk = 0);
void addtoSHP8(ShapefileWriter &shp, LAS12fm3 *p, LAS12Header *ph, int32_t nRecords, int32_t chunkID, int32_t firstInChunk = 0);
