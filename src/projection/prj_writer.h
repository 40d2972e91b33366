// The .prj beside the shapefile: the input's coordinate reference system in
// the ESRI flavour of WKT1, one line without a line end.
#pragma once

#include <optional>
#include <string>

#include "Ostrine_LiDAR.h"

// Reads the projection records of `lasname` (a name ending in "las") and,
// if they describe a CRS, writes it to the name ending in "prj" instead,
// replacing any file of that name.  Returns the one line (without a line
// end) to print when the records describe a CRS that cannot be translated;
// nothing when a .prj was written or the file has no usable projection
// record (none, or none that fits where the header says records lie).
// A .prj that cannot be written ends the process with a message and status -1,
// like every other output.
std::optional<std::string> write_prj_for(const std::string &lasname, const LAS12Header &header);
