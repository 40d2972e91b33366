// The LAS file a LAZ file compresses, written beside the outputs when it
// is to be kept (pelmora-laz --keep-las).
//
// It is the LAZ file's own bytes up to its points, without the LASzip
// record, followed by the decoded records and the extended records:
//   - the compression bits of the point format byte cleared;
//   - OffsetToData lowered by the LASzip record's size, and the count of
//     variable-length records by one;
//   - in LAS 1.4, the start of the extended records moved to follow the
//     points (in the LAZ file the chunk table lies between them).
// Every other byte (the other records, a gap before the points, the
// extended records) is the LAZ file's, so a reader of the LAS file sees the
// same coordinate system and attributes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "io/output_file.h"
#include "las/las_header.h"
#include "las/record_source.h"

namespace laz {

// Passes the records of `inner` through, writing each one also into the
// decompressed LAS file, whose other parts it copies from the LAZ file.
class KeptLas : public RecordSource {
public:
    // `fd` is the LAZ file (read with positional reads only), `header` its
    // parsed header.
    KeptLas(std::string name, int fd, uint64_t file_size, const LasHeader &header, RecordSource &inner);

    // Writes everything before the points into `output`, which must be
    // set before the first record is read.
    void start(OutputFile &output);

    void read(unsigned char *dst, uint32_t count) override;
    // Finishes `inner`, then appends the extended records.
    void finish() override;

private:
    void copy(uint64_t from, uint64_t size, uint64_t to);

    std::string name_;
    int fd_;
    uint64_t file_size_;
    LasHeader header_;
    RecordSource &inner_;
    OutputFile *output_ = nullptr;
    uint64_t laszip_at_ = 0, laszip_bytes_ = 0;  // the LASzip record in the LAZ file
    uint64_t next_at_ = 0;                       // where the next record goes in the LAS file
};

}  // namespace laz
