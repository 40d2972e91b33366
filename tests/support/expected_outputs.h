// The three output files a conversion must produce for a LAS file, built
// straight from the LAS bytes and the shapefile and dBASE layout tables, with
// snprintf for every text field.  Shares no code with the converter.
#pragma once

#include <string>

struct ExpectedOutputs {
    std::string shp, shx, dbf;
};

// `dbf_date` holds the three date bytes the table library wrote (bytes 1-3),
// the only bytes the converter does not choose.
ExpectedOutputs expected_outputs(const std::string &las, const std::string &dbf_date);

// One attribute row exactly as printf would write it, with "***" for scan
// angles below -99 and the reduced-decimals / asterisks rule for GPS times.
std::string expected_gps_text(double gps_time);
