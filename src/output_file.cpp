#include "output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "console/console.h"

namespace {

int open_flags(OutputFile::Mode mode) {
    switch (mode) {
        case OutputFile::Mode::Create: return O_WRONLY | O_CREAT | O_TRUNC;
        case OutputFile::Mode::Append: return O_WRONLY | O_CREAT | O_APPEND;
        case OutputFile::Mode::Update: return O_WRONLY;
    }
    return O_WRONLY;
}

const char *reason(int error) { return error == 0 ? "no space left or short write" : std::strerror(error); }

}  // namespace

OutputFile::OutputFile(std::string path, Mode mode, const char *open_failure_format) : path_(std::move(path)) {
    fd_ = ::open(path_.c_str(), open_flags(mode) | O_CLOEXEC, 0666);
    if (fd_ < 0) fail(open_failure_format, path_.c_str());
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
}

void OutputFile::write(const void *data, size_t size) {
    const char *bytes = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd_, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail("\nFailed to write %s: %s\n", path_.c_str(), reason(n < 0 ? errno : 0));
        bytes += n;
        size -= static_cast<size_t>(n);
    }
}

void OutputFile::write_at(uint64_t offset, const void *data, size_t size) {
    const char *bytes = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = ::pwrite(fd_, bytes, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail("\nFailed to write %s: %s\n", path_.c_str(), reason(n < 0 ? errno : 0));
        bytes += n;
        offset += static_cast<uint64_t>(n);
        size -= static_cast<size_t>(n);
    }
}

void OutputFile::close() {
    const int fd = fd_;
    fd_ = -1;
    if (fd >= 0 && ::close(fd) != 0) fail("\nFailed to close %s: %s\n", path_.c_str(), std::strerror(errno));
}
