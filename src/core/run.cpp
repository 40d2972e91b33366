#include "core/run.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>

#include "base/failure.h"
#include "base/text.h"
#include "core/piece_pipeline.h"
#include "io/large_buffer.h"

namespace {

using ull = unsigned long long;

// The box beyond which a point is "far outside" the header's: more than ten
// times the box's own size (and at least 1000 steps of the scale) beyond it
// on some axis.  A box a writer merely got a little wrong stays well inside
// that; bytes damaged in a coordinate land far outside.  Writers leave the
// box empty or unset (zeros, NaN, min above max) often enough that such a
// box proves nothing: then nothing is far.
struct FarLimits {
    double low[3], high[3];
    explicit FarLimits(const LasHeader &h) {
        bool ordered = true, set = false;
        for (int a = 0; a < 3; ++a) {
            if (!std::isfinite(h.min[a]) || !std::isfinite(h.max[a]) || h.min[a] > h.max[a]) ordered = false;
            if (h.min[a] != 0 || h.max[a] != 0) set = true;
        }
        for (int a = 0; a < 3; ++a) {
            const double margin = std::max(10 * (h.max[a] - h.min[a]), 1000 * std::fabs(h.scale[a]));
            low[a] = ordered && set ? h.min[a] - margin : -HUGE_VAL;
            high[a] = ordered && set ? h.max[a] + margin : HUGE_VAL;
        }
    }
    bool far(const double xyz[3]) const {
        return (xyz[0] < low[0]) | (xyz[0] > high[0]) | (xyz[1] < low[1]) | (xyz[1] > high[1]) | (xyz[2] < low[2]) |
               (xyz[2] > high[2]);
    }
};

// A point the transform could not move: the earliest one any worker met.
struct Untransformed {
    bool found = false;
    uint64_t record = 0;  // 0-based, in the input
    double xyz[3] = {};
    std::string why;      // PROJ's words
};

class Run {
public:
    explicit Run(const RunSetup &setup);
    RunResult go();

private:
    void begin_sinks();
    void read_chunk(uint64_t chunk, int32_t records);
    Extent coordinates(const Piece &piece) const;
    uint64_t far_points(const Piece &piece, const Extent &source) const;
    void process(const Piece &piece, unsigned worker);
    void transform(const Piece &piece, unsigned worker);
    [[noreturn]] void fail_untransformed() const;

    const RunSetup &s_;
    LargeBuffer<unsigned char> buffer_;
    LargeBuffer<double> own_[3];
    double *xyz_[3];
    std::vector<uint32_t> kept_at_;  // with a selection: where each kept record was read
    std::unique_ptr<Selection> selection_;
    std::unique_ptr<PiecePipeline> pieces_;
    FarLimits far_limits_;
    std::mutex mutex_;  // guards result_ and untransformed_
    RunResult result_;
    Untransformed untransformed_;
};

Run::Run(const RunSetup &setup) : s_(setup), far_limits_(setup.header) {
    const size_t chunk = static_cast<size_t>(s_.chunk_records);
    buffer_.reset(static_cast<unsigned char *>(allocate_large(s_.stride * chunk)));
    if (!buffer_) fail_same_line("Failed to allocate memory for return structure");
    for (int a = 0; a < 3; ++a) {
        xyz_[a] = s_.coordinates[a];
        if (xyz_[a] != nullptr) continue;
        own_[a].reset(static_cast<double *>(allocate_large(sizeof(double) * chunk)));
        if (!own_[a]) fail("Failed to allocate memory for X, Y, and Z coordinate vectors");
        xyz_[a] = own_[a].get();
    }
    const LasHeader &h = s_.header;
    if (s_.selection != nullptr && s_.selection->active()) {
        const double xy_box[4] = {h.min[0], h.min[1], h.max[0], h.max[1]};
        selection_ = std::make_unique<Selection>(*s_.selection, kPointFormats[h.point_format()], s_.stride, h.scale,
                                                 h.offset, xy_box, s_.thin_grid_bytes);
        if (s_.transform != nullptr) kept_at_.resize(chunk);
    }
}

void Run::begin_sinks() {
    // The header's box holds the points only when every one is written
    // where it was stored.
    const LasHeader &h = s_.header;
    const bool header_box = !selection_ && s_.transform == nullptr;
    const double box[6] = {h.min[0], h.min[1], h.max[0], h.max[1], h.min[2], h.max[2]};
    double none[6];
    std::fill(none, none + 6, std::nan(""));
    for (PointSink *sink : s_.sinks) sink->begin(s_.points, header_box ? box : none);
}

RunResult Run::go() {
    begin_sinks();
    pieces_ = std::make_unique<PiecePipeline>(buffer_.get(), s_.stride, s_.chunk_records, s_.piece_records,
                                              [this](const Piece &p, unsigned worker) { process(p, worker); });
    const uint64_t chunk_records = static_cast<uint64_t>(s_.chunk_records);
    const uint64_t full_chunks = s_.points / chunk_records;
    const uint64_t chunks = full_chunks + (s_.points % chunk_records != 0 ? 1 : 0);
    for (uint64_t chunk = 0; chunk < chunks && !untransformed_.found; ++chunk) {
        // Each full chunk's progress line comes before it is read; the final
        // partial chunk has none.
        if (chunk < full_chunks && s_.before_full_chunk) s_.before_full_chunk(static_cast<int32_t>(chunk));
        read_chunk(chunk, static_cast<int32_t>(std::min(chunk_records, s_.points - chunk * chunk_records)));
    }
    pieces_->finish();
    pieces_.reset();
    if (untransformed_.found) fail_untransformed();
    s_.records->finish();
    for (PointSink *sink : s_.sinks) sink->finish(result_.extent);
    return result_;
}

void Run::read_chunk(uint64_t chunk, int32_t records) {
    for (int32_t first = 0; first < records && !untransformed_.found; first += s_.piece_records) {
        const int32_t count = std::min(s_.piece_records, records - first);
        unsigned char *room = pieces_->room_for(first);
        s_.records->read(room, static_cast<uint32_t>(count));
        result_.read += static_cast<uint64_t>(count);
        uint32_t kept = static_cast<uint32_t>(count);
        if (selection_)
            kept = selection_->filter(room, kept, kept_at_.empty() ? nullptr : kept_at_.data() + first);
        if (kept > 0)
            pieces_->submit({room, s_.stride, kept, result_.written, static_cast<int32_t>(chunk), first, nullptr,
                             nullptr, nullptr, {}});
        result_.written += kept;
        if (s_.after_piece) s_.after_piece(result_.read);
    }
}

// The piece's coordinates, stored integer x scale + offset, into the run's
// arrays; their extent.
Extent Run::coordinates(const Piece &piece) const {
    const LasHeader &h = s_.header;
    double *x = xyz_[0] + piece.first_in_chunk, *y = xyz_[1] + piece.first_in_chunk, *z = xyz_[2] + piece.first_in_chunk;
    const unsigned char *r = piece.records;
    for (uint32_t i = 0; i < piece.count; ++i, r += piece.stride) {
        x[i] = scaled(stored_coordinate(r, 0), h.scale[0], h.offset[0]);
        y[i] = scaled(stored_coordinate(r, 1), h.scale[1], h.offset[1]);
        z[i] = scaled(stored_coordinate(r, 2), h.scale[2], h.offset[2]);
    }
    return extent_of(x, y, z, piece.count);
}

// The points of a piece far outside the header's box: counted one by one
// only when its extent reaches out there.
uint64_t Run::far_points(const Piece &piece, const Extent &source) const {
    const double lo[3] = {source.min[0], source.min[1], source.min[2]}, hi[3] = {source.max[0], source.max[1], source.max[2]};
    if (!far_limits_.far(lo) && !far_limits_.far(hi)) return 0;
    uint64_t far = 0;
    for (uint32_t i = 0; i < piece.count; ++i) {
        const double p[3] = {piece.x[i], piece.y[i], piece.z[i]};
        far += far_limits_.far(p);
    }
    return far;
}

void Run::process(const Piece &read, unsigned worker) {
    Piece piece = read;
    const size_t at = static_cast<size_t>(piece.first_in_chunk);
    piece.x = xyz_[0] + at;
    piece.y = xyz_[1] + at;
    piece.z = xyz_[2] + at;
    piece.extent = coordinates(piece);
    const uint64_t far = far_points(piece, piece.extent);
    if (s_.transform != nullptr) {
        transform(piece, worker);
        piece.extent = extent_of(piece.x, piece.y, piece.z, piece.count);
    }
    {
        const std::lock_guard lock(mutex_);
        if (untransformed_.found) return;
        result_.far += far;
        result_.extent.add(piece.extent);
    }
    for (PointSink *sink : s_.sinks) sink->write(piece);
}

void Run::transform(const Piece &piece, unsigned worker) {
    double *x = xyz_[0] + piece.first_in_chunk, *y = xyz_[1] + piece.first_in_chunk, *z = xyz_[2] + piece.first_in_chunk;
    std::string why;
    const size_t done = s_.transform->transform(worker, x, y, z, piece.count, &why);
    if (done == piece.count) return;
    // Where the point was read: the records kept by a selection say where
    // they were in their piece.
    const uint64_t in_chunk = static_cast<uint64_t>(piece.first_in_chunk) +
                              (kept_at_.empty() ? done : kept_at_[static_cast<size_t>(piece.first_in_chunk) + done]);
    const uint64_t record = static_cast<uint64_t>(piece.chunk) * static_cast<uint64_t>(s_.chunk_records) + in_chunk;
    const std::lock_guard lock(mutex_);
    if (untransformed_.found && untransformed_.record <= record) return;
    untransformed_ = {true, record, {x[done], y[done], z[done]}, why};
}

void Run::fail_untransformed() const {
    const Untransformed &u = untransformed_;
    fail("%s: point %llu (%.17g, %.17g, %.17g) cannot be transformed to the target coordinate system%s; nothing was "
         "written",
         s_.name.c_str(), static_cast<ull>(u.record + 1), u.xyz[0], u.xyz[1], u.xyz[2],
         u.why.empty() ? "" : (" (PROJ: " + u.why + ")").c_str());
}

}  // namespace

void pieces_by_bytes(RunSetup &setup) {
    const size_t stride = std::max<size_t>(setup.stride, 1);
    setup.chunk_records = static_cast<int32_t>(std::min<size_t>(kChunkRecords, std::max<size_t>(1, kChunkBytes / stride)));
    setup.piece_records = static_cast<int32_t>(std::min<size_t>(
        static_cast<size_t>(setup.chunk_records), std::max<size_t>(1, std::min<size_t>(kPieceRecords, (1u << 20) / stride))));
}

RunResult run_points(const RunSetup &setup) { return Run(setup).go(); }

std::string far_points_warning(const std::string &name, uint64_t far, uint64_t points) {
    return formatted("%s: %llu of %llu points lie far outside the box its header gives (beyond it by more than ten "
                     "times the box's own size); the file may be damaged",
                     name.c_str(), static_cast<ull>(far), static_cast<ull>(points));
}
