// The dBASE III attribute table (.dbf): one numeric field set per LAS variant,
// created through shapelib; record count and rows written directly.
#pragma once

#include <cstdint>

#include "Ostrine_LiDAR.h"
#include "dbf/row_format.h"

// Create the empty table of a variant: the header ends with its 0x0D
// terminator and nothing follows it, so rows can be appended at the end.
void createDBF1(const char *dbfname);
void createDBF2(const char *dbfname);
void createDBF3(const char *dbfname);
void createDBF4(const char *dbfname);
void createDBF5(const char *dbfname);
void createDBF6(const char *dbfname);
void createDBF7(const char *dbfname);
void createDBF8(const char *dbfname);

// Stores the record count (unsigned 32-bit little-endian at byte 4).
void set_dbf_record_count(const char *dbfname, uint32_t records);

// Append one row per record of a chunk.
void addtoDBF1(const char *dbfname, LAS10fm0 *p, LAS10Header *ph, int nRecords);
void addtoDBF2(const char *dbfname, LAS10fm1 *p, LAS10Header *ph, int nRecords);
void addtoDBF3(const char *dbfname, LAS11fm0 *p, LAS11Header *ph, int nRecords);
void addtoDBF4(const char *dbfname, LAS11fm1 *p, LAS11Header *ph, int nRecords);
void addtoDBF5(const char *dbfname, LAS12fm0 *p, LAS12Header *ph, int nRecords);
void addtoDBF6(const char *dbfname, LAS12fm1 *p, LAS12Header *ph, int nRecords);
void addtoDBF7(const char *dbfname, LAS12fm2 *p, LAS12Header *ph, int nRecords);
void addtoDBF8(const char *dbfname, LAS12fm3 *p, LAS12Header *ph, int nRecords);

// Everything the row writers wrote other than as printf would have, since
// the process started.
const ValueChanges &dbf_value_changes();
