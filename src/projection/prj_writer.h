// The .prj beside the shapefile: the input's coordinate reference system in
// the ESRI flavour of WKT1, one line without a line end.
#pragma once

#include <string>

#include "io/output_set.h"
#include "projection/esri_wkt.h"

// Writes `wkt.text` as the output `prjname` of `outputs`, and returns it;
// nothing (nullptr) unless the records gave a translatable CRS.  A .prj
// that cannot be created or written fails like every other output.
OutputFile *write_prj(OutputSet &outputs, const std::string &prjname, const EsriWkt &wkt);
