#include "las/las_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "console/console.h"
#include "io/posix_io.h"
#include "lidar/las_check.h"
#include "lidar/las_variants.h"

LasFileCheck check_las_file(const std::string &name, mode_t mode, uint64_t file_size, const unsigned char *bytes,
                            size_t got) {
    LasFileCheck result;
    const char *n = name.c_str();
    // check_las's own diagnostic, then the driver's refusal after it.
    auto refuse = [&](const std::string &diagnostic) {
        result.las_type = -1;
        result.problems.push_back(diagnostic + name + " is not a valid LAS file\n");
        return result;
    };
    if (std::string problem = ostrine::extension_problem(n, "las"); !problem.empty()) return refuse(problem);
    if (std::string problem = ostrine::unreadable_kind_problem(n, mode); !problem.empty()) return refuse(problem);
    const ostrine::LasCheck check = ostrine::check_las_header(n, bytes, got);
    if (check.las_type < 1) return refuse(check.message);
    result.las_type = check.las_type;

    LAS12Header header;
    std::memcpy(&header, bytes, sizeof header);
    const uint16_t record_length = kLasVariants[check.las_type].record_length;
    const uint32_t offset = header.OffsetToData;
    const uint32_t announced = header.NumberOfPointReturns;
    auto problem = [&](std::string text) { result.problems.push_back(std::move(text)); };

    if (offset < OSTRINE_LAS_HEADER_SIZE)
        problem(ostrine::formatted(
            "\nOffsetToData of %s is %u, inside the 227-byte public header; the point records cannot start there\n", n,
            offset));
    else if (offset > file_size)
        problem(ostrine::formatted("\nOffsetToData of %s is %u, beyond the end of the file (%llu bytes)\n", n, offset,
                                   static_cast<unsigned long long>(file_size)));
    if (announced > kMaxShapefilePoints)
        problem(ostrine::formatted("\n%s holds %u point records; a shapefile can hold at most %u PointZ records\n", n,
                                   announced, kMaxShapefilePoints));
    else if (offset >= OSTRINE_LAS_HEADER_SIZE && offset <= file_size) {
        const uint64_t present = (file_size - offset) / record_length;
        if (present < announced)
            problem(ostrine::formatted(
                "\n%s announces %u point records but holds only %llu whole records of %u bytes after byte %u\n", n,
                announced, static_cast<unsigned long long>(present), record_length, offset));
    }

    // Coordinates are X x scale + offset: every stored integer must give a
    // finite number, or NaN and infinities would enter the shapefile, whose
    // format allows neither.
    const double scales[3] = {header.XScaleFactor, header.YScaleFactor, header.ZScaleFactor};
    const double offsets[3] = {header.XOffset, header.YOffset, header.ZOffset};
    for (int axis = 0; axis < 3; ++axis) {
        const double lowest = static_cast<double>(INT32_MIN) * scales[axis] + offsets[axis];
        const double highest = static_cast<double>(INT32_MAX) * scales[axis] + offsets[axis];
        if (!std::isfinite(lowest) || !std::isfinite(highest))
            problem(ostrine::formatted("\nThe %c scale factor and offset of %s (%g and %g) do not give finite coordinates\n",
                                       "XYZ"[axis], n, scales[axis], offsets[axis]));
    }
    if (!result.problems.empty()) result.las_type = -1;
    return result;
}

bool LasInput::open(const std::string &name) {
    name_ = name;
    fd_ = io::open_file(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    return fd_ >= 0;
}

LasInput::~LasInput() {
    if (fd_ >= 0) io::close_file(fd_);
}

int16_t LasInput::read_and_check_header() {
    struct stat st {};
    if (fstat(fd_, &st) != 0) fail("\nCannot determine the size of %s: %s\n", name_.c_str(), std::strerror(errno));
    device_ = st.st_dev;
    inode_ = st.st_ino;
    file_size_ = static_cast<uint64_t>(st.st_size);
    unsigned char bytes[OSTRINE_LAS_HEADER_SIZE] = {};
    long long got = 0;
    // A directory opens but does not read; a FIFO or device is not read at
    // all (the check refuses it by its type).
    if (S_ISREG(st.st_mode)) got = io::pread_fully(fd_, bytes, sizeof bytes, 0);
    const LasFileCheck check =
        check_las_file(name_, st.st_mode, file_size_, bytes, got > 0 ? static_cast<size_t>(got) : 0);
    if (!check.problems.empty()) throw Failure{check.problems.front()};

    std::memcpy(&header_, bytes, sizeof header_);
    record_length_ = kLasVariants[check.las_type].record_length;
    next_record_at_ = header_.OffsetToData;
    posix_fadvise(fd_, static_cast<off_t>(next_record_at_), 0, POSIX_FADV_SEQUENTIAL);
    return check.las_type;
}

void LasInput::confirm_unchanged() const {
    struct stat by_name {};
    LAS12Header now{};
    const bool same = stat(name_.c_str(), &by_name) == 0 && by_name.st_dev == device_ && by_name.st_ino == inode_ &&
                      io::pread_fully(fd_, &now, sizeof now, 0) == static_cast<long long>(sizeof now) &&
                      std::memcmp(&now, &header_, sizeof now) == 0;
    if (!same)
        fail("\n%s was replaced or rewritten while it was being read; nothing was written from it\n", name_.c_str());
}

bool LasInput::is_same_file(const std::string &path) const {
    struct stat other {};
    return stat(path.c_str(), &other) == 0 && other.st_dev == device_ && other.st_ino == inode_;
}

std::vector<LasVlr> LasInput::projection_vlrs() const {
    if (header_.NumberOfVariableLengthRecords == 0) return {};
    const VlrSpace space = vlr_space(header_.HeaderSize, header_.OffsetToData, file_size_);
    BlockReader reader(fd_, space);
    return read_vlrs(reader.reader(), space, header_.NumberOfVariableLengthRecords, is_projection_vlr);
}

void LasInput::read_records(void *buffer, int32_t count) {
    const size_t wanted = static_cast<size_t>(count) * record_length_;
    const long long got = io::pread_fully(fd_, buffer, wanted, next_record_at_);
    if (got < 0) fail("\nFailed to read point records from %s: %s\n", name_.c_str(), std::strerror(errno));
    if (static_cast<size_t>(got) != wanted) {
        const unsigned long long complete = records_read_ + static_cast<unsigned long long>(got) / record_length_;
        fail("\nUnexpected end of %s: it announces %u point records, only %llu could be read\n", name_.c_str(),
             header_.NumberOfPointReturns, complete);
    }
    next_record_at_ += wanted;
    records_read_ += static_cast<uint64_t>(count);
}
