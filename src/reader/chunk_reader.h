// The LAS input of a conversion run: header checks against the file, and
// chunked sequential reads of the point records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Ostrine_LiDAR.h"

// Point records pass through the converter in chunks of this many records;
// the shapefile's record numbering depends on it.
constexpr int32_t kChunkRecords = 1000000;

// The largest point count whose PointZ main file still has a file length
// (50 + 18 words per record) that fits the format's signed 32-bit field.
constexpr uint32_t kMaxShapefilePoints = 119304644;

class LasInput {
public:
    // Opens the file for reading.  Returns false (and opens nothing) if it
    // cannot be opened.
    bool open(const std::string &name);
    ~LasInput();

    // Reads the 227-byte public header and checks it against the file:
    // the start of the point records, the point count the shapefile can hold,
    // the records actually present, and scale factors and offsets that give
    // finite coordinates.  Any problem ends the process with a message and
    // status -1, before any output exists.
    void read_and_check_header(uint16_t record_length);

    // True if `path` names the file being read (a symbolic or hard link to it).
    bool is_same_file(const std::string &path) const;

    const LAS12Header &header() const { return header_; }

    // Reads the next `count` records into `buffer`, ending the process with a
    // message if the file delivers fewer.
    void read_records(void *buffer, int32_t count);

private:
    std::string name_;
    int fd_ = -1;
    uint16_t record_length_ = 0;
    uint64_t records_read_ = 0;
    LAS12Header header_{};
};
