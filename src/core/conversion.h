// One conversion: point records from a record source through the PointZ
// writer and the row writer into an output set, committed whole.
//
// The run knows nothing of either command line.  Its caller (Pelmora or
// pelmora-convert) has checked the input, chosen the names, the table's
// schema and the selection, and prints what it wants to at the hooks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/piece_pipeline.h"
#include "dbf/dbf_schema.h"
#include "dbf/dbf_writer.h"
#include "io/output_set.h"
#include "las/las_file.h"
#include "las/las_header.h"
#include "las/record_source.h"
#include "projection/esri_wkt.h"
#include "select/selection.h"
#include "shapefile/qix_writer.h"
#include "shapefile/shp_writer.h"

struct ConversionSetup {
    LasFile *file = nullptr;          // the input: its last check before the commit
    RecordSource *records = nullptr;  // where the records come from
    LasHeader header;                 // scales, offsets, box
    uint64_t points = 0;              // records to read
    uint16_t stride = 0;              // bytes a record
    std::string shpname, dbfname, prjname;
    std::string qixname;              // "" without a spatial index
    DbfSchema schema;
    EsriWkt crs;
    const SelectionOptions *selection = nullptr;  // nullptr: every point
    bool no_clobber = false;
    // Records a chunk, and a piece of one.
    int32_t chunk_records = 0, piece_records = 0;

    // The writers, one call per piece; by default the generic ones.  Pelmora
    // passes its numbered functions of the variant.
    std::function<void(DbfWriter &)> create_dbf;
    std::function<void(ShapefileWriter &, const Piece &)> write_shp;
    std::function<void(DbfWriter &, const Piece &)> write_dbf;

    // Console hooks: before each full chunk is read, and after each piece.
    std::function<void(int32_t chunk)> before_full_chunk;
    std::function<void(uint64_t records_read)> after_piece;
};

// The warning for points far outside the header's box (a damaged file
// that still decodes): how many of how many, and what it may mean.
std::string far_points_warning(const std::string &name, uint64_t far, uint64_t points);

// For pelmora-convert: chunks of at most kChunkRecords records and
// kChunkBytes bytes, pieces of about a megabyte.
void size_chunks_by_bytes(ConversionSetup &setup);

class Conversion {
public:
    explicit Conversion(ConversionSetup setup);
    ~Conversion();

    // Writes the headers and every point.  Fails (a Failure) on any error;
    // the outputs are then abandoned.
    void write_points();

    // Writes the .prj (and the .qix), syncs every output, checks the input
    // one last time and commits the whole set.
    void commit();

    uint64_t records_read() const { return read_; }
    uint64_t points_written() const { return written_; }
    uint64_t far_points() const;
    ValueChanges value_changes();
    const DbfSchema &schema() const { return setup_.schema; }
    uint64_t output_bytes() const { return outputs_.bytes(); }
    // The set every output of the run belongs to (for one the caller adds).
    OutputSet &outputs() { return outputs_; }
    const std::vector<std::string> &warnings() const { return outputs_.warnings(); }

private:
    // NAME.qix, one more output of the set, from the finished .shp.
    void write_index();

    ConversionSetup setup_;
    OutputSet outputs_;
    std::unique_ptr<ShapefileWriter> shp_;
    std::unique_ptr<DbfWriter> dbf_;
    std::unique_ptr<Selection> selection_;
    std::unique_ptr<QixBuilder> index_;  // the points filed as they are written
    uint64_t read_ = 0, written_ = 0;
};
