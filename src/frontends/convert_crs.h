// pelmora-convert's coordinate systems for one file: the .prj it writes,
// and the transform of its points when --t_srs asks for one.
//
//   (nothing)       the file's own CRS, as its records give it
//   --a_srs=CRS     CRS as the .prj; the points as stored
//   --s_srs=CRS     CRS instead of the file's own; alone, as the .prj
//   --t_srs=CRS     every point moved from the source (the file's CRS, or
//                   --s_srs) to CRS, whose .prj is written
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/input.h"
#include "frontends/convert_options.h"
#include "projection/esri_wkt.h"
#include "projection/reprojection.h"

struct CrsChoice {
    EsriWkt prj;                               // what the .prj holds (or why there is none)
    std::unique_ptr<CrsTransform> transform;   // --t_srs: the run's transform step
    std::string source, target, operation;     // for -v and the dry run
    std::vector<std::string> warnings;         // a ballpark operation, points outside the target's area
};

// The choice for `input` under the options; fails (status 1) when a
// transform has no source CRS, or PROJ cannot relate the two.
CrsChoice choose_crs(const Input &input, const Options &o, unsigned workers);

// Fails (a CrsProblem) when `text` is not a CRS PROJ can use, saying why
// in one line naming the text.
void check_crs_text(const std::string &text);
