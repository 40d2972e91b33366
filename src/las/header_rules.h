// What a LAS header must satisfy before its points are read, each rule
// written once.  A rule is a verdict, not a failure: it returns "" when the
// header passes, else the text that says what is wrong, naming the file.
// The callers (the library's update_header, Pelmora, pelmora-convert)
// decide what follows: refuse the file, collect every problem, or add
// their own consequence ("; its header has not been changed").
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "las/las_header.h"

namespace las_rules {

// A FIFO, device or socket: it would block a reader or never end.  "" for
// a regular file or a directory (whose read fails like that of any other
// file that is not LAS).
std::string unreadable_kind(const std::string &name, mode_t mode);
// The same, and a directory too, by its kind.
std::string not_a_regular_file(const std::string &name, mode_t mode);
// Fewer bytes than a LAS 1.0 header, or no "LASF" signature.
std::string not_las(const std::string &name, const LasHeader &h, size_t got);
// Fewer bytes than the header of the file's own version.
std::string ends_inside_header(const std::string &name, const LasHeader &h, size_t got);
// OffsetToData before the end of the version's public header (227, 235 or
// 375 bytes).
std::string offset_inside_header(const std::string &name, const LasHeader &h);
// The same, or before the end of the larger header the file declares
// (HeaderSize): the points would be read from the header's own bytes.
std::string offset_inside_declared_header(const std::string &name, const LasHeader &h);
// OffsetToData past the end of the file.
std::string offset_beyond_end(const std::string &name, const LasHeader &h, uint64_t file_size);
// Fewer whole records of `record_length` bytes after OffsetToData than the
// header announces (an uncompressed file cut short).  Needs an offset
// inside the file.
std::string records_missing(const std::string &name, const LasHeader &h, uint64_t points, uint64_t record_length,
                            uint64_t file_size);
// LAS 1.4: uncompressed point records that end after the start of the
// first extended record.
std::string records_run_into_evlrs(const std::string &name, const LasHeader &h);
// A scale factor and offset that give infinite or NaN coordinates for some
// stored integer: one message per axis.
std::vector<std::string> infinite_coordinates(const std::string &name, const LasHeader &h);
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
