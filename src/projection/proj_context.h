// A PROJ context as this program uses one: no network (only the grids
// installed on the machine), the log captured for messages and never
// printed.  PROJ objects belong to the context they were made in, and a
// context is used by one thread at a time.
#pragma once

#include <proj.h>

#include <memory>
#include <string>

#include "projection/crs_problem.h"

struct ProjDeleter {
    void operator()(PJ *object) const { proj_destroy(object); }
};
using ProjObject = std::unique_ptr<PJ, ProjDeleter>;

class ProjContext {
public:
    ProjContext();
    ~ProjContext();
    ProjContext(const ProjContext &) = delete;
    ProjContext &operator=(const ProjContext &) = delete;

    PJ_CONTEXT *get() const { return ctx_; }

    // " (PROJ: <last error>)" on one line, or "" if PROJ said nothing; the
    // message is used up.
    std::string said();
    void forget() { last_error_.clear(); }
    // The last message itself, used up.
    std::string take_message();

    // The object, or a CrsProblem (what + said()) when it is null.
    ProjObject check(PJ *object, const std::string &what);

    // An EPSG object of `category` by code; `key` names where the code came
    // from, for the message.
    ProjObject from_epsg(unsigned code, PJ_CATEGORY category, const std::string &key);

private:
    PJ_CONTEXT *ctx_;
    std::string last_error_;
};

// The horizontal part of a CRS, as a .prj holds it: a bound CRS's source, a
// compound CRS's horizontal part, a 3D CRS made 2D; geographic or
// projected, or a CrsProblem.
ProjObject horizontal(ProjContext &proj, ProjObject crs);

// The CRS as the ESRI flavour of WKT1 (a .prj: its horizontal part only),
// but only text that PROJ reads back as the same CRS: parameters PROJ
// accepts yet cannot write faithfully (a unit of 1e-305 metres gives
// infinite numbers, written "Inf.0") would make a .prj no reader can use.
std::string esri_wkt_of(ProjContext &proj, const PJ *crs);
