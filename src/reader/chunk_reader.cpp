#include "reader/chunk_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "console/console.h"

namespace {

// Reads up to `size` bytes, retrying short reads; returns the bytes read, or
// -1 on an I/O error.
long long read_fully(int fd, void *buffer, size_t size) {
    char *bytes = static_cast<char *>(buffer);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<long long>(done);
}

}  // namespace

bool LasInput::open(const std::string &name) {
    name_ = name;
    fd_ = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    return fd_ >= 0;
}

LasInput::~LasInput() {
    if (fd_ >= 0) ::close(fd_);
}

bool LasInput::is_same_file(const std::string &path) const {
    struct stat input {}, other {};
    return fstat(fd_, &input) == 0 && stat(path.c_str(), &other) == 0 && input.st_dev == other.st_dev &&
           input.st_ino == other.st_ino;
}

void LasInput::read_and_check_header(uint16_t record_length) {
    record_length_ = record_length;
    const char *name = name_.c_str();
    if (read_fully(fd_, &header_, sizeof header_) != static_cast<long long>(sizeof header_))
        fail("\n%s is not a valid .las file\n\n", name);

    struct stat st {};
    if (fstat(fd_, &st) != 0) fail("\nCannot determine the size of %s: %s\n", name, std::strerror(errno));
    const uint64_t file_size = static_cast<uint64_t>(st.st_size);
    const uint32_t offset = header_.OffsetToData;
    const uint32_t announced = header_.NumberOfPointReturns;

    if (offset < OSTRINE_LAS_HEADER_SIZE)
        fail("\nOffsetToData of %s is %u, inside the 227-byte public header; the point records cannot start there\n",
             name, offset);
    if (offset > file_size)
        fail("\nOffsetToData of %s is %u, beyond the end of the file (%llu bytes)\n", name, offset,
             static_cast<unsigned long long>(file_size));
    if (announced > kMaxShapefilePoints)
        fail("\n%s holds %u point records; a shapefile can hold at most %u PointZ records\n", name, announced,
             kMaxShapefilePoints);
    const uint64_t present = (file_size - offset) / record_length;
    if (present < announced)
        fail("\n%s announces %u point records but holds only %llu whole records of %u bytes after byte %u\n", name,
             announced, static_cast<unsigned long long>(present), record_length, offset);

    // Coordinates are X x scale + offset: every stored integer must give a
    // finite number, or NaN and infinities would enter the shapefile, whose
    // format allows neither.
    const double scales[3] = {header_.XScaleFactor, header_.YScaleFactor, header_.ZScaleFactor};
    const double offsets[3] = {header_.XOffset, header_.YOffset, header_.ZOffset};
    for (int axis = 0; axis < 3; ++axis) {
        const double lowest = static_cast<double>(INT32_MIN) * scales[axis] + offsets[axis];
        const double highest = static_cast<double>(INT32_MAX) * scales[axis] + offsets[axis];
        if (!std::isfinite(lowest) || !std::isfinite(highest))
            fail("\nThe %c scale factor and offset of %s (%g and %g) do not give finite coordinates\n", "XYZ"[axis],
                 name, scales[axis], offsets[axis]);
    }

    if (lseek(fd_, offset, SEEK_SET) < 0) fail("\nCannot seek to the point records of %s: %s\n", name, std::strerror(errno));
    posix_fadvise(fd_, offset, 0, POSIX_FADV_SEQUENTIAL);
}

void LasInput::read_records(void *buffer, int32_t count) {
    const size_t wanted = static_cast<size_t>(count) * record_length_;
    const long long got = read_fully(fd_, buffer, wanted);
    if (got < 0) fail("\nFailed to read point records from %s: %s\n", name_.c_str(), std::strerror(errno));
    if (static_cast<size_t>(got) != wanted) {
        const unsigned long long complete = records_read_ + static_cast<unsigned long long>(got) / record_length_;
        fail("\nUnexpected end of %s: it announces %u point records, only %llu could be read\n", name_.c_str(),
             header_.NumberOfPointReturns, complete);
    }
    records_read_ += static_cast<uint64_t>(count);
}
