#include "io/posix_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace io {

namespace {

int default_open(const char *path, int flags, mode_t mode) { return ::open(path, flags, mode); }

constexpr Hooks kDefaultHooks = {default_open, ::pread, ::pwrite, ::fdatasync, ::close, ::rename, ::unlink};

Hooks g_hooks = kDefaultHooks;

}  // namespace

Hooks &hooks() { return g_hooks; }
void restore_default_hooks() { g_hooks = kDefaultHooks; }

int open_file(const char *path, int flags, mode_t mode) {
    for (;;) {
        const int fd = g_hooks.open(path, flags, mode);
        if (fd >= 0 || errno != EINTR) return fd;
    }
}

long long pread_fully(int fd, void *buffer, size_t size, uint64_t offset) {
    char *bytes = static_cast<char *>(buffer);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = g_hooks.pread(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<long long>(done);
}

int pwrite_all(int fd, const void *buffer, size_t size, uint64_t offset) {
    const char *bytes = static_cast<const char *>(buffer);
    while (size > 0) {
        const ssize_t n = g_hooks.pwrite(fd, bytes, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return ENOSPC;
        bytes += n;
        offset += static_cast<uint64_t>(n);
        size -= static_cast<size_t>(n);
    }
    return 0;
}

int close_file(int fd) {
    // An interrupted close has still closed the descriptor on Linux (and
    // the data is in the page cache): not a failure, and never retried.
    if (g_hooks.close(fd) == 0 || errno == EINTR) return 0;
    return errno;
}

}  // namespace io

#include <sys/stat.h>

namespace io {

const char *kind_of_file(mode_t mode) {
    if (S_ISREG(mode)) return nullptr;
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "not a regular file";
}

}  // namespace io
