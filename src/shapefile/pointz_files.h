// The .shp and .shx of one PointZ shapefile, open from their headers to the
// commit, written at fixed offsets (shp_layout.h): every record goes to its
// own place, so pieces can be written by several threads at once and in
// any order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/piece.h"
#include "io/output_file.h"
#include "io/output_set.h"

// NAME.shp's index file: its name with the last four characters replaced
// by ".shx".
std::string shx_name_for(const std::string &shpname);

// Beside NAME.shp, the spatial indexes readers find by name: shapelib's and
// MapServer's NAME.qix and ArcGIS's NAME.sbn and NAME.sbx.  One made for
// another .shp would make readers skip or invent points.
std::vector<std::string> spatial_index_names(const std::string &shpname);

class PointZFiles {
public:
    // Both files are outputs of `outputs`.
    PointZFiles(OutputSet &outputs, std::string shpname);

    // Create the main / index file with its header, the file length for
    // `records` records and the box Xmin, Ymin, Xmax, Ymax, Zmin, Zmax.
    void create_main(uint64_t records, const double box[6]);
    void create_index(uint64_t records, const double box[6]);

    // Writes the records and index entries of `count` points, file records
    // `first` (0-based) onwards.  Calls for disjoint ranges may run at the
    // same time on different threads.
    void write(const double *x, const double *y, const double *z, uint32_t count, uint64_t first);

    // Sets both file lengths to `records` records.
    void set_record_count(uint64_t records);
    // Rewrites the box of both headers.
    void write_box(const double box[6]);

    // Another name for the .shp (and .shx) before the commit.
    void rename(const std::string &shpname);

    const std::string &name() const { return shp_name_; }
    OutputFile *main_file() const { return shp_; }
    OutputFile *index_file() const { return shx_; }

private:
    OutputSet &outputs_;
    std::string shp_name_;
    OutputFile *shp_ = nullptr, *shx_ = nullptr;
};

// The box a finished shapefile's headers hold: `header_box` when it is
// finite and holds every point written (readers in the wild carry bounds
// that do not, or are not numbers at all), else the points' extent (zeros
// without points).  True when that is not `header_box`.
bool box_of_points(const double header_box[6], const Extent &written, double box[6]);
