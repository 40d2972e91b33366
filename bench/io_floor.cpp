// The I/O floor of a conversion: read the input once and write as many bytes
// as the three outputs, with large sequential writes over the same files.
//
//   io_floor INPUT.las SHP_BYTES SHX_BYTES DBF_BYTES OUTPUT_BASE
//   io_floor INPUT.las        (only read the input once)
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr size_t kBlock = 4 << 20;

void write_bytes(const std::string &path, unsigned long long size, const std::vector<char> &block) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) std::exit(2);
    while (size > 0) {
        const size_t n = size < kBlock ? static_cast<size_t>(size) : kBlock;
        if (write(fd, block.data(), n) != static_cast<ssize_t>(n)) std::exit(3);
        size -= n;
    }
    if (close(fd) != 0) std::exit(4);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 6 && argc != 2) {
        std::fprintf(stderr, "usage: io_floor INPUT SHP_BYTES SHX_BYTES DBF_BYTES OUTPUT_BASE\n");
        return 1;
    }
    std::vector<char> block(kBlock, ' ');
    const int in = open(argv[1], O_RDONLY);
    if (in < 0) return 2;
    posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);
    std::vector<char> input(kBlock);
    while (read(in, input.data(), kBlock) > 0) {
    }
    close(in);
    if (argc == 2) return 0;
    const std::string base = argv[5];
    write_bytes(base + ".shp", std::strtoull(argv[2], nullptr, 10), block);
    write_bytes(base + ".shx", std::strtoull(argv[3], nullptr, 10), block);
    write_bytes(base + ".dbf", std::strtoull(argv[4], nullptr, 10), block);
    return 0;
}
