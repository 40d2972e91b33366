// Variable-length records (VLRs) and, in LAS 1.4, extended ones (EVLRs).
//
// VLRs lie between the public header (HeaderSize bytes, at least the
// version's header) and OffsetToData; NumberOfVariableLengthRecords counts
// them.  EVLRs follow the point data, from StartOfFirstEVLR to the end of
// the file.  Real files carry wrong counts and lengths, so every record
// header and payload is checked against its space (and the file's size)
// before it is read: a record that does not fit ends the walk, the records
// before it are kept, and nothing past the space is ever read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct LasVlr {
    std::string user_id;   // up to the first NUL of the 16-byte field
    uint16_t record_id = 0;
    std::string payload;   // the record's bytes after its 54-byte header
    uint64_t unread = 0;   // a record too long to be read: its length (payload empty)
};

// Bytes [begin, end) of the file in which variable-length records may lie.
struct VlrSpace {
    uint64_t begin = 0;
    uint64_t end = 0;
};

// begin: HeaderSize (the version's header size if the stored value is
// smaller); end: OffsetToData, or the file's size if that is smaller.  An
// empty space has begin >= end.
VlrSpace vlr_space(uint16_t header_size, uint64_t version_header_bytes, uint32_t offset_to_data, uint64_t file_size);

// Reads `size` bytes at `offset` into `buffer`; false if they cannot all be read.
using ReadAt = std::function<bool(uint64_t offset, void *buffer, size_t size)>;

// Which records to keep (with their payloads); the others are only stepped over.
using VlrFilter = std::function<bool(const std::string &user_id, uint16_t record_id)>;

// Where a record lies in the file, and what it is.
struct RecordPlace {
    std::string user_id;
    uint16_t record_id = 0;
    uint64_t at = 0;            // its first byte
    uint64_t header_bytes = 0;  // 54 (VLR) or 60 (EVLR)
    uint64_t payload_bytes = 0;
};

// Walks at most `count` records (EVLRs when `extended`) from space.begin,
// calling `visit` with each whole one until it returns false.  Stops at the
// first record whose header or payload would end past space.end, or that
// cannot be read.
void walk_records(const ReadAt &read, VlrSpace space, uint32_t count, bool extended,
                  const std::function<bool(const RecordPlace &)> &visit);

// Walks at most `count` records from space.begin, keeping those `keep`
// accepts.  Stops at the first record whose header or payload would end
// past space.end, or that cannot be read.
std::vector<LasVlr> read_vlrs(const ReadAt &read, VlrSpace space, uint32_t count, const VlrFilter &keep);

// The same walk over EVLRs (60-byte headers, 64-bit lengths).  Payloads
// longer than `max_payload` are not read: such a record is kept with its
// length in `unread`.
std::vector<LasVlr> read_evlrs(const ReadAt &read, VlrSpace space, uint32_t count, const VlrFilter &keep,
                               uint64_t max_payload);

// The records that can describe a coordinate system: user id
// "LASF_Projection" (GeoKeys 34735/34736/34737, OGC WKT 2112), and record
// 2112 under "liblas", the id libLAS wrote its WKT records with.
bool is_projection_vlr(const std::string &user_id, uint16_t record_id);

// Extra Bytes descriptors: user id "LASF_Spec", record 4.
bool is_extra_bytes_vlr(const std::string &user_id, uint16_t record_id);

// Serves the walk's reads of a file from large blocks, read only from
// inside the record space: one system call per megabyte, whatever the
// number of records (a header may announce four billion of them).
class BlockReader {
public:
    BlockReader(int fd, VlrSpace space);
    bool read(uint64_t offset, void *buffer, size_t size);
    ReadAt reader() {
        return [this](uint64_t offset, void *buffer, size_t size) { return read(offset, buffer, size); };
    }

private:
    static constexpr size_t kBlockBytes = 1u << 20;
    int fd_;
    VlrSpace space_;
    std::vector<unsigned char> block_;
    uint64_t block_at_ = 0;  // file offset of block_[0]
};
