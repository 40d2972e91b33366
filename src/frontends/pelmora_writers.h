// Pelmora's numbered writers: the PointZ writer, the table's creation and
// row writer of each LAS variant (1..8), and the coordinate vectors they
// fill, over the shapefile and table writers every conversion uses.  A
// variant's writers together are Pelmora's one sink of the run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Ostrine_LiDAR.h"
#include "core/point_sink.h"
#include "dbf/dbf_table.h"
#include "shapefile/pointz_files.h"

// Real coordinates of the current chunk, allocated by the driver with room
// for one chunk and refilled by every PointZ writer call.
extern double *_Xvec;
extern double *_Yvec;
extern double *_Zvec;

// Create the main / index file and write its header, the file length
// computed in advance for `nReturns` records.
void createSHPwHeader(PointZFiles &shp, int32_t nReturns, double Xmin, double Ymin, double Xmax, double Ymax,
                      double Zmin, double Zmax);
void createSHXwHeader(PointZFiles &shp, int32_t nReturns, double Xmin, double Ymin, double Xmax, double Ymax,
                      double Zmin, double Zmax);

// Write one chunk's PointZ records and index entries, or a part of it:
// `nRecords` records from record `firstInChunk` of chunk `chunkID` (0-based;
// every earlier chunk held exactly one full chunk) on.  Their coordinates
// are left in the vectors from `firstInChunk` on.
void addtoSHP1(PointZFiles &shp, LAS10fm0 *p, LAS10Header *ph, int32_t nRecords, int32_t chunkID, int32_t firstInChunk = 0);
void addtoSHP2(PointZFiles &shp, LAS10fm1 *p, LAS10Header *ph, int32_t nRecords, int32_t chunkID, int32_t firstInChunk = 0);
void addtoSHP3(PointZFiles &shp, LAS11fm0 *p, LAS11Header *ph, int32_t nRecords, int32_t chunkID, int32_t firstInChunk = 0);
void addtoSHP4(PointZFiles &shp, LAS11fm1 *p, LAS11Header *ph, int32_t nRecords, int32_t chunkID, int32_t firstInChunk = 0);
void addtoSHP5(PointZFiles &shp, LAS12fm0 *p, LAS12Header *ph, int32_t nRecords, int32_t chunkID, int32_t firstInChunk = 0);
void addtoSHP6(PointZFiles &shp, LAS12fm1 *p, LAS12Header *ph, int32_t nRecords, int32_t chunkID, int32_t firstInChunk = 0);
void addtoSHP7(PointZFiles &shp, LAS12fm2 *p, LAS12Header *ph, int32_t nRecords, int32_t chunkID, int32_t firstInChunk = 0);
void addtoSHP8(PointZFiles &shp, LAS12fm3 *p, LAS12Header *ph, int32_t nRecords, int32_t chunkID, int32_t firstInChunk = 0);

// Create the table with the variant's fields.
void createDBF1(DbfTable &dbf);
void createDBF2(DbfTable &dbf);
void createDBF3(DbfTable &dbf);
void createDBF4(DbfTable &dbf);
void createDBF5(DbfTable &dbf);
void createDBF6(DbfTable &dbf);
void createDBF7(DbfTable &dbf);
void createDBF8(DbfTable &dbf);

void set_dbf_record_count(DbfTable &dbf, uint32_t records);

// Append the rows of `nRecords` records of chunk `chunkID` from record
// `firstInChunk` on (the whole chunk by default).
void addtoDBF1(DbfTable &dbf, LAS10fm0 *p, LAS10Header *ph, int nRecords, int32_t chunkID = 0, int32_t firstInChunk = 0);
void addtoDBF2(DbfTable &dbf, LAS10fm1 *p, LAS10Header *ph, int nRecords, int32_t chunkID = 0, int32_t firstInChunk = 0);
void addtoDBF3(DbfTable &dbf, LAS11fm0 *p, LAS11Header *ph, int nRecords, int32_t chunkID = 0, int32_t firstInChunk = 0);
void addtoDBF4(DbfTable &dbf, LAS11fm1 *p, LAS11Header *ph, int nRecords, int32_t chunkID = 0, int32_t firstInChunk = 0);
void addtoDBF5(DbfTable &dbf, LAS12fm0 *p, LAS12Header *ph, int nRecords, int32_t chunkID = 0, int32_t firstInChunk = 0);
void addtoDBF6(DbfTable &dbf, LAS12fm1 *p, LAS12Header *ph, int nRecords, int32_t chunkID = 0, int32_t firstInChunk = 0);
void addtoDBF7(DbfTable &dbf, LAS12fm2 *p, LAS12Header *ph, int nRecords, int32_t chunkID = 0, int32_t firstInChunk = 0);
void addtoDBF8(DbfTable &dbf, LAS12fm3 *p, LAS12Header *ph, int nRecords, int32_t chunkID = 0, int32_t firstInChunk = 0);

// The writers of a variant as the run's sink, and what its rows changed.
class PelmoraWriters : public PointSink {
public:
    // "Values too wide for their fields: ..."; "" when nothing changed.
    virtual std::string value_changes() = 0;
};

// The writers of variant `las_type` (1..8): the .shp and .shx at
// `shpname`, the table at `dbfname`, with the 227-byte public header
// `header` (its scales and offsets make the coordinates).
std::unique_ptr<PelmoraWriters> variant_writers(int16_t las_type, OutputSet &outputs, const std::string &shpname,
                                           const std::string &dbfname, const unsigned char *header, AddField add_field);
