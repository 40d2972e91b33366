// The input of a conversion run: one descriptor, opened once, from which
// the header is read, the variable-length records (and LAS 1.4's extended
// ones) are served, and the point records are read in order (or, for LAZ,
// handed to the decoder).  Nothing is read by name a second time, so a
// file replaced under its name (as rsync does it) can only be refused,
// never half read; and a file rewritten in place while it is read is caught
// by its modification and change times, taken before the first read and
// compared after the last.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "las/las_header.h"
#include "las/las_vlr.h"
#include "las/record_source.h"

class LasFile {
public:
    // Opens `name` for reading without ever blocking (a FIFO would wait
    // for a writer).  Returns false if it cannot be opened.
    bool open(const std::string &name);
    ~LasFile();

    // Takes the file's identity, size and times, and reads its first bytes
    // (up to a LAS 1.4 header) from a regular file; a directory, FIFO or
    // device gives none.  Fails only if the file cannot be examined.
    void inspect();

    const std::string &name() const { return name_; }
    int fd() const { return fd_; }
    mode_t mode() const { return taken_.st_mode; }
    uint64_t size() const { return static_cast<uint64_t>(taken_.st_size); }
    const unsigned char *header_bytes() const { return bytes_; }
    size_t header_got() const { return got_; }
    const LasHeader &header() const { return header_; }

    // The VLRs `keep` accepts, walked from the header to OffsetToData.
    std::vector<LasVlr> vlrs(const VlrFilter &keep) const;
    // The EVLRs `keep` accepts (LAS 1.4), walked from StartOfFirstEVLR,
    // which must not lie before `data_end` (the end of the point records),
    // to the end of the file.
    std::vector<LasVlr> evlrs(const VlrFilter &keep, uint64_t data_end) const;

    // Fails unless the name still names the file opened, and that file has
    // the identity, size, modification and change times it had before the
    // first read, and the header that was checked: a file replaced or
    // rewritten since is not converted.
    void confirm_unchanged() const;

    // True if `path` names the file being read (a symbolic or hard link to it).
    bool is_same_file(const std::string &path) const;

private:
    std::string name_;
    int fd_ = -1;
    struct stat taken_ {};
    unsigned char bytes_[kLasHeader14Bytes] = {};
    size_t got_ = 0;
    LasHeader header_;
};

// The point records of an uncompressed file, read in order from
// OffsetToData on, straight from the file's descriptor.
class PlainRecords : public RecordSource {
public:
    PlainRecords(const LasFile &file, uint64_t points, uint16_t record_length);
    void read(unsigned char *dst, uint32_t count) override;
    void finish() override {}

private:
    const LasFile &file_;
    uint64_t points_;
    uint16_t record_length_;
    uint64_t next_at_;
    uint64_t read_ = 0;
};
