#include "dbf/dbf_writer.h"

#include <shapefil.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <initializer_list>
#include <vector>

#include "byte_order.h"
#include "console/console.h"
#include "output_file.h"

namespace {

struct FieldSpec {
    const char *name;
    DBFFieldType type;
    int width;
    int decimals;
    const char *failure;  // printed with the table's name when the library refuses the field
};

const FieldSpec kIntensity{"Intensity", FTInteger, 5, 0, "Failed to add field Intensity to %s\n"};
const FieldSpec kReturnNumber{"ReturnNumber", FTInteger, 1, 0, "Failed to add field ReturnNumber to %s\n"};
const FieldSpec kNumberReturns{"NumberReturns", FTInteger, 1, 0, "Failed to add field NumberOfReturns to %s\n"};
const FieldSpec kScanDirection{"ScanDirection", FTInteger, 1, 0, "Failed to add field ScanDirection to %s\n"};
const FieldSpec kEdgeOfFlightLine{"EdgeOfFlightLine", FTInteger, 1, 0,
                                  "Failed to add field EdgeOfFlightLine to %s\n"};
const FieldSpec kClassification{"Classification", FTInteger, 3, 0, "Failed to add field Classification to %s\n"};
const FieldSpec kScanAngleRank{"ScanAngleRank", FTInteger, 3, 0, "Failed to add field ScanAngleRank to %s\n"};
const FieldSpec kFileMarker{"FileMarker", FTInteger, 3, 0, "Failed to add field FileMarker to %s\n"};
const FieldSpec kUserBitField{"UserBitField", FTInteger, 5, 0, "Failed to add field UserBitField to %s\n"};
const FieldSpec kUserData{"UserData", FTInteger, 3, 0, "Failed to add field UserData to %s\n"};
const FieldSpec kPointSourceID{"PointSourceID", FTInteger, 5, 0, "Failed to add field PointSourceID to %s\n"};
const FieldSpec kGPSTime{"GPSTime", FTDouble, 16, 8, "Failed to add field GPSTime to %s\n"};
const FieldSpec kRed{"Red", FTInteger, 5, 0, "Failed to add field Red to %s\n"};
const FieldSpec kGreen{"Green", FTInteger, 5, 0, "Failed to add field Green to %s\n"};
const FieldSpec kBlue{"Blue", FTInteger, 5, 0, "Failed to add field Blue to %s\n"};

// LAS 1.0 calls the two bytes after the scan angle the file marker and user
// bit field; LAS 1.1 and 1.2 call the same bytes user data and point source ID.
enum class Naming { Las10, Las11 };

std::vector<FieldSpec> fields_for(Naming naming, int point_format) {
    std::vector<FieldSpec> fields{kIntensity,      kReturnNumber,   kNumberReturns, kScanDirection,
                                  kEdgeOfFlightLine, kClassification, kScanAngleRank};
    if (naming == Naming::Las10) fields.insert(fields.end(), {kFileMarker, kUserBitField});
    else fields.insert(fields.end(), {kUserData, kPointSourceID});
    if (point_format == 1 || point_format == 3) fields.push_back(kGPSTime);
    if (point_format == 2 || point_format == 3) fields.insert(fields.end(), {kRed, kGreen, kBlue});
    return fields;
}

void create_table(const char *dbfname, Naming naming, int point_format) {
    DBFHandle hDBF = DBFCreate(dbfname);
    if (hDBF == nullptr) fail("DBFCreate(%s) failed.\n", dbfname);
    // Rows are appended at the end of the file, so the table must end right
    // after its header, without the end-of-file byte some library versions add.
    DBFSetWriteEndOfFileChar(hDBF, 0);
    const std::vector<FieldSpec> fields = fields_for(naming, point_format);
    for (const FieldSpec &f : fields) {
        if (DBFAddField(hDBF, f.name, f.type, f.width, f.decimals) == -1) {
            DBFClose(hDBF);
            fail(f.failure, dbfname);
        }
    }
    DBFClose(hDBF);

    // The library does not report failed writes: check what reached the disk.
    const off_t header_length = static_cast<off_t>(32 + 32 * fields.size() + 1);
    struct stat st {};
    if (stat(dbfname, &st) != 0 || st.st_size < header_length)
        fail("\nFailed to write the header of %s\n", dbfname);
    if (st.st_size > header_length && truncate(dbfname, header_length) != 0)
        fail("\nFailed to write the header of %s\n", dbfname);
}

ValueChanges g_changes;

// Formats the chunk's rows straight into the file's output blocks, which go
// to the disk in large writes while the next block is formatted.
void append_rows(const char *dbfname, const unsigned char *records, int nRecords, int point_format) {
    const RowLayout layout = row_layout_for_format(point_format);
    const size_t block_rows = OutputFile::kBlockBytes / layout.row_length;
    OutputFile dbf(dbfname, OutputFile::Mode::Append, "Unable to open %s for appending data\n");
    for (size_t start = 0; static_cast<long long>(start) < nRecords; start += block_rows) {
        const size_t count = std::min(block_rows, static_cast<size_t>(nRecords) - start);
        format_rows(records + start * layout.record_size, count, layout, reinterpret_cast<char *>(dbf.reserve()),
                    g_changes);
        dbf.commit(count * layout.row_length);
    }
    dbf.close();
}

template <class Record>
void add_to_dbf(const char *dbfname, Record *p, int nRecords, int point_format) {
    append_rows(dbfname, reinterpret_cast<const unsigned char *>(p), nRecords, point_format);
}

}  // namespace

void createDBF1(const char *dbfname) { create_table(dbfname, Naming::Las10, 0); }
void createDBF2(const char *dbfname) { create_table(dbfname, Naming::Las10, 1); }
void createDBF3(const char *dbfname) { create_table(dbfname, Naming::Las11, 0); }
void createDBF4(const char *dbfname) { create_table(dbfname, Naming::Las11, 1); }
void createDBF5(const char *dbfname) { create_table(dbfname, Naming::Las11, 0); }
void createDBF6(const char *dbfname) { create_table(dbfname, Naming::Las11, 1); }
void createDBF7(const char *dbfname) { create_table(dbfname, Naming::Las11, 2); }
void createDBF8(const char *dbfname) { create_table(dbfname, Naming::Las11, 3); }

void set_dbf_record_count(const char *dbfname, uint32_t records) {
    unsigned char count[4];
    store_le32(count, records);
    OutputFile dbf(dbfname, OutputFile::Mode::Update, "\nUnable to open %s to set its record count\n");
    dbf.write_at(4, count, sizeof count);
    dbf.close();
}

void addtoDBF1(const char *n, LAS10fm0 *p, LAS10Header *, int r) { add_to_dbf(n, p, r, 0); }
void addtoDBF2(const char *n, LAS10fm1 *p, LAS10Header *, int r) { add_to_dbf(n, p, r, 1); }
void addtoDBF3(const char *n, LAS11fm0 *p, LAS11Header *, int r) { add_to_dbf(n, p, r, 0); }
void addtoDBF4(const char *n, LAS11fm1 *p, LAS11Header *, int r) { add_to_dbf(n, p, r, 1); }
void addtoDBF5(const char *n, LAS12fm0 *p, LAS12Header *, int r) { add_to_dbf(n, p, r, 0); }
void addtoDBF6(const char *n, LAS12fm1 *p, LAS12Header *, int r) { add_to_dbf(n, p, r, 1); }
void addtoDBF7(const char *n, LAS12fm2 *p, LAS12Header *, int r) { add_to_dbf(n, p, r, 2); }
void addtoDBF8(const char *n, LAS12fm3 *p, LAS12Header *, int r) { add_to_dbf(n, p, r, 3); }

const ValueChanges &dbf_value_changes() { return g_changes; }
