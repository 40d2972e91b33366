// Where the compressed points of a LAZ file are: its chunks, found from the
// header, the LASzip record and the chunk table, and checked against the
// file before a decoder is started.
//
// Point data of a LAZ file:
//   OffsetToData       i64: file position of the chunk table
//   OffsetToData + 8   chunk 0, chunk 1, ... each coded on its own (its first
//                      record stored whole), back to back
//   table position     u32 version (0), u32 chunk count, then per chunk its
//                      point count (variable chunk size only) and its byte
//                      size, coded with LASzip's arithmetic integer coder,
//                      each value predicted by the previous chunk's
//   after the table    the EVLRs of a LAS 1.4 file
//
// With a fixed chunk size every chunk but the last holds that many points.
// What is accepted, beyond that plain layout, and why:
//   - a table pointer of -1: the writer could not seek back and appended the
//     position as the file's last 8 bytes, where LASzip looks for it too;
//   - chunk size 0 beside a table of one chunk: a writer's way of saying
//     "one chunk" (LASzip and laz-perf read such a file as one chunk).  Its
//     single entry is read as a byte size and, if that does not fit, as a
//     point count and byte size;
//   - chunk size 0xFFFFFFFF (variable, as COPC writes): the point counts
//     come from the table.
// And what is refused: a pointer that still points at itself (the writer
// stopped before writing the table: the chunk sizes are unknown), a table
// that is not version 0, chunk counts that do not match the points, chunks
// with no points or fewer bytes than their first record, and sizes that do
// not add up to exactly the bytes between the first chunk and the table.
// Every count read from the file is bounded by the bytes it describes
// before anything is allocated for it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "las/las_header.h"
#include "las/las_vlr.h"

namespace laz {

struct LazChunk {
    uint64_t offset = 0;  // file position of its first byte
    uint64_t bytes = 0;   // compressed size
    uint32_t points = 0;
    // Decoded twice by the decoder, with different bytes after its end: a
    // count larger than its bytes hold makes the codec read past them.
    bool verify = false;
};

struct LazPlan {
    uint8_t point_format = 0;  // without the compression bits
    uint16_t record_length = 0;
    uint64_t point_count = 0;
    std::vector<LazChunk> chunks;  // in file order, contiguous
};

// The chunks of the LAZ file `name`, open as `fd` (read with positional
// reads only), `file_size` bytes long, with the parsed `header` and its
// variable-length records `vlrs` (the LASzip record among them).  Fails with
// a message naming the file for anything it cannot decode or that does not
// add up.
LazPlan plan_laz(const std::string &name, int fd, uint64_t file_size, const LasHeader &header,
                 const std::vector<LasVlr> &vlrs);

// The entries of a chunk table, as coded after its 8-byte head: for each of
// `count` chunks its point count (when `with_points`) and its byte size.
// Reads bytes from `next_byte` (which fails past the end of the table's
// space).  `keep_going(i, points, bytes)` sees each entry as it is decoded
// and returns false to stop; nothing is stored here.  Throws TableDamage
// for bytes no encoder writes.
void decode_chunk_entries(const std::function<uint8_t()> &next_byte, uint32_t count, bool with_points,
                          const std::function<bool(uint32_t index, uint32_t points, uint32_t bytes)> &keep_going);

}  // namespace laz
