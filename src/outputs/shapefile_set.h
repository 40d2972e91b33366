// The outputs pelmora-convert writes for one input: a shapefile set
// (NAME.shp, NAME.shx, NAME.dbf, NAME.prj when there is a coordinate
// system, NAME.qix when asked for) as one sink of the run, each file an
// output of the run's set.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/point_sink.h"
#include "dbf/dbf_table.h"
#include "io/output_set.h"
#include "projection/esri_wkt.h"
#include "shapefile/pointz_sink.h"

// What a shapefile set is made of.
struct ShapefileSpec {
    std::string stem;       // NAME, with its directory: the outputs are NAME.shp, ...
    bool index = false;     // NAME.qix too
    EsriWkt crs;            // NAME.prj when it is Written
    DbfSchema schema;       // the table's fields
    size_t stride = 0;      // bytes a point record
    AddField add_field = DBFAddField;

    std::string shp() const { return stem + ".shp"; }
    std::string dbf() const { return stem + ".dbf"; }
    std::string prj() const { return stem + ".prj"; }
    std::string qix() const { return stem + ".qix"; }
    // The files written, in the order they are checked and reported.
    std::vector<std::string> outputs() const;
    // The files beside them that describe the geometry and go when it is
    // replaced: a spatial index or .prj not written by this conversion.
    std::vector<std::string> companions() const;
};

class ShapefileSet : public PointSink {
public:
    ShapefileSet(OutputSet &outputs, ShapefileSpec spec);

    void begin(uint64_t points, const double box[6]) override;
    void write(const Piece &piece) override;
    void finish(const Extent &written) override;

    // Syncs and closes its files, once finished.
    void close();
    // Another stem for all its files, before it is finished.
    void rename(const std::string &stem);
    // The companions left from an earlier conversion are removed with the commit.
    void remove_stale_companions();
    // What the rows wrote other than as printf would have, of `schema()`.
    ValueChanges value_changes() { return dbf_.table().value_changes(); }
    const DbfSchema &schema() const { return spec_.schema; }
    const ShapefileSpec &spec() const { return spec_; }

private:
    OutputSet &outputs_;
    ShapefileSpec spec_;
    PointZSink shp_;
    DbfSink dbf_;
    OutputFile *prj_ = nullptr;
};
