// A PointZ shapefile as a sink of a run: NAME.shp and NAME.shx, and with an
// index NAME.qix, outputs of the run's set.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/point_sink.h"
#include "shapefile/pointz_files.h"
#include "shapefile/qix_writer.h"
#include "shapefile/shp_layout.h"

class PointZSink : public PointSink {
public:
    // `qixname` empty: no spatial index.  More than `max_points` records
    // are never written (a .shp cannot address them).
    PointZSink(OutputSet &outputs, const std::string &shpname, std::string qixname,
               uint64_t max_points = shp::kMaxPoints);
    ~PointZSink() override;

    void begin(uint64_t points, const double box[6]) override;
    void write(const Piece &piece) override;
    void finish(const Extent &written) override;

    // Syncs and closes its files (once finished): an output whose part is
    // done holds no descriptor until the commit.
    void close();
    // Other names, before it is finished.
    void rename(const std::string &shpname, std::string qixname);

    const PointZFiles &files() const { return files_; }

private:
    void write_index(uint64_t points);

    OutputSet &outputs_;
    PointZFiles files_;
    std::string qixname_;
    uint64_t max_points_;
    uint64_t announced_ = 0;
    double box_[6] = {};
    std::unique_ptr<QixBuilder> index_;  // the points filed as they are written
    OutputFile *qix_ = nullptr;
};
