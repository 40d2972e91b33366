// The shapefile's main file (.shp) and index file (.shx), written directly
// in the format's mixed byte order: a 100-byte header each, then one 36-byte
// PointZ record (no measure) and one 8-byte index entry per point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Ostrine_LiDAR.h"

// Real coordinates of the current chunk, allocated by the driver with room
// for one chunk and refilled by every PointZ writer call.
extern double *_Xvec;
extern double *_Yvec;
extern double *_Zvec;

// The index file's name: the main file's name with its last four characters
// replaced by ".shx".
std::string shx_name_for(const std::string &shpname);

// Create (or truncate) the main / index file and write its header.  The
// file lengths are computed in advance for `nReturns` records.
void createSHPwHeader(const char *shpname, int32_t nReturns, double Xmin, double Ymin, double Xmax, double Ymax,
                      double Zmin, double Zmax);
void createSHXwHeader(const char *shpname, int32_t nReturns, double Xmin, double Ymin, double Xmax, double Ymax,
                      double Zmin, double Zmax);

// Append one chunk's PointZ records and index entries.  `chunkID` is the
// 0-based chunk index; every earlier chunk held exactly one full chunk.
void addtoSHP1(const char *shpname, LAS10fm0 *p, LAS10Header *ph, int32_t nRecords, int32_t chunkID);
void addtoSHP2(const char *shpname, LAS10fm1 *p, LAS10Header *ph, int32_t nRecords, int32_t chunkID);
void addtoSHP3(const char *shpname, LAS11fm0 *p, LAS11Header *ph, int32_t nRecords, int32_t chunkID);
void addtoSHP4(const char *shpname, LAS11fm1 *p, LAS11Header *ph, int32_t nRecords, int32_t chunkID);
void addtoSHP5(const char *shpname, LAS12fm0 *p, LAS12Header *ph, int32_t nRecords, int32_t chunkID);
void addtoSHP6(const char *shpname, LAS12fm1 *p, LAS12Header *ph, int32_t nRecords, int32_t chunkID);
void addtoSHP7(const char *shpname, LAS12fm2 *p, LAS12Header *ph, int32_t nRecords, int32_t chunkID);
void addtoSHP8(const char *shpname, LAS12fm3 *p, LAS12Header *ph, int32_t nRecords, int32_t chunkID);

// LAS headers in the wild often carry bounds that do not contain their
// points.  If any written point lies outside the box given to the header
// writers, rewrites the box in both headers as the points' actual extent and
// returns true; otherwise leaves the files as they are.
bool fit_header_box_to_points(const char *shpname, double Xmin, double Ymin, double Xmax, double Ymax, double Zmin,
                              double Zmax);
