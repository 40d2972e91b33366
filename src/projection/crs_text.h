// Coordinate systems as users name them on the command line: EPSG:n and
// other AUTHORITY:CODE forms (compounds as A+B), WKT1 or WKT2, PROJJSON, a
// PROJ string, an exact CRS name, or @FILE naming a .prj or .wkt file.
#pragma once

#include <string>

#include "projection/proj_context.h"

// The CRS `text` names, or a CrsProblem saying, in one line naming the
// text, why it is none: PROJ cannot read it, or it is something else (an
// ellipsoid, an operation), or it has no horizontal axes (a vertical or
// geocentric CRS).
ProjObject parse_crs(ProjContext &proj, const std::string &text);

// True when the CRS has a height axis: compound, or 3D geographic or
// projected; a bound CRS by its base.
bool has_height(ProjContext &proj, const PJ *crs);

// The 2D horizontal CRS: a compound CRS's first part, a 3D CRS made 2D; a
// bound CRS stays bound (its transformation to WGS 84 is part of it).
ProjObject two_dimensional(ProjContext &proj, const PJ *crs);
