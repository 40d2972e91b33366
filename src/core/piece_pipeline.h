// The chunks of a run, cut into pieces that worker threads process while
// the run reads the next ones.
//
// The point buffer holds one chunk; it is used as a ring of pieces.  Each
// piece is handed to the job on some worker, at the same time as other
// pieces: the sinks place every record at its own offset of its file (the
// piece knows the output number of its first record), so the order in
// which pieces finish does not matter.  A piece's room in the buffer is
// read into again only once its job is done.  Memory stays at one chunk.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "core/piece.h"

class PiecePipeline {
public:
    // What a worker does with a piece; `worker` numbers the thread running
    // it (0 .. workers() - 1), for state kept per thread.
    using Job = std::function<void(const Piece &, unsigned worker)>;

    // `buffer` holds one chunk of `chunk_records` records of `stride`
    // bytes, read in pieces of `piece_records`.  Without worker threads
    // (none could be started), the job runs in submit().
    PiecePipeline(unsigned char *buffer, size_t stride, int32_t chunk_records, int32_t piece_records, Job job);
    // Waits for the jobs under way; the rest are dropped.
    ~PiecePipeline();
    PiecePipeline(const PiecePipeline &) = delete;
    PiecePipeline &operator=(const PiecePipeline &) = delete;

    // The most worker threads a pipeline starts.
    static unsigned worker_count();

    // Room for the records of the piece from `first_in_chunk` on, once the
    // job of the piece that used it last is done.  Rethrows a job's failure.
    unsigned char *room_for(int32_t first_in_chunk);
    // Hands a filled piece to the job.
    void submit(const Piece &piece);
    // Waits for every job; rethrows the first failure of any.
    void finish();

private:
    void work(unsigned worker);
    void run_job(const Piece &piece, unsigned worker);
    void rethrow_failure();  // with the mutex held
    size_t slot_of(const Piece &piece) const { return static_cast<size_t>(piece.first_in_chunk / piece_records_); }

    unsigned char *buffer_;
    size_t stride_;
    int32_t piece_records_;
    Job job_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Piece> queue_;
    std::vector<int> pending_;  // jobs not done, per piece of the chunk
    int pending_total_ = 0;
    std::exception_ptr failure_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};
