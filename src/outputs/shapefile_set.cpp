#include "outputs/shapefile_set.h"

#include <algorithm>

#include "projection/prj_writer.h"
#include "shapefile/pointz_files.h"

std::vector<std::string> ShapefileSpec::outputs() const {
    std::vector<std::string> names = {shp(), shx_name_for(shp()), dbf()};
    if (crs.outcome == EsriWkt::Outcome::Written) names.push_back(prj());
    if (index) names.push_back(qix());
    return names;
}

std::vector<std::string> ShapefileSpec::companions() const {
    std::vector<std::string> names;
    for (const std::string &name : spatial_index_names(shp()))
        if (!(index && name == qix())) names.push_back(name);
    if (crs.outcome != EsriWkt::Outcome::Written) names.push_back(prj());
    return names;
}

ShapefileSet::ShapefileSet(OutputSet &outputs, ShapefileSpec spec)
    : outputs_(outputs),
      spec_(std::move(spec)),
      shp_(outputs, spec_.shp(), spec_.index ? spec_.qix() : ""),
      dbf_(outputs, spec_.dbf(), spec_.schema, spec_.stride, spec_.add_field) {}

void ShapefileSet::begin(uint64_t points, const double box[6]) {
    shp_.begin(points, box);
    dbf_.begin(points, box);
}

void ShapefileSet::write(const Piece &piece) {
    shp_.write(piece);
    dbf_.write(piece);
}

void ShapefileSet::finish(const Extent &written) {
    shp_.finish(written);
    dbf_.finish(written);
    prj_ = write_prj(outputs_, spec_.prj(), spec_.crs);
}

void ShapefileSet::rename(const std::string &stem) {
    spec_.stem = stem;
    shp_.rename(spec_.shp(), spec_.qix());
    dbf_.table().rename(spec_.dbf());
}

void ShapefileSet::close() {
    shp_.close();
    if (OutputFile *dbf = dbf_.table().file()) dbf->finish();
    if (prj_ != nullptr) prj_->finish();
}

void ShapefileSet::remove_stale_companions() {
    for (const std::string &name : spec_.companions()) {
        const bool index = name.ends_with(".prj") ? false : true;
        outputs_.remove_on_commit(name, index ? "a spatial index of the replaced shapefile"
                                              : "the coordinate system of the replaced shapefile");
    }
}
