// An output file whose every write and close is checked.
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

    // On failure to open, prints `open_failure_format` (one %s: the name)
    // and ends the process with status -1.
    OutputFile(std::string path, Mode mode, const char *open_failure_format);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    void write(const void *data, size_t size);
    void write_at(uint64_t offset, const void *data, size_t size);
    void close();

    const std::string &path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
};
