// The .prj beside the shapefile: the input's coordinate reference system in
// the ESRI flavour of WKT1, one line without a line end.
#pragma once

#include <memory>
#include <string>

#include "io/output_file.h"
#include "projection/esri_wkt.h"

// The name ending in "prj" for a name ending in "las".
std::string prj_name_for(const std::string &lasname);

// Writes `wkt.text` to the .prj's temporary, to be finished and committed
// with the other outputs; nothing unless the records gave a translatable CRS.  A .prj that
// cannot be created or written fails like every other output.
std::unique_ptr<OutputFile> write_prj(const std::string &prjname, const EsriWkt &wkt);
