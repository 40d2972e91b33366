// A LAS 1.0-1.4 test-file generator: every version and point format 0-10,
// extra bytes with their descriptors, extended records after the points, the
// usual ways a file can be broken, and edge values in every attribute.
//
// Point contents are a deterministic function of the seed and the point's
// index, so a file can be made again at any size.  The generator writes its
// bytes by explicit offsets, independently of the converter's code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A variable-length record written after the numbered test records.
struct ExtraVlr {
    std::string user_id;         // at most 16 characters
    uint16_t record_id = 0;
    std::string description;     // at most 32 characters
    std::string payload;
    int32_t stored_length = -1;  // record length written in its header; -1: the payload's
};

// One run of extra bytes at the end of each point record, and its 192-byte
// descriptor in the Extra Bytes record (LASF_Spec 4).
struct ExtraBytes {
    uint8_t data_type = 1;     // 0: `size` undocumented bytes; 1-10: u8 i8 u16 i16 u32 i32 u64 i64 f32 f64;
                               // 11-20 / 21-30: deprecated arrays of two / three of type 1-10
    uint8_t size = 0;          // byte count of a data type 0 run (stored in its options byte)
    std::string name;          // at most 32 characters
    bool has_scale = false, has_offset = false, has_no_data = false;  // options bits 3, 4, 0
    double scale = 1.0, offset = 0.0;
    uint64_t no_data = 0;      // the 8 stored bytes: u64, i64 or f64 bits by data type
};

// Bytes per record of an extra-bytes data type (0 for the reserved types 31+).
uint16_t extra_bytes_size(const ExtraBytes &e);

struct LasSpec {
    char signature[4] = {'L', 'A', 'S', 'F'};
    uint8_t version_major = 1;
    uint8_t version_minor = 2;
    uint8_t point_format = 3;
    uint16_t record_length = 0;        // 0: the format's own length plus the extra bytes
    uint16_t header_size = 227;        // bytes beyond the version's header (227, 235, 375) are padding
    uint32_t vlr_count = 0;            // variable-length records after the header
    uint32_t gap_bytes = 0;            // junk bytes between the records and the points
    uint64_t points = 10;              // point records actually written
    int64_t announced_points = -1;     // header point count; -1: `points`
    int64_t offset_to_data = -1;       // header OffsetToData; -1: where the points start
    uint64_t truncate_to = 0;          // 0: keep; otherwise cut the file to this many bytes
    uint64_t seed = 1;
    enum class Values { Typical, Edge } values = Values::Typical;
    enum class Box { Points, Zero, Small } box = Box::Points;  // header bounds
    double scale[3] = {0.01, 0.01, 0.01};
    double offset[3] = {500000.0, 4000000.0, 0.0};
    std::vector<ExtraVlr> extra_vlrs;   // after the `vlr_count` test records, before any gap
    int64_t stored_vlr_count = -1;     // header NumberOfVariableLengthRecords; -1: the records written
    // LAS 1.3 / 1.4.  The legacy count (offset 107) is the count in 1.3, and in
    // 1.4 as writers fill it: the count for formats 0-5, 0 for formats 6-10.
    int64_t legacy_count = -1;         // stored legacy count; -1: as above
    bool wkt_bit = false;              // global-encoding bit 4 (the CRS is WKT)
    std::vector<ExtraBytes> extra_bytes;  // appended to each record, in order
    enum class Describe { One, Split, SplitEvlr, None } describe = Describe::One;
    size_t split_at = 1;               // Split*: descriptors [0, split_at) in one record, the rest in another
    std::vector<ExtraVlr> evlrs;       // extended records after the points (LAS 1.4)
};

// The GeoKey records (34735, and 34736 / 34737 when there are double or
// ASCII values) for `keys`: either a preset --
//   projected:N    GTModelType 1, ProjectedCSType N
//   geographic:N   GTModelType 2, GeographicType N, angular unit degree
//   user-tm        a user-defined Transverse Mercator on NAD83, metres
// -- or a comma-separated list of KEY=VALUE, where VALUE is an integer (a
// SHORT held in the directory), numbers with a '.' or exponent separated by
// '/' (DOUBLEs), or 'text' in single quotes (ASCII, '|' appended).  Entries
// are written in ascending key order.  `key_count` >= 0 replaces the stored
// NumberOfKeys.  Throws std::invalid_argument on a malformed list.
std::vector<ExtraVlr> geokey_vlrs(const std::string &keys, int32_t key_count = -1);

// An OGC WKT coordinate-system record (LASF_Projection 2112), NUL-terminated.
ExtraVlr wkt_vlr(const std::string &wkt);

// Parses TYPE[:NAME[:SCALE[:OFFSET[:NODATA]]]] (an empty part is absent), or
// 0:N for N undocumented bytes.  Throws std::invalid_argument.
ExtraBytes parse_extra_bytes(const std::string &text);

// Record length of a point format (0..10, as LAS 1.4 defines them).
uint16_t las_format_length(uint8_t point_format);

// Writes the file; throws std::runtime_error on I/O errors.
void write_las(const std::string &path, const LasSpec &spec);
