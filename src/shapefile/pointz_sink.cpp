#include "shapefile/pointz_sink.h"

#include <cmath>

#include "base/failure.h"
#include "io/byte_order.h"

PointZSink::PointZSink(OutputSet &outputs, const std::string &shpname, std::string qixname, uint64_t max_points)
    : outputs_(outputs), files_(outputs, shpname), qixname_(std::move(qixname)), max_points_(max_points) {}

PointZSink::~PointZSink() = default;

void PointZSink::begin(uint64_t points, const double box[6]) {
    announced_ = points;
    std::copy(box, box + 6, box_);
    files_.create_main(points, box);
    files_.create_index(points, box);
    // Every point is to be written where the header's box says: the index
    // files them as they come, in that box (see write_index).
    if (!qixname_.empty() && std::isfinite(box[0])) {
        const double xy[4] = {box[0], box[1], box[2], box[3]};
        index_ = std::make_unique<QixBuilder>(qixname_, points, xy);
    }
}

void PointZSink::write(const Piece &piece) {
    if (piece.first + piece.count > max_points_)
        fail("%s would hold more than %llu points, more than a shapefile can hold; nothing was written",
             files_.name().c_str(), static_cast<unsigned long long>(max_points_));
    files_.write(piece.x, piece.y, piece.z, piece.count, piece.first);
    if (index_) index_->file(piece.first, piece.x, piece.y, piece.count);
}

void PointZSink::finish(const Extent &written) {
    if (written.points != announced_) files_.set_record_count(written.points);
    double box[6];
    if (box_of_points(box_, written, box)) files_.write_box(box);
    if (!qixname_.empty()) write_index(written.points);
}

void PointZSink::write_index(uint64_t points) {
    // The index of the .shp as a reader will see it: under the box its
    // header ends with.  The points filed as they were written make it when
    // they were all filed in that very box; otherwise (the box was fitted
    // to the points, or a selection kept some) it is made from the records
    // read back from the temporary, still in the page cache.
    const OutputFile *shp = files_.main_file();
    unsigned char header[shp::kBoxAt + 32];
    if (!shp->read_at(header, sizeof header, 0)) fail("Cannot read %s back for its spatial index", files_.name().c_str());
    const double box[4] = {load_le_double(header + shp::kBoxAt), load_le_double(header + shp::kBoxAt + 8),
                           load_le_double(header + shp::kBoxAt + 16), load_le_double(header + shp::kBoxAt + 24)};
    qix_ = outputs_.open(qixname_);
    const OutputFile *qix = qix_;
    const WriteAt write = [qix](const void *data, size_t n, uint64_t offset) { qix->put_at(data, n, offset); };
    if (index_ && index_->fits(points, box)) {
        index_->write(write);
    } else {
        index_.reset();  // its memory, before the same again
        write_qix(
            qixname_, [shp](uint64_t offset, void *buf, size_t n) { return shp->read_at(buf, n, offset); }, points,
            box, write);
    }
    index_.reset();
}

void PointZSink::close() {
    for (OutputFile *file : {files_.main_file(), files_.index_file(), qix_})
        if (file != nullptr) file->finish();
}

void PointZSink::rename(const std::string &shpname, std::string qixname) {
    files_.rename(shpname);
    if (!qixname_.empty()) qixname_ = std::move(qixname);
}
