// The dBASE III attribute table (.dbf): one numeric field per schema field,
// created through shapelib; record count and rows written directly.
#pragma once

#include <shapefil.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "Ostrine_LiDAR.h"
#include "dbf/dbf_schema.h"
#include "dbf/row_format.h"
#include "io/output_file.h"
#include "io/output_set.h"

// The shapelib call that defines a field, replaceable so that a test can
// make the library refuse one.
struct TableLibrary {
    int (*add_field)(DBFHandle table, const char *name, DBFFieldType type, int width, int decimals);
};
TableLibrary &table_library();

// The .dbf of one run, open from its creation to the commit.
class DbfWriter {
public:
    // Rows of `schema` from records `stride` bytes apart; the table is an
    // output of `outputs`.
    DbfWriter(OutputSet &outputs, std::string dbfname, DbfSchema schema, size_t stride);

    // Creates the empty table through shapelib: its header ends with the
    // 0x0D terminator and nothing follows it.
    void create();
    // Stores the record count (unsigned 32-bit little-endian at byte 4).
    void set_record_count(uint32_t records);
    // Formats and writes the rows of `count` records from `records` as rows
    // `first` (0-based) onwards.  Calls for disjoint ranges may run at the
    // same time on different threads.
    void write_rows(const unsigned char *records, int32_t count, uint64_t first);

    // Everything the rows so far wrote other than as printf would have.
    ValueChanges value_changes();
    const DbfSchema &schema() const { return schema_; }

    OutputFile *file() { return file_; }

private:
    OutputSet &outputs_;
    std::string name_;
    DbfSchema schema_;
    size_t stride_;
    size_t header_length_ = 0;
    size_t row_length_ = 0;
    OutputFile *file_ = nullptr;
    std::mutex changes_mutex_;
    ValueChanges changes_;
};

// The numbered writers of each variant, over one run's writer.
void createDBF1(DbfWriter &dbf);
void createDBF2(DbfWriter &dbf);
void createDBF3(DbfWriter &dbf);
void createDBF4(DbfWriter &dbf);
void createDBF5(DbfWriter &dbf);
void createDBF6(DbfWriter &dbf);
void createDBF7(DbfWriter &dbf);
void createDBF8(DbfWriter &dbf);

void set_dbf_record_count(DbfWriter &dbf, uint32_t records);

// Append the rows of `nRecords` records of chunk `chunkID` from record
// `firstInChunk` on (the whole chunk by default).
void addtoDBF1(DbfWriter &dbf, LAS10fm0 *p, LAS10Header *ph, int nRecords, int32_t chunkID = 0, int32_t firstInChunk = 0);
void addtoDBF2(DbfWriter &dbf, LAS10fm1 *p, LAS10Header *ph, int nRecords, int32_t chunkID = 0, int32_t firstInChunk = 0);
void addtoDBF3(DbfWriter &dbf, LAS11fm0 *p, LAS11Header *ph, int nRecords, int32_t chunkID = 0, int32_t firstInChunk = 0);
void addtoDBF4(DbfWriter &dbf, LAS11fm1 *p, LAS11Header *ph, int nRecords, int32_t chunkID = 0, int32_t firstInChunk = 0);
void addtoDBF5(DbfWriter &dbf, LAS12fm0 *p, LAS12Header *ph, int nRecords, int32_t chunkID = 0, int32_t firstInChunk = 0);
void addtoDBF6(DbfWriter &dbf, LAS12fm1 *p, LAS12Header *ph, int nRecords, int32_t chunkID = 0, int32_t firstInChunk = 0);
void addtoDBF7(DbfWriter &dbf, LAS12fm2 *p, LAS12Header *ph, int nRecords, int32_t chunkID = 0, int32_t firstInChunk = 0);
void addtoDBF8(DbfWriter &dbf, LAS12fm3 *p, LAS12Header *ph, int nRecords, int32_t chunkID = 0, int32_t firstInChunk = 0);
