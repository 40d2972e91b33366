// An output file whose every write and close is checked, written through a
// background thread so that formatting the next block overlaps the kernel's
// copy of the previous one.
//
// Any failure (disk full, I/O error, file-size limit) prints a message naming
// the file and ends the process with status -1, so a run can never finish
// with "Elapsed time" over a truncated output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class OutputFile {
public:
    enum class Mode {
        Create,  // create or truncate ("wb")
        Append,  // every write lands at the end ("ab")
        Update,  // existing file, written in place ("rb+")
    };

    // Bytes one reserved block holds.
    static constexpr size_t kBlockBytes = 4u << 20;

    // On failure to open, prints `open_failure_format` (one %s: the name)
    // and ends the process with status -1.
    OutputFile(std::string path, Mode mode, const char *open_failure_format);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // A block of kBlockBytes to fill; `commit` queues its first `size` bytes
    // behind everything queued before.  At most one block is reserved at a time.
    unsigned char *reserve();
    void commit(size_t size);

    // Queues a copy of `data` (any size).
    void write(const void *data, size_t size);
    // Writes in place, after everything queued has been written.
    void write_at(uint64_t offset, const void *data, size_t size);
    // Waits for the queued writes, closes, and checks both.
    void close();

    const std::string &path() const { return path_; }

private:
    void check_queued_writes();

    std::string path_;
    int fd_ = -1;
    struct Block *reserved_ = nullptr;
};
