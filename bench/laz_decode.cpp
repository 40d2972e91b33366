// Decode-only rate of LAZ files through the decoder process: the plan, the
// decoder, and the records read through the pipe in runs of a million (as
// a conversion reads them) and dropped.  Each file is decoded with one
// decoding thread, then with one per core; the rates and their ratio are
// printed, with the decoder's peak memory.
//
// Usage: laz_decode [--threads N] [--once] [FILE.laz...]
// With --once, only the run with N threads.
// Without files: every .laz of ../shared/bench beside the sources, if that
// folder exists.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/failure.h"
#include "las/las_header.h"
#include "las/las_vlr.h"
#include "laz/decoder_command.h"
#include "laz/laz_plan.h"
#include "laz/laz_records.h"

namespace {

// Seconds to decode every record of `path` with `threads` decoding threads.
double decode_seconds(const std::string &path, unsigned threads, uint64_t &points) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail("%s cannot be opened: %s", path.c_str(), std::strerror(errno));
    struct stat st {};
    fstat(fd, &st);
    unsigned char bytes[kLasHeader14Bytes] = {};
    const ssize_t got = pread(fd, bytes, sizeof bytes, 0);
    const LasHeader header = parse_las_header(bytes, got > 0 ? static_cast<size_t>(got) : 0);
    const VlrSpace space = vlr_space(header.header_size, header.version_header_bytes(), header.offset_to_data,
                                     static_cast<uint64_t>(st.st_size));
    BlockReader reader(fd, space);
    const auto vlrs = read_vlrs(reader.reader(), space, header.vlr_count,
                                [](const std::string &user, uint16_t) { return user == "laszip encoded"; });

    const auto start = std::chrono::steady_clock::now();
    const laz::LazPlan plan = laz::plan_laz(path, fd, static_cast<uint64_t>(st.st_size), header, vlrs);
    laz::LazDecoding decoding;
    decoding.threads = threads;
    decoding.program_dir = PROJECT_DIR;
    laz::LazRecords records(path, fd, plan, decoding);
    constexpr uint64_t kRun = 1000000;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[kRun * plan.record_length]);
    for (uint64_t done = 0; done < plan.point_count;) {
        const uint32_t n = static_cast<uint32_t>(std::min(kRun, plan.point_count - done));
        records.read(buffer.get(), n);
        done += n;
    }
    records.finish();
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    ::close(fd);
    points = plan.point_count;
    return seconds.count();
}

}  // namespace

int main(int argc, char **argv) {
    unsigned most = laz::usable_cores();
    bool once = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc)
            most = static_cast<unsigned>(std::max(1, std::atoi(argv[++i])));
        else if (std::strcmp(argv[i], "--once") == 0)
            once = true;
        else
            files.push_back(argv[i]);
    }
    if (files.empty()) {
        const std::filesystem::path shared = std::filesystem::path(PROJECT_DIR) / ".." / "shared" / "bench";
        std::error_code error;
        for (const auto &entry : std::filesystem::directory_iterator(shared, error))
            if (entry.path().extension() == ".laz") files.push_back(entry.path().lexically_normal().string());
        std::sort(files.begin(), files.end());
        if (files.empty()) {
            std::fprintf(stderr, "laz_decode: no files given and none in %s\n", shared.c_str());
            return 2;
        }
    }
    try {
        for (const std::string &file : files) {
            uint64_t points = 0;
            if (once) {
                const double seconds = decode_seconds(file, most, points);
                std::printf("%s: %llu points; %u threads %.3f s\n", std::filesystem::path(file).filename().c_str(),
                            static_cast<unsigned long long>(points), most, seconds);
                continue;
            }
            const double one = decode_seconds(file, 1, points);
            const double all = decode_seconds(file, most, points);
            rusage usage{};
            getrusage(RUSAGE_CHILDREN, &usage);
            std::printf("%s: %llu points; 1 thread %.2f s, %.3f M points/s; %u threads %.2f s, %.3f M points/s; "
                        "ratio %.2f; decoder peak memory so far %.0f MB\n",
                        std::filesystem::path(file).filename().c_str(), static_cast<unsigned long long>(points), one,
                        points / one / 1e6, most, all, points / all / 1e6, one / all, usage.ru_maxrss / 1024.0);
            std::fflush(stdout);
        }
    } catch (const Failure &f) {
        std::fprintf(stderr, "laz_decode: %s\n", f.message.c_str());
        return 1;
    }
    return 0;
}
