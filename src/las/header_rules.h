// What a LAS header must satisfy before its points are read, each rule
// written once.  A rule returns "" when the header passes, else the core of
// the message that says what is wrong, naming the file; the callers (the
// library's update_header, Pelmora, pelmora-convert) add their own
// punctuation and consequence ("; its header has not been changed").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/limits.h"
#include "las/las_header.h"

namespace las_rules {

// OffsetToData before the end of the version's public header (227, 235 or
// 375 bytes; `header_bytes`).
std::string offset_inside_header(const std::string &name, const LasHeader &h, uint64_t header_bytes);
// OffsetToData past the end of the file.
std::string offset_beyond_end(const std::string &name, const LasHeader &h, uint64_t file_size);
// More points than a shapefile holds.
std::string too_many_points(const std::string &name, uint64_t points);
// Fewer whole records of `record_length` bytes after OffsetToData than the
// header announces (an uncompressed file cut short).  Needs an offset
// inside the file.
std::string records_missing(const std::string &name, const LasHeader &h, uint64_t points, uint64_t record_length,
                            uint64_t file_size);
// A scale factor and offset that give infinite or NaN coordinates for some
// stored integer: one message per axis.
std::vector<std::string> infinite_coordinates(const std::string &name, const LasHeader &h);

// LAS 1.3 and 1.4 (pelmora-convert).
// A version other than 1.0-1.4.
std::string unsupported_version(const std::string &name, const LasHeader &h);
// A point format above 10.
std::string unknown_point_format(const std::string &name, const LasHeader &h);
// A record length shorter than the point format's.
std::string record_too_short(const std::string &name, const LasHeader &h);
// A HeaderSize smaller than the version's header (the fields it would hold
// are then the bytes of something else).
std::string header_size_too_small(const std::string &name, const LasHeader &h);
// LAS 1.4: a legacy point count that is neither 0 nor the 64-bit count.
std::string legacy_count_contradicts(const std::string &name, const LasHeader &h);

}  // namespace las_rules
