#include "las/las_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/failure.h"
#include "io/posix_io.h"

bool LasFile::open(const std::string &name) {
    name_ = name;
    fd_ = io::open_file(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    return fd_ >= 0;
}

LasFile::~LasFile() {
    if (fd_ >= 0) io::close_file(fd_);
}

void LasFile::inspect() {
    if (fstat(fd_, &taken_) != 0) fail("Cannot determine the size of %s: %s", name_.c_str(), std::strerror(errno));
    // A directory opens but does not read; a FIFO or device is not read at
    // all (the checks refuse it by its type).
    long long got = 0;
    if (S_ISREG(taken_.st_mode)) got = io::pread_fully(fd_, bytes_, sizeof bytes_, 0);
    got_ = got > 0 ? static_cast<size_t>(got) : 0;
    header_ = parse_las_header(bytes_, got_);
    if (S_ISREG(taken_.st_mode)) posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
}

std::vector<LasVlr> LasFile::vlrs(const VlrFilter &keep) const {
    if (header_.vlr_count == 0) return {};
    const VlrSpace space = vlr_space(header_.header_size, header_.version_header_bytes(), header_.offset_to_data, size());
    BlockReader reader(fd_, space);
    return read_vlrs(reader.reader(), space, header_.vlr_count, keep);
}

std::vector<LasVlr> LasFile::evlrs(const VlrFilter &keep, uint64_t data_end) const {
    if (header_.version_minor < 4 || header_.evlr_count == 0 || header_.evlr_start < data_end) return {};
    const VlrSpace space{header_.evlr_start, size()};
    BlockReader reader(fd_, space);
    // A coordinate system or an attribute description is a few kilobytes;
    // bigger records (waveforms, COPC hierarchies) are never needed whole.
    constexpr uint64_t kLargestKept = 16u << 20;
    return read_evlrs(reader.reader(), space, header_.evlr_count, keep, kLargestKept);
}

namespace {

bool same_time(const timespec &a, const timespec &b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

}  // namespace

void LasFile::confirm_unchanged() const {
    struct stat by_name {}, now {};
    unsigned char bytes[kLasHeader14Bytes] = {};
    const bool same =
        stat(name_.c_str(), &by_name) == 0 && by_name.st_dev == taken_.st_dev && by_name.st_ino == taken_.st_ino &&
        fstat(fd_, &now) == 0 && now.st_size == taken_.st_size && same_time(now.st_mtim, taken_.st_mtim) &&
        same_time(now.st_ctim, taken_.st_ctim) &&
        (!S_ISREG(now.st_mode) ||
         io::pread_fully(fd_, bytes, got_, 0) == static_cast<long long>(got_)) &&
        std::memcmp(bytes, bytes_, got_) == 0;
    if (!same)
        fail("%s was replaced or rewritten while it was being read; nothing was written from it", name_.c_str());
}

bool LasFile::is_same_file(const std::string &path) const {
    struct stat other {};
    return stat(path.c_str(), &other) == 0 && other.st_dev == taken_.st_dev && other.st_ino == taken_.st_ino;
}

PlainRecords::PlainRecords(const LasFile &file, uint64_t points, uint16_t record_length)
    : file_(file), points_(points), record_length_(record_length), next_at_(file.header().offset_to_data) {}

void PlainRecords::read(unsigned char *dst, uint32_t count) {
    const size_t wanted = static_cast<size_t>(count) * record_length_;
    const long long got = io::pread_fully(file_.fd(), dst, wanted, next_at_);
    if (got < 0) fail("Failed to read point records from %s: %s", file_.name().c_str(), std::strerror(errno));
    if (static_cast<size_t>(got) != wanted) {
        const unsigned long long complete = read_ + static_cast<unsigned long long>(got) / record_length_;
        fail("Unexpected end of %s: it announces %llu point records, only %llu could be read",
             file_.name().c_str(), static_cast<unsigned long long>(points_), complete);
    }
    next_at_ += wanted;
    read_ += count;
}
