// The file system calls of the whole program, in one place.
//
// Every open, read, write, sync, rename and unlink goes through a table of
// function pointers, as shapelib's SAHooks do for its own I/O: a test can
// replace any of them to make it fail (a read error, a full disk, a file
// replaced between two calls) without linker tricks.  The helpers retry
// interrupted calls and partial transfers, so no caller repeats that loop.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace io {

struct Hooks {
    int (*open)(const char *path, int flags, mode_t mode);
    ssize_t (*pread)(int fd, void *buffer, size_t size, off_t offset);
    ssize_t (*pwrite)(int fd, const void *buffer, size_t size, off_t offset);
    int (*fdatasync)(int fd);
    int (*close)(int fd);
    int (*rename)(const char *from, const char *to);
    int (*unlink)(const char *path);
};

// The hooks in use; the defaults are the POSIX calls themselves.
Hooks &hooks();
void restore_default_hooks();

// Opens with the hooks, retrying on EINTR.  -1 with errno on failure.
int open_file(const char *path, int flags, mode_t mode = 0);

// Reads up to `size` bytes at `offset`; returns the bytes read (fewer only
// at the end of the file), or -1 with errno.
long long pread_fully(int fd, void *buffer, size_t size, uint64_t offset);

// Writes every byte at `offset`; returns 0, or the errno of the failure
// (ENOSPC for a write that made no progress, as a full device can).
int pwrite_all(int fd, const void *buffer, size_t size, uint64_t offset);

// Closes; returns 0 or the errno of the failure.
int close_file(int fd);

}  // namespace io

namespace io {

// "a directory", "a FIFO", "a character device", "a block device",
// "a socket" or "a symbolic link" for the file type in `mode`; nullptr for
// a regular file.
const char *kind_of_file(mode_t mode);

}  // namespace io
