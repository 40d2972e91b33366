// Shapefiles of a size every GIS opens whole: the points of one input go,
// in file order, into consecutive parts NAME_part1, NAME_part2, ... when one
// set would pass the size (or the format's own limit of points), each part a
// complete shapefile set with its own box and record numbers from 1.  A
// sink that starts a new set of sinks when the next piece would pass the
// size: the run does not know.
//
// Why 2 GB: ArcGIS reads at most 2 GB of any shapefile component file (.shp
// or .dbf), and past it loads a prefix of the records without a word; GDAL,
// QGIS and pyshp read larger files.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "outputs/shapefile_set.h"

// The largest file ArcGIS opens whole: the default size of a part.
constexpr uint64_t kArcGisFileBytes = 2147483647;
// No part limit but the format's (--max-size=none).
constexpr uint64_t kNoSizeLimit = UINT64_MAX;
// The most parts one conversion writes: every file of every part is an
// output held until the commit.
constexpr uint64_t kMaxParts = 800;

struct PartPlan {
    uint64_t max_bytes = kArcGisFileBytes;  // no output file larger (kNoSizeLimit: none)
    uint64_t capacity = 0;                  // points a part holds
    uint64_t points = 0;                    // points to write (at most, with a selection)
    bool by_format = false;                 // the format's limit of points, not the size, sets the capacity

    uint64_t parts() const { return points == 0 ? 1 : (points - 1) / capacity + 1; }
};

// The plan for `points` points of `spec`: parts no file of which is larger
// than `max_bytes` nor holds more than `format_limit` points (a .shp's
// own limit).  Fails, naming the input `name`, when not one point fits or
// more than kMaxParts parts would be needed.
PartPlan plan_parts(const std::string &name, const ShapefileSpec &spec, uint64_t points, uint64_t max_bytes,
                    uint64_t format_limit);

// Bytes of each output of a set of `points` points (the .qix aside, which is
// always smaller than the .shp): .shp, .shx, .dbf.
struct SetBytes {
    uint64_t shp, shx, dbf;
};
SetBytes set_bytes(const ShapefileSpec &spec, uint64_t points);

// NAME_partK: the stem of part `k` (0-based) of `stem`.
std::string part_stem(const std::string &stem, uint64_t k);

// Files beside `stem` that earlier conversions wrote as parts of it
// (NAME_partK.shp, .shx, .dbf, .prj, .qix, .sbn, .sbx), with their K.
struct PartFile {
    uint64_t part;  // K (1-based, as named)
    std::string name;
};
std::vector<PartFile> existing_parts(const std::string &stem);

// "2.0 GB", "10.0 KB", "512 bytes": a size in powers of 1024.
std::string size_text(uint64_t bytes);

class ShapefileParts : public PointSink {
public:
    ShapefileParts(OutputSet &outputs, ShapefileSpec spec, PartPlan plan);
    ~ShapefileParts() override;

    void begin(uint64_t points, const double box[6]) override;
    void write(const Piece &piece) override;
    void finish(const Extent &written) override;

    // After the run: the parts written (1: one set, named NAME), the .shp of
    // each, and what the rows of all of them changed.
    uint64_t parts() const { return parts_.size(); }
    std::vector<std::string> shp_names() const;
    std::string value_changes() const;
    // The files an earlier conversion left that this one's would leave
    // wrong: spatial indexes and .prj not written now, the other form
    // (parts or one set) and parts beyond the new count.  Removed with the
    // commit.
    void remove_stale() const;

private:
    struct Part;
    Part &part(uint64_t k);
    void write_to(Part &part, const Piece &piece);
    void finish_part(Part &part);

    OutputSet &outputs_;
    ShapefileSpec spec_;
    PartPlan plan_;
    uint64_t announced_ = 0;
    double box_[6] = {};
    bool split_ = false;  // more than one part: each named NAME_partK
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Part>> parts_;
};
