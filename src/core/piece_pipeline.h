// The chunks of a run, cut into pieces that worker threads format while the
// run reads the next ones.
//
// The point buffer holds one chunk; it is used as a ring of pieces.  Every
// piece is handed to each job (the PointZ writer and the row writer), which
// may run on any worker and at the same time as other pieces' jobs: the
// writers place every record at its own offset of its file (the piece knows
// the output index of its first record), so the order in which pieces
// finish does not matter.  A piece's room in the buffer is read into again
// only once all its jobs are done.  Memory stays at one chunk.
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

struct Piece {
    int32_t chunk;           // 0-based chunk of the file
    int32_t first_in_chunk;  // the first record read into it, within the chunk
    int32_t count;           // records in the piece (those kept, with a selection)
    unsigned char *records;  // where they are in the point buffer
    uint64_t output_first;   // the output record (0-based) of its first record
};

class PiecePipeline {
public:
    using Job = std::function<void(const Piece &)>;

    // `buffer` holds one chunk of `chunk_records` records of `stride`
    // bytes, read in pieces of `piece_records`.  Without worker threads
    // (none could be started), the jobs run in submit().
    PiecePipeline(unsigned char *buffer, size_t stride, int32_t chunk_records, int32_t piece_records,
                  std::vector<Job> jobs);
    // Waits for the jobs under way; the rest are dropped.
    ~PiecePipeline();
    PiecePipeline(const PiecePipeline &) = delete;
    PiecePipeline &operator=(const PiecePipeline &) = delete;

    // Room for the records of the piece from `first_in_chunk` on, once the
    // jobs of the piece that used it last are done.  Rethrows a job's failure.
    unsigned char *room_for(int32_t first_in_chunk);
    // Hands a filled piece to every job.
    void submit(const Piece &piece);
    // Waits for every job; rethrows the first failure of any.
    void finish();

private:
    struct Task {
        size_t job;
        Piece piece;
    };
    void work();
    void run_task(const Task &task);
    void rethrow_failure();  // with the mutex held

    unsigned char *buffer_;
    size_t stride_;
    int32_t piece_records_;
    std::vector<Job> jobs_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Task> queue_;
    std::vector<int> pending_;  // jobs not done, per piece of the chunk
    int pending_total_ = 0;
    std::exception_ptr failure_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};
