#include "core/piece_pipeline.h"

#include <algorithm>
#include <system_error>

#include "io/interrupts.h"

unsigned PiecePipeline::worker_count() {
    // One worker a core (at most four: beyond that the disk is the limit).
    return std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
}

PiecePipeline::PiecePipeline(unsigned char *buffer, size_t stride, int32_t chunk_records, int32_t piece_records,
                             Job job)
    : buffer_(buffer),
      stride_(stride),
      piece_records_(piece_records),
      job_(std::move(job)),
      pending_(static_cast<size_t>((chunk_records + piece_records - 1) / piece_records), 0) {
    // Workers never take an interrupt: the main thread's handler removes the
    // temporaries while they are still being written.
    const SignalsBlocked blocked;
    for (unsigned i = 0; i < worker_count(); ++i) {
        try {
            workers_.emplace_back([this, i] { work(i); });
        } catch (const std::system_error &) {
            break;  // no thread to be had: the jobs run in submit()
        }
    }
}

PiecePipeline::~PiecePipeline() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
        changed_.notify_all();
    }
    for (std::thread &worker : workers_) worker.join();
}

void PiecePipeline::rethrow_failure() {
    if (failure_) std::rethrow_exception(failure_);
}

unsigned char *PiecePipeline::room_for(int32_t first_in_chunk) {
    const size_t slot = static_cast<size_t>(first_in_chunk / piece_records_);
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return pending_[slot] == 0 || failure_; });
    rethrow_failure();
    return buffer_ + static_cast<size_t>(first_in_chunk) * stride_;
}

void PiecePipeline::run_job(const Piece &piece, unsigned worker) {
    try {
        job_(piece, worker);
    } catch (...) {
        const std::lock_guard lock(mutex_);
        if (!failure_) failure_ = std::current_exception();
    }
}

void PiecePipeline::submit(const Piece &piece) {
    if (workers_.empty()) {
        run_job(piece, 0);
        const std::lock_guard lock(mutex_);
        rethrow_failure();
        return;
    }
    const std::lock_guard lock(mutex_);
    rethrow_failure();
    queue_.push_back(piece);
    ++pending_[slot_of(piece)];
    ++pending_total_;
    changed_.notify_all();
}

void PiecePipeline::finish() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return pending_total_ == 0; });
    rethrow_failure();
}

void PiecePipeline::work(unsigned worker) {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        const Piece piece = queue_.front();
        queue_.pop_front();
        const bool skip = static_cast<bool>(failure_);  // after a failure, nothing more is written
        lock.unlock();
        if (!skip) run_job(piece, worker);
        lock.lock();
        --pending_[slot_of(piece)];
        --pending_total_;
        changed_.notify_all();
    }
}
