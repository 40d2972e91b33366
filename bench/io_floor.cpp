// The I/O floor of a conversion: one process that reads the input once
// (4 MiB reads) and writes as many bytes as all the outputs to one file
// (1 MiB writes), replacing that file's own previous content.
//
//   io_floor INPUT                         read the input once
//   io_floor INPUT OUTPUT BYTES            and replace OUTPUT as a conversion
//                                          replaces its outputs: a temporary
//                                          beside it, writeback started as it
//                                          goes, synced, renamed over OUTPUT
//   io_floor INPUT OUTPUT BYTES --cached   and truncate OUTPUT and write it,
//                                          leaving the data in the page cache
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t kReadBlock = 4u << 20;
constexpr size_t kWriteBlock = 1u << 20;

[[noreturn]] void die(const char *what) {
    std::perror(what);
    std::exit(2);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2 && argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: io_floor INPUT [OUTPUT BYTES [--cached]]\n");
        return 1;
    }
    std::vector<char> input(kReadBlock);
    const int in = open(argv[1], O_RDONLY);
    if (in < 0) die(argv[1]);
    posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);
    while (read(in, input.data(), input.size()) > 0) {
    }
    close(in);
    if (argc == 2) return 0;

    const std::string output = argv[2];
    unsigned long long left = std::strtoull(argv[3], nullptr, 10);
    const bool cached = argc == 5 && std::strcmp(argv[4], "--cached") == 0;
    const std::string written = cached ? output : output + ".floor-temporary";
    const int fd = open(written.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) die(written.c_str());
    const std::vector<char> block(kWriteBlock, ' ');
    off_t at = 0;
    while (left > 0) {
        const size_t n = left < kWriteBlock ? static_cast<size_t>(left) : kWriteBlock;
        if (write(fd, block.data(), n) != static_cast<ssize_t>(n)) die("write");
        if (!cached) sync_file_range(fd, at, static_cast<off_t>(n), SYNC_FILE_RANGE_WRITE);
        at += static_cast<off_t>(n);
        left -= n;
    }
    if (!cached && fdatasync(fd) != 0) die("fdatasync");
    if (close(fd) != 0) die("close");
    if (!cached && rename(written.c_str(), output.c_str()) != 0) die("rename");
    return 0;
}
