#include "output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "console/console.h"

struct Block {
    std::unique_ptr<unsigned char[]> bytes{new unsigned char[OutputFile::kBlockBytes]};
    size_t size = 0;
    int fd = -1;
};

namespace {

// Writes every byte or returns the errno of the failure (0 for a write that
// made no progress, as a full device can).
int write_all(int fd, const unsigned char *bytes, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return ENOSPC;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

// One background thread writes queued blocks in order.  A small fixed pool of
// blocks bounds memory: the producer waits when all are in flight.  The first
// failure is kept and reported by the producer's thread.
class BlockWriter {
public:
    static BlockWriter &instance() {
        try {
            static BlockWriter writer;
            return writer;
        } catch (const std::bad_alloc &) {
            fail("\nFailed to allocate memory for output buffers\n");
        }
    }

    Block *acquire() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !free_.empty(); });
        Block *b = free_.back();
        free_.pop_back();
        return b;
    }

    void release(Block *b) {
        std::lock_guard lock(mutex_);
        free_.push_back(b);
        changed_.notify_all();
    }

    void submit(Block *b) {
        std::unique_lock lock(mutex_);
        if (!thread_.joinable() && !synchronous_) {
            try {
                thread_ = std::thread([this] { run(); });
            } catch (const std::system_error &) {
                synchronous_ = true;  // no thread to be had: write in the caller's thread
            }
        }
        if (synchronous_) {
            const int error = error_ != 0 ? 0 : write_all(b->fd, b->bytes.get(), b->size);
            if (error != 0) error_ = error;
            free_.push_back(b);
            return;
        }
        queue_.push_back(b);
        changed_.notify_all();
    }

    // Waits until everything queued is written; returns the first error
    // since the last call (0 if none).
    int drain() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return queue_.empty() && !busy_; });
        const int error = error_;
        error_ = 0;
        return error;
    }

    ~BlockWriter() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
            changed_.notify_all();
        }
        if (thread_.joinable()) thread_.join();
    }

private:
    static constexpr int kPoolBlocks = 4;

    BlockWriter() {
        for (int i = 0; i < kPoolBlocks; ++i) {
            pool_.push_back(std::make_unique<Block>());
            free_.push_back(pool_.back().get());
        }
    }

    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return stop_ || !queue_.empty(); });
            if (queue_.empty()) return;
            Block *b = queue_.front();
            queue_.pop_front();
            busy_ = true;
            const bool skip = error_ != 0;  // after a failure, nothing more is written
            lock.unlock();
            const int error = skip ? 0 : write_all(b->fd, b->bytes.get(), b->size);
            lock.lock();
            busy_ = false;
            if (error != 0 && error_ == 0) error_ = error;
            free_.push_back(b);
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::unique_ptr<Block>> pool_;
    std::vector<Block *> free_;
    std::deque<Block *> queue_;
    bool busy_ = false;
    bool stop_ = false;
    bool synchronous_ = false;
    int error_ = 0;
    std::thread thread_;
};

int open_flags(OutputFile::Mode mode) {
    switch (mode) {
        case OutputFile::Mode::Create: return O_WRONLY | O_CREAT | O_TRUNC;
        case OutputFile::Mode::Append: return O_WRONLY | O_CREAT | O_APPEND;
        case OutputFile::Mode::Update: return O_WRONLY;
    }
    return O_WRONLY;
}

}  // namespace

OutputFile::OutputFile(std::string path, Mode mode, const char *open_failure_format) : path_(std::move(path)) {
    fd_ = ::open(path_.c_str(), open_flags(mode) | O_CLOEXEC, 0666);
    if (fd_ < 0) fail(open_failure_format, path_.c_str());
}

OutputFile::~OutputFile() {
    if (fd_ < 0) return;
    // Only reached when the run is being abandoned: let queued writes finish
    // before the descriptor goes away.
    BlockWriter::instance().drain();
    if (reserved_ != nullptr) BlockWriter::instance().release(reserved_);
    ::close(fd_);
}

unsigned char *OutputFile::reserve() {
    if (reserved_ == nullptr) reserved_ = BlockWriter::instance().acquire();
    return reserved_->bytes.get();
}

void OutputFile::commit(size_t size) {
    Block *b = reserved_;
    reserved_ = nullptr;
    b->size = size;
    b->fd = fd_;
    BlockWriter::instance().submit(b);
}

void OutputFile::write(const void *data, size_t size) {
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    while (size > 0) {
        const size_t n = size < kBlockBytes ? size : kBlockBytes;
        std::memcpy(reserve(), bytes, n);
        commit(n);
        bytes += n;
        size -= n;
    }
}

void OutputFile::check_queued_writes() {
    const int error = BlockWriter::instance().drain();
    if (error != 0) fail("\nFailed to write %s: %s\n", path_.c_str(), std::strerror(error));
}

void OutputFile::write_at(uint64_t offset, const void *data, size_t size) {
    check_queued_writes();
    const char *bytes = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = ::pwrite(fd_, bytes, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail("\nFailed to write %s: %s\n", path_.c_str(), std::strerror(n < 0 ? errno : ENOSPC));
        bytes += n;
        offset += static_cast<uint64_t>(n);
        size -= static_cast<size_t>(n);
    }
}

void OutputFile::close() {
    check_queued_writes();
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) fail("\nFailed to close %s: %s\n", path_.c_str(), std::strerror(errno));
}
