// A LAS 1.0-1.4 test-file generator: every convertible variant, the usual
// ways a file can be broken, and edge values in every attribute.
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

struct LasSpec {
    char signature[4] = {'L', 'A', 'S', 'F'};
    uint8_t version_major = 1;
    uint8_t version_minor = 2;
    uint8_t point_format = 3;
    uint16_t record_length = 0;        // 0: the format's own length
    uint16_t header_size = 227;        // bytes > 227 are padding after the public header
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

// Record length of a point format (0..10, as LAS 1.4 defines them).
uint16_t las_format_length(uint8_t point_format);

// Writes the file; throws std::runtime_error on I/O errors.
void write_las(const std::string &path, const LasSpec &spec);
