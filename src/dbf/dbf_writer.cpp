#include "dbf/dbf_writer.h"

#include <shapefil.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <initializer_list>
#include <vector>

#include "dbf/dbf_schema.h"
#include "io/byte_order.h"
#include "console/console.h"
#include "output_file.h"

namespace {

void create_table(const char *dbfname, int16_t las_type) {
    DBFHandle hDBF = DBFCreate(dbfname);
    if (hDBF == nullptr) fail("DBFCreate(%s) failed.\n", dbfname);
    // Rows are appended at the end of the file, so the table must end right
    // after its header, without the end-of-file byte some library versions add.
    DBFSetWriteEndOfFileChar(hDBF, 0);
    const DbfSchema schema = dbf_schema(las_type);
    for (size_t i = 0; i < schema.count; ++i) {
        const DbfField &f = schema.fields[i];
        if (DBFAddField(hDBF, f.name, f.decimals > 0 ? FTDouble : FTInteger, f.width, f.decimals) == -1) {
            DBFClose(hDBF);
            fail(f.failure, dbfname);
        }
    }
    DBFClose(hDBF);

    // The library does not report failed writes: check what reached the disk.
    const off_t header_length = static_cast<off_t>(schema.header_length());
    struct stat st {};
    if (stat(dbfname, &st) != 0 || st.st_size < header_length)
        fail("\nFailed to write the header of %s\n", dbfname);
    if (st.st_size > header_length && truncate(dbfname, header_length) != 0)
        fail("\nFailed to write the header of %s\n", dbfname);
}

ValueChanges g_changes;

// Formats the chunk's rows straight into the file's output blocks, which go
// to the disk in large writes while the next block is formatted.
void append_rows(const char *dbfname, const unsigned char *records, int nRecords, int16_t las_type) {
    const size_t row_length = dbf_schema(las_type).row_length();
    const size_t stride = kLasVariants[las_type].record_length;
    const size_t block_rows = OutputFile::kBlockBytes / row_length;
    OutputFile dbf(dbfname, OutputFile::Mode::Append, "Unable to open %s for appending data\n");
    for (size_t start = 0; static_cast<long long>(start) < nRecords; start += block_rows) {
        const size_t count = std::min(block_rows, static_cast<size_t>(nRecords) - start);
        format_rows(records + start * stride, count, las_type, reinterpret_cast<char *>(dbf.reserve()), g_changes);
        dbf.commit(count * row_length);
    }
    dbf.close();
}

template <class Record>
void add_to_dbf(const char *dbfname, Record *p, int nRecords, int16_t las_type) {
    append_rows(dbfname, reinterpret_cast<const unsigned char *>(p), nRecords, las_type);
}

}  // namespace

void createDBF1(const char *dbfname) { create_table(dbfname, 1); }
void createDBF2(const char *dbfname) { create_table(dbfname, 2); }
void createDBF3(const char *dbfname) { create_table(dbfname, 3); }
void createDBF4(const char *dbfname) { create_table(dbfname, 4); }
void createDBF5(const char *dbfname) { create_table(dbfname, 5); }
void createDBF6(const char *dbfname) { create_table(dbfname, 6); }
void createDBF7(const char *dbfname) { create_table(dbfname, 7); }
void createDBF8(const char *dbfname) { create_table(dbfname, 8); }

void set_dbf_record_count(const char *dbfname, uint32_t records) {
    unsigned char count[4];
    store_le32(count, records);
    OutputFile dbf(dbfname, OutputFile::Mode::Update, "\nUnable to open %s to set its record count\n");
    dbf.write_at(4, count, sizeof count);
    dbf.close();
}

void addtoDBF1(const char *n, LAS10fm0 *p, LAS10Header *, int r) { add_to_dbf(n, p, r, 1); }
void addtoDBF2(const char *n, LAS10fm1 *p, LAS10Header *, int r) { add_to_dbf(n, p, r, 2); }
void addtoDBF3(const char *n, LAS11fm0 *p, LAS11Header *, int r) { add_to_dbf(n, p, r, 3); }
void addtoDBF4(const char *n, LAS11fm1 *p, LAS11Header *, int r) { add_to_dbf(n, p, r, 4); }
void addtoDBF5(const char *n, LAS12fm0 *p, LAS12Header *, int r) { add_to_dbf(n, p, r, 5); }
void addtoDBF6(const char *n, LAS12fm1 *p, LAS12Header *, int r) { add_to_dbf(n, p, r, 6); }
void addtoDBF7(const char *n, LAS12fm2 *p, LAS12Header *, int r) { add_to_dbf(n, p, r, 7); }
void addtoDBF8(const char *n, LAS12fm3 *p, LAS12Header *, int r) { add_to_dbf(n, p, r, 8); }

const ValueChanges &dbf_value_changes() { return g_changes; }
