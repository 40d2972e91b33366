// The limits a run is held to, passed in by whoever starts it: the command's
// own main() takes the defaults; tests lower a limit to reach its refusal
// without writing millions of records first, or make shapelib refuse a
// field.
#pragma once

#include <cstdint>

#include "dbf/dbf_table.h"
#include "select/selection.h"
#include "shapefile/shp_layout.h"

struct RunLimits {
    uint64_t thin_grid_bytes = kThinGridMemory;         // what grid thinning may take
    uint64_t points_per_shapefile = shp::kMaxPoints;    // what one .shp holds
    AddField add_field = DBFAddField;                   // shapelib's call that adds a field
};
