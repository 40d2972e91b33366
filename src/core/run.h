// One run of points: from the record source, chunk by chunk and piece by
// piece, through the selection (on the main thread, as the records
// arrive), then on worker threads the coordinates, the transform and every
// sink.  The run knows nothing of either command line or of what the
// sinks write: the front end assembles them and commits the output set.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/piece.h"
#include "core/point_sink.h"
#include "las/las_header.h"
#include "las/record_source.h"
#include "projection/point_transform.h"
#include "select/selection.h"

// Point records pass through a run in chunks of at most this many records
// (Pelmora's chunks are exactly this: its progress lines count them).
constexpr int32_t kChunkRecords = 1000000;
// pelmora-convert bounds its point buffer in bytes too (records may be up
// to 65,535 bytes long with extra bytes).
constexpr size_t kChunkBytes = 34u << 20;
// A chunk is cut into pieces that worker threads process while the next
// ones are read: 32 pieces a chunk of 1,000,000 keep both cores busy from
// the first piece on, and each piece's output (at most 1.7 MB) in the caches.
constexpr int32_t kPieceRecords = 31250;

struct RunSetup {
    std::string name;                 // the input, for messages
    RecordSource *records = nullptr;
    LasHeader header;                 // scales, offsets, box, point format
    uint64_t points = 0;              // records to read
    uint16_t stride = 0;              // bytes a record
    // Records a chunk, and a piece of one (pieces_by_bytes() chooses them
    // for a record length; Pelmora keeps its chunks of 1,000,000).
    int32_t chunk_records = 0, piece_records = 0;
    const SelectionOptions *selection = nullptr;  // nullptr or inactive: every point
    uint64_t thin_grid_bytes = kThinGridMemory;
    const PointTransform *transform = nullptr;    // nullptr: coordinates as stored
    std::vector<PointSink *> sinks;
    // Chunk-sized arrays to compute the coordinates into (Pelmora's
    // vectors); nullptr: the run's own.
    double *coordinates[3] = {nullptr, nullptr, nullptr};

    // Console hooks: before each full chunk is read, and after each piece.
    std::function<void(int32_t chunk)> before_full_chunk;
    std::function<void(uint64_t records_read)> after_piece;
};

struct RunResult {
    uint64_t read = 0;
    uint64_t written = 0;
    uint64_t far = 0;  // points far outside the header's box (see far_points_warning)
    Extent extent;     // of the points written
};

// At most 1,000,000 records and 34 MB a chunk, pieces of about a megabyte.
void pieces_by_bytes(RunSetup &setup);

// Runs it; fails (a Failure) on any error, the outputs then abandoned.
RunResult run_points(const RunSetup &setup);

// The warning for points far outside the header's box (a damaged file
// that still decodes): how many of how many, and what it may mean.
std::string far_points_warning(const std::string &name, uint64_t far, uint64_t points);
