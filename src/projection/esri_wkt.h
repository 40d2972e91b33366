// The coordinate reference system a LAS file's projection records describe,
// as the ESRI flavour of WKT1 (the text of a shapefile's .prj), through PROJ.
//
// An OGC WKT record (2112) is used when PROJ can read it; otherwise the
// GeoKeys: a projected CRS by EPSG code (ProjectedCSTypeGeoKey), a
// geographic one (GeographicTypeGeoKey), or a user-defined one built from
// keys (Transverse Mercator, Lambert Conformal Conic 1SP/2SP, Albers,
// Mercator, Lambert Azimuthal Equal Area; datum, ellipsoid, prime meridian
// and units by code or value).  Only the horizontal part is kept: the
// vertical CRS of a compound one and the vertical keys are left out.
//
// PROJ runs with networking off and its log captured, never printed.
#pragma once

#include <string>
#include <vector>

#include "las/las_vlr.h"

struct EsriWkt {
    enum class Outcome {
        NoCrs,           // no projection record, or only an empty key directory
        Written,         // `text` is the WKT
        Untranslatable,  // `text` is one line saying why
        Unreadable,      // the only record is broken or too long to read: `text` says how
    };
    Outcome outcome = Outcome::NoCrs;
    std::string text;
    // Written: the whole CRS as PROJJSON (a .prj holds its horizontal part
    // only), for moving points from it.
    std::string definition;
};

EsriWkt esri_wkt_from_vlrs(const std::vector<LasVlr> &records);
