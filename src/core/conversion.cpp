#include "core/conversion.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "console/console.h"
#include "core/limits.h"
#include "io/byte_order.h"
#include "io/large_buffer.h"
#include "lidar/las_check.h"
#include "projection/prj_writer.h"
#include "shapefile/qix_writer.h"

namespace {

struct FreeBlock {
    void operator()(void *block) const { std::free(block); }
};

CoordinateTransform transform_of(const LasHeader &h) {
    return {h.scale[0], h.scale[1], h.scale[2], h.offset[0], h.offset[1], h.offset[2]};
}

// The box beyond which a point is "far outside" the header's: more than ten
// times the box's own size (and at least 1000 steps of the scale) beyond it
// on some axis.  A box a writer merely got a little wrong stays well
// inside that; bytes damaged in a coordinate land far outside.  Writers leave the box empty or unset (zeros, NaN, min above max)
// often enough that such a box proves nothing: then nothing is far.
void far_limits(const LasHeader &h, double low[3], double high[3]) {
    bool ordered = true, set = false;
    for (int a = 0; a < 3; ++a) {
        if (!std::isfinite(h.min[a]) || !std::isfinite(h.max[a]) || h.min[a] > h.max[a]) ordered = false;
        if (h.min[a] != 0 || h.max[a] != 0) set = true;
    }
    const bool usable = ordered && set;
    for (int a = 0; a < 3; ++a) {
        const double margin = std::max(10 * (h.max[a] - h.min[a]), 1000 * std::fabs(h.scale[a]));
        low[a] = usable ? h.min[a] - margin : -HUGE_VAL;
        high[a] = usable ? h.max[a] + margin : HUGE_VAL;
    }
}

}  // namespace

uint64_t &kept_points_limit() {
    static uint64_t limit = kMaxShapefilePoints;
    return limit;
}

std::string far_points_warning(const std::string &name, uint64_t far, uint64_t points) {
    return ostrine::formatted("%s: %llu of %llu points lie far outside the box its header gives (beyond it by more "
                              "than ten times the box's own size); the file may be damaged",
                              name.c_str(), static_cast<unsigned long long>(far), static_cast<unsigned long long>(points));
}

void size_chunks_by_bytes(ConversionSetup &setup) {
    const size_t stride = std::max<size_t>(setup.stride, 1);
    setup.chunk_records = static_cast<int32_t>(std::min<size_t>(kChunkRecords, std::max<size_t>(1, kChunkBytes / stride)));
    setup.piece_records = static_cast<int32_t>(
        std::min<size_t>(static_cast<size_t>(setup.chunk_records), std::max<size_t>(1, std::min<size_t>(kPieceRecords, (1u << 20) / stride))));
}

Conversion::Conversion(ConversionSetup setup) : setup_(std::move(setup)), outputs_(setup_.no_clobber) {
    if (!setup_.create_dbf) setup_.create_dbf = [](DbfWriter &dbf) { dbf.create(); };
    const CoordinateTransform transform = transform_of(setup_.header);
    const size_t stride = setup_.stride;
    if (!setup_.write_shp)
        setup_.write_shp = [transform, stride](ShapefileWriter &shp, const Piece &p) {
            shp.write_points(p.records, stride, transform, p.count, p.output_first, p.first_in_chunk);
        };
    if (!setup_.write_dbf)
        setup_.write_dbf = [](DbfWriter &dbf, const Piece &p) { dbf.write_rows(p.records, p.count, p.output_first); };
}

Conversion::~Conversion() = default;

uint64_t Conversion::far_points() const { return shp_ ? shp_->far_points() : 0; }

ValueChanges Conversion::value_changes() { return dbf_ ? dbf_->value_changes() : ValueChanges{}; }

void Conversion::write_points() {
    const LasHeader &h = setup_.header;
    const size_t stride = setup_.stride;
    // Released however the run ends.
    const std::unique_ptr<unsigned char, FreeBlock> buffer(
        static_cast<unsigned char *>(allocate_large(stride * static_cast<size_t>(setup_.chunk_records))));
    if (buffer == nullptr) fail("Failed to allocate memory for return structure\n");
    // The coordinate vectors: allocated once per process and kept until it ends.
    if (_Xvec == nullptr) _Xvec = static_cast<double *>(allocate_large(sizeof(double) * kChunkRecords));
    if (_Yvec == nullptr && _Xvec) _Yvec = static_cast<double *>(allocate_large(sizeof(double) * kChunkRecords));
    if (_Zvec == nullptr && _Yvec) _Zvec = static_cast<double *>(allocate_large(sizeof(double) * kChunkRecords));
    if (_Zvec == nullptr) fail("\nFailed to allocate memory for X, Y, and Z coordinate vectors\n");

    // The shapefile takes minima first; the LAS header stores each maximum first.
    const double box[6] = {h.min[0], h.min[1], h.max[0], h.max[1], h.min[2], h.max[2]};
    const int32_t nReturns = static_cast<int32_t>(setup_.points);
    shp_ = std::make_unique<ShapefileWriter>(outputs_, setup_.shpname);
    dbf_ = std::make_unique<DbfWriter>(outputs_, setup_.dbfname, setup_.schema, stride);
    createSHPwHeader(*shp_, nReturns, box[0], box[1], box[2], box[3], box[4], box[5]);
    createSHXwHeader(*shp_, nReturns, box[0], box[1], box[2], box[3], box[4], box[5]);
    setup_.create_dbf(*dbf_);
    set_dbf_record_count(*dbf_, static_cast<uint32_t>(setup_.points));
    double low[3], high[3];
    far_limits(h, low, high);
    shp_->watch_far_points(low, high);
    if (setup_.selection != nullptr && setup_.selection->active()) {
        const double xy_box[4] = {h.min[0], h.min[1], h.max[0], h.max[1]};
        selection_ = std::make_unique<Selection>(*setup_.selection, kPointFormats[h.point_format()], stride, h.scale,
                                                 h.offset, xy_box);
    } else if (!setup_.qixname.empty()) {
        // Every point is written: the index files them as they are, in the
        // header's box (see write_index).
        index_ = std::make_unique<QixBuilder>(setup_.qixname, setup_.points, box);
    }

    {
        PiecePipeline pieces(buffer.get(), stride, setup_.chunk_records, setup_.piece_records,
                             {[this](const Piece &p) {
                                  setup_.write_shp(*shp_, p);
                                  // The writer left the piece's coordinates in the vectors.
                                  if (index_)
                                      index_->file(p.output_first, _Xvec + p.first_in_chunk, _Yvec + p.first_in_chunk,
                                                   static_cast<size_t>(p.count));
                              },
                              [this](const Piece &p) { setup_.write_dbf(*dbf_, p); }});
        const uint64_t chunk_records = static_cast<uint64_t>(setup_.chunk_records);
        const uint64_t full_chunks = setup_.points / chunk_records;
        const uint64_t chunks = full_chunks + (setup_.points % chunk_records != 0 ? 1 : 0);
        for (uint64_t chunk = 0; chunk < chunks; ++chunk) {
            const int32_t records = static_cast<int32_t>(std::min(chunk_records, setup_.points - chunk * chunk_records));
            // Each full chunk's progress line comes before it is read; the
            // final partial chunk has none.
            if (chunk < full_chunks && setup_.before_full_chunk) setup_.before_full_chunk(static_cast<int32_t>(chunk));
            for (int32_t first = 0; first < records; first += setup_.piece_records) {
                const int32_t count = std::min(setup_.piece_records, records - first);
                unsigned char *room = pieces.room_for(first);
                setup_.records->read(room, static_cast<uint32_t>(count));
                read_ += static_cast<uint64_t>(count);
                const int32_t kept =
                    selection_ ? static_cast<int32_t>(selection_->filter(room, static_cast<uint32_t>(count))) : count;
                // A selection is judged as the points are read: the limit
                // of a shapefile too.
                if (written_ + static_cast<uint64_t>(kept) > kept_points_limit())
                    fail("\nThe selection from %s keeps more than %llu points, more than a shapefile can hold; "
                         "nothing was written\n",
                         setup_.file->name().c_str(), static_cast<unsigned long long>(kept_points_limit()));
                if (kept > 0) pieces.submit({static_cast<int32_t>(chunk), first, kept, room, written_});
                written_ += static_cast<uint64_t>(kept);
                if (setup_.after_piece) setup_.after_piece(read_);
            }
        }
        pieces.finish();
    }
    setup_.records->finish();

    if (selection_) {
        // The headers were made for every point: they now get the kept
        // count and the kept points' extent.
        shp_->set_record_count(written_);
        dbf_->set_record_count(static_cast<uint32_t>(written_));
    } else {
        shp_->fit_header_box_to_points(box);
    }
}

void Conversion::write_index() {
    // The index of the .shp as a reader will see it: under the box its
    // header ends with.  The points filed as they were written make it when
    // they were all filed in that very box; otherwise (the box was fitted
    // to the points, or a selection kept some) it is made from the records
    // read back from the temporary, still in the page cache.
    const OutputFile *shp = shp_->main_file();
    unsigned char header[68];
    if (!shp->read_at(header, sizeof header, 0))
        fail("\nCannot read %s back for its spatial index\n", setup_.shpname.c_str());
    const double box[4] = {load_le_double(header + 36), load_le_double(header + 44), load_le_double(header + 52),
                           load_le_double(header + 60)};
    const OutputFile *qix = outputs_.open(setup_.qixname, "\nUnable to open file %s for writing\n");
    const WriteAt write = [qix](const void *data, size_t n, uint64_t offset) { qix->put_at(data, n, offset); };
    if (index_ && index_->fits(written_, box)) {
        index_->write(write);
    } else {
        index_.reset();  // its memory, before the same again
        write_qix(
            setup_.qixname, [shp](uint64_t offset, void *buf, size_t n) { return shp->read_at(buf, n, offset); },
            written_, box, write);
    }
    index_.reset();
}

void Conversion::commit() {
    write_prj(outputs_, setup_.prjname, setup_.crs);
    if (!setup_.qixname.empty()) write_index();
    for (const std::string &name : spatial_index_names(setup_.shpname))
        if (name != setup_.qixname) outputs_.remove_on_commit(name);
    outputs_.commit([this] { setup_.file->confirm_unchanged(); });
}
