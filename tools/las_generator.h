// A LAS 1.0-1.4 test-file generator: every convertible variant, the usual
// ways a file can be broken, and edge values in every attribute.
//
// Point contents are a deterministic function of the seed and the point's
// index, so a file can be made again at any size.  The generator writes its
// bytes by explicit offsets, independently of the converter's code.
#pragma once

#include <cstdint>
#include <string>

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
};

// Record length of a point format (0..10, as LAS 1.4 defines them).
uint16_t las_format_length(uint8_t point_format);

// Writes the file; throws std::runtime_error on I/O errors.
void write_las(const std::string &path, const LasSpec &spec);
