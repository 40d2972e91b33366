// The LAS input of a conversion run: one descriptor, opened once, from
// which the header is read and checked, the variable-length records are
// served and the point records are read in order.  Nothing is read by name
// a second time, so a file replaced under its name (as rsync does it) can
// only be refused, never half read.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Ostrine_LiDAR.h"
#include "las/las_vlr.h"

// Point records pass through the converter in chunks of this many records;
// the shapefile's record numbering depends on it.
constexpr int32_t kChunkRecords = 1000000;

// The largest point count whose PointZ main file still has a file length
// (50 + 18 words per record) that fits the format's signed 32-bit field.
constexpr uint32_t kMaxShapefilePoints = 119304644;

// What the checks conclude about a file: its variant code (1..8 when it can
// be converted) and every problem found, each as the console text that
// reports it.  The checks of the library's check_las come first (a header
// they refuse is not looked at further); then those of a conversion: where
// the point records start, how many a shapefile can hold, how many the file
// holds, and scale factors and offsets that give finite coordinates.
struct LasFileCheck {
    int16_t las_type = -1;
    std::vector<std::string> problems;
};

// A pure function of the name, the file's type and size and its first
// `got` bytes (227 are looked at).
LasFileCheck check_las_file(const std::string &name, mode_t mode, uint64_t file_size, const unsigned char *header,
                            size_t got);

class LasInput {
public:
    // Opens `name` for reading without ever blocking (a FIFO would wait
    // for a writer).  Returns false if it cannot be opened.
    bool open(const std::string &name);
    ~LasInput();

    // Reads the header once and checks it against the file; fails with the
    // first problem.  Returns the variant code.
    int16_t read_and_check_header();

    // Fails unless the name still names the file opened, holding the header
    // that was checked: a file replaced or rewritten since is not converted.
    void confirm_unchanged() const;

    // True if `path` names the file being read (a symbolic or hard link to it).
    bool is_same_file(const std::string &path) const;

    const LAS12Header &header() const { return header_; }

    // The records that may describe a coordinate system.
    std::vector<LasVlr> projection_vlrs() const;

    // Reads the next `count` records into `buffer`, failing if the file
    // delivers fewer.
    void read_records(void *buffer, int32_t count);

private:
    std::string name_;
    int fd_ = -1;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    uint64_t file_size_ = 0;
    uint16_t record_length_ = 0;
    uint64_t next_record_at_ = 0;
    uint64_t records_read_ = 0;
    LAS12Header header_{};
};
