// The dBASE III attribute table (.dbf): one numeric field per schema field,
// created through shapelib; record count and rows written directly, each
// row at its own offset, so pieces can be written by several threads at
// once and in any order.
#pragma once

#include <shapefil.h>

#include <cstdint>
#include <mutex>
#include <string>

#include "core/point_sink.h"
#include "dbf/dbf_schema.h"
#include "dbf/row_format.h"
#include "io/output_file.h"
#include "io/output_set.h"

// shapelib's call that adds a field to a new table; tests pass one that
// refuses a field.
using AddField = int (*)(DBFHandle table, const char *name, DBFFieldType type, int width, int decimals);

class DbfTable {
public:
    // Rows of `schema` from records `stride` bytes apart; the table is an
    // output of `outputs`.
    DbfTable(OutputSet &outputs, std::string dbfname, DbfSchema schema, size_t stride, AddField add_field = DBFAddField);

    // Creates the empty table through shapelib: its header ends with the
    // 0x0D terminator and nothing follows it.
    void create();
    // Stores the record count (unsigned 32-bit little-endian at byte 4).
    void set_record_count(uint32_t records);
    // Formats and writes the rows of `count` records from `records` as rows
    // `first` (0-based) onwards.  Calls for disjoint ranges may run at the
    // same time on different threads.
    void write_rows(const unsigned char *records, uint32_t count, uint64_t first);

    // Everything the rows so far wrote other than as printf would have.
    ValueChanges value_changes();
    const DbfSchema &schema() const { return schema_; }
    const std::string &name() const { return name_; }
    OutputFile *file() const { return file_; }
    // Another name before the commit.
    void rename(const std::string &dbfname);

private:
    OutputSet &outputs_;
    std::string name_;
    DbfSchema schema_;
    size_t stride_;
    AddField add_field_;
    size_t header_length_ = 0;
    size_t row_length_ = 0;
    OutputFile *file_ = nullptr;
    std::mutex changes_mutex_;
    ValueChanges changes_;
};

// The table as a sink of a run.
class DbfSink : public PointSink {
public:
    DbfSink(OutputSet &outputs, std::string dbfname, DbfSchema schema, size_t stride, AddField add_field = DBFAddField)
        : table_(outputs, std::move(dbfname), std::move(schema), stride, add_field) {}

    void begin(uint64_t points, const double box[6]) override;
    void write(const Piece &piece) override;
    void finish(const Extent &written) override;

    DbfTable &table() { return table_; }

private:
    DbfTable table_;
    uint64_t announced_ = 0;
};
