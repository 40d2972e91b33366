#include "frontends/convert_crs.h"

#include <cmath>

#include "base/failure.h"
#include "base/text.h"
#include "projection/crs_text.h"

namespace {

// The header's box as the extent PROJ ranks operations for, when it is one.
SourceBox source_box(const LasHeader &h) {
    SourceBox box{h.min[0], h.min[1], h.max[0], h.max[1], true};
    const bool set = h.min[0] != 0 || h.min[1] != 0 || h.max[0] != 0 || h.max[1] != 0;
    box.known = set && std::isfinite(box.min_x + box.min_y + box.max_x + box.max_y) && box.min_x <= box.max_x &&
                box.min_y <= box.max_y;
    return box;
}

std::string name_of(const PJ *crs) {
    const char *name = proj_get_name(crs);
    return name != nullptr ? name : "an unnamed coordinate system";
}

EsriWkt prj_of(ProjContext &proj, const PJ *crs) {
    try {
        return {EsriWkt::Outcome::Written, esri_wkt_of(proj, crs), ""};
    } catch (const CrsProblem &problem) {
        return {EsriWkt::Outcome::Untranslatable, problem.message, ""};
    }
}

// The CRS points are moved from: --s_srs, or the file's own.
ProjObject source_crs(ProjContext &proj, const Input &input, const Options &o) {
    if (!o.s_srs.empty()) return parse_crs(proj, o.s_srs);
    const EsriWkt &file = input.crs();
    const char *n = input.name().c_str();
    if (file.outcome == EsriWkt::Outcome::NoCrs)
        fail("%s has no coordinate system to transform from: give it with --s_srs", n);
    if (file.outcome != EsriWkt::Outcome::Written)
        fail("%s: its coordinate system cannot be used (%s): give it with --s_srs", n, file.text.c_str());
    return proj.check(proj_create(proj.get(), file.definition.c_str()), "its coordinate system cannot be read back");
}

void plan_transform(CrsChoice &c, ProjContext &proj, const Input &input, const Options &o, unsigned workers) {
    const ProjObject source = source_crs(proj, input, o);
    const ProjObject target = parse_crs(proj, o.t_srs);
    c.prj = prj_of(proj, target.get());
    c.source = name_of(source.get());
    c.target = name_of(target.get());
    const Reprojection plan = Reprojection::plan(proj, source.get(), target.get(), source_box(input.header()));
    c.operation = plan.describe();
    c.transform = std::make_unique<CrsTransform>(plan, workers);
    const char *n = input.name().c_str();
    if (plan.ballpark())
        c.warnings.push_back(formatted("%s: only a ballpark transformation from %s to %s is known (no datum shift): "
                                       "positions may be off by metres or more",
                                       n, c.source.c_str(), c.target.c_str()));
    if (plan.outside_target_area())
        c.warnings.push_back(formatted("%s: its points lie outside the area of use of %s", n, c.target.c_str()));
}

}  // namespace

CrsChoice choose_crs(const Input &input, const Options &o, unsigned workers) {
    CrsChoice c;
    c.prj = input.crs();
    if (o.t_srs.empty() && o.a_srs.empty() && o.s_srs.empty()) return c;
    ProjContext proj;
    try {
        if (!o.t_srs.empty()) {
            plan_transform(c, proj, input, o, workers);
        } else {
            const ProjObject crs = parse_crs(proj, o.a_srs.empty() ? o.s_srs : o.a_srs);
            c.prj = prj_of(proj, crs.get());
        }
    } catch (const CrsProblem &problem) {
        fail("%s: %s", input.name().c_str(), problem.message.c_str());
    }
    return c;
}

void check_crs_text(const std::string &text) {
    ProjContext proj;
    parse_crs(proj, text);
}
