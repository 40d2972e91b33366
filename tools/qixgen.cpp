// qixgen: writes the spatial index NAME.qix of a PointZ shapefile NAME.shp
// with the converter's own index writer, for the tests and the benchmark.
//
//   qixgen [--depth N] [--stats] NAME.shp
//     --depth N   tree depth, 1 to 12 (default: the converter's choice)
//     --stats     prints "seconds S depth D bytes B peak_rss_kb K" on stdout
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/failure.h"
#include "io/byte_order.h"
#include "io/posix_io.h"
#include "shapefile/qix_writer.h"

namespace {

[[noreturn]] void usage(const char *problem) {
    std::fprintf(stderr, "qixgen: %s\nusage: qixgen [--depth N] [--stats] NAME.shp\n", problem);
    std::exit(2);
}

}  // namespace

int main(int argc, char **argv) {
    std::string shp;
    unsigned depth = 0;
    bool stats = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--stats") == 0) {
            stats = true;
        } else if (std::strcmp(argv[i], "--depth") == 0 && i + 1 < argc) {
            char *end = nullptr;
            const unsigned long d = std::strtoul(argv[++i], &end, 10);
            if (*end != '\0' || d < 1 || d > kMaxQixDepth) usage("--depth is 1 to 12");
            depth = static_cast<unsigned>(d);
        } else if (argv[i][0] == '-') {
            usage("unknown option");
        } else {
            shp = argv[i];
        }
    }
    if (shp.size() < 5 || shp.compare(shp.size() - 4, 4, ".shp") != 0) usage("name a .shp file");
    const std::string qix = shp.substr(0, shp.size() - 4) + ".qix";

    const int in = io::open_file(shp.c_str(), O_RDONLY);
    if (in < 0) {
        std::perror(shp.c_str());
        return 1;
    }
    unsigned char header[100];
    if (io::pread_fully(in, header, sizeof header, 0) != 100 || load_be32(header) != 9994) {
        std::fprintf(stderr, "qixgen: %s is not a shapefile\n", shp.c_str());
        return 1;
    }
    const uint64_t file_bytes = uint64_t{load_be32(header + 24)} * 2;
    const uint64_t shapes = file_bytes > 100 ? (file_bytes - 100) / 36 : 0;
    const double box[4] = {load_le_double(header + 36), load_le_double(header + 44), load_le_double(header + 52),
                           load_le_double(header + 60)};

    const int out = io::open_file(qix.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) {
        std::perror(qix.c_str());
        return 1;
    }
    const ReadAt read = [in](uint64_t offset, void *buf, size_t n) {
        return io::pread_fully(in, buf, n, offset) == static_cast<long long>(n);
    };
    uint64_t written = 0;
    const WriteAt write = [out, &written](const void *data, size_t n, uint64_t offset) {
        if (const int error = io::pwrite_all(out, data, n, offset)) fail("Cannot write the index: %s", std::strerror(error));
        written = std::max(written, offset + n);
    };
    const auto start = std::chrono::steady_clock::now();
    try {
        write_qix(qix, read, shapes, box, write, depth);
    } catch (const Failure &f) {
        std::fprintf(stderr, "qixgen: %s\n", f.message.c_str());
        unlink(qix.c_str());
        return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    close(in);
    if (close(out) != 0) {
        std::perror(qix.c_str());
        return 1;
    }
    if (stats) {
        // The peak of this program's own memory (VmHWM: not the parent's
        // before the exec, as getrusage would count).
        long peak_kb = -1;
        if (FILE *status = std::fopen("/proc/self/status", "r")) {
            char line[256];
            while (std::fgets(line, sizeof line, status))
                if (std::sscanf(line, "VmHWM: %ld", &peak_kb) == 1) break;
            std::fclose(status);
        }
        std::printf("seconds %.3f depth %u bytes %llu peak_rss_kb %ld\n", seconds,
                    depth ? depth : qix_depth_for(shapes), static_cast<unsigned long long>(written), peak_kb);
    }
    return 0;
}
