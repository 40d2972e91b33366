#include "projection/proj_context.h"

#include <proj_experimental.h>

ProjContext::ProjContext() : ctx_(proj_context_create()) {
    if (ctx_ == nullptr) throw CrsProblem("PROJ could not be initialised");
    proj_log_func(ctx_, this, [](void *self, int, const char *message) {
        if (message != nullptr) static_cast<ProjContext *>(self)->last_error_ = message;
    });
    proj_log_level(ctx_, PJ_LOG_ERROR);
    // Results must not depend on what a server holds today.
    proj_context_set_enable_network(ctx_, 0);
}

ProjContext::~ProjContext() { proj_context_destroy(ctx_); }

std::string ProjContext::take_message() {
    std::string line;
    line.swap(last_error_);
    for (char &c : line)
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    // "proj_create: crs not found": the function's name tells a user nothing.
    const size_t colon = line.find(": ");
    if (line.compare(0, 5, "proj_") == 0 && colon != std::string::npos && line.find(' ') > colon) line.erase(0, colon + 2);
    if (line.size() > 160) line = line.substr(0, 157) + "...";
    return line;
}

std::string ProjContext::said() {
    const std::string line = take_message();
    return line.empty() ? "" : " (PROJ: " + line + ")";
}

ProjObject ProjContext::check(PJ *object, const std::string &what) {
    if (object == nullptr) throw CrsProblem(what + said());
    last_error_.clear();
    return ProjObject(object);
}

ProjObject ProjContext::from_epsg(unsigned code, PJ_CATEGORY category, const std::string &key) {
    const std::string text = std::to_string(code);
    PJ *object = proj_create_from_database(ctx_, "EPSG", text.c_str(), category, 0, nullptr);
    // "not found" is what the message says already; anything else (no
    // proj.db, for one) is worth repeating.
    if (object == nullptr && last_error_.find("not found") != std::string::npos) last_error_.clear();
    return check(object, key + " is EPSG:" + text + ", which is not in the PROJ database");
}

// Bound CRSs give their source, compound ones their horizontal part, 3D
// ones their 2D form; the result must be geographic or projected.
ProjObject horizontal(ProjContext &proj, ProjObject crs) {
    for (int depth = 0; depth < 4; ++depth) {
        switch (proj_get_type(crs.get())) {
            case PJ_TYPE_BOUND_CRS: crs = proj.check(proj_get_source_crs(proj.get(), crs.get()), "no source CRS"); break;
            case PJ_TYPE_COMPOUND_CRS:
                crs = proj.check(proj_crs_get_sub_crs(proj.get(), crs.get(), 0), "no horizontal part in the compound CRS");
                break;
            case PJ_TYPE_GEOGRAPHIC_3D_CRS:
                crs = proj.check(proj_crs_demote_to_2D(proj.get(), nullptr, crs.get()), "cannot make the CRS 2D");
                break;
            case PJ_TYPE_PROJECTED_CRS: {
                ProjObject cs = proj.check(proj_crs_get_coordinate_system(proj.get(), crs.get()), "no coordinate system");
                if (proj_cs_get_axis_count(proj.get(), cs.get()) == 3)
                    crs = proj.check(proj_crs_demote_to_2D(proj.get(), nullptr, crs.get()), "cannot make the CRS 2D");
                return crs;
            }
            case PJ_TYPE_GEOGRAPHIC_2D_CRS: return crs;
            default: {
                const char *name = proj_get_name(crs.get());
                throw CrsProblem(std::string(name ? name : "the CRS") + " is not a horizontal coordinate system");
            }
        }
    }
    throw CrsProblem("the CRS nests too deeply");
}

namespace {

// The CRS as ESRI WKT, but only text that PROJ reads back as the same CRS:
// parameters PROJ accepts yet cannot write faithfully (a unit of 1e-305
// metres gives infinite numbers, written "Inf.0") would otherwise make a
// .prj that no reader can use.
std::string written_esri_wkt(ProjContext &proj, const PJ *crs) {
    const char *name = proj_get_name(crs);
    const std::string what = name ? name : "the CRS";
    const char *const options[] = {"MULTILINE=NO", nullptr};
    const char *wkt = proj_as_wkt(proj.get(), crs, PJ_WKT1_ESRI, options);
    if (wkt == nullptr) throw CrsProblem("PROJ cannot write " + what + " as ESRI WKT" + proj.said());
    const std::string text = wkt;

    PROJ_STRING_LIST warnings = nullptr, errors = nullptr;
    PJ *read_back = proj_create_from_wkt(proj.get(), text.c_str(), nullptr, &warnings, &errors);
    proj_string_list_destroy(warnings);
    proj_string_list_destroy(errors);
    if (read_back == nullptr) throw CrsProblem("PROJ cannot read back the ESRI WKT it wrote for " + what);
    const ProjObject again(read_back);
    if (!proj_is_equivalent_to(crs, again.get(), PJ_COMP_EQUIVALENT_EXCEPT_AXIS_ORDER_GEOGCRS)) {
        // A second writing that comes out the same is the same CRS too, for
        // the names ESRI's flavour spells differently.
        const char *rewritten = proj_as_wkt(proj.get(), again.get(), PJ_WKT1_ESRI, options);
        if (rewritten == nullptr || text != rewritten)
            throw CrsProblem("the ESRI WKT PROJ wrote for " + what + " reads back as another coordinate system");
    }
    return text;
}

}  // namespace

std::string esri_wkt_of(ProjContext &proj, const PJ *crs) {
    ProjObject copy = proj.check(proj_clone(proj.get(), crs), "cannot copy the CRS");
    return written_esri_wkt(proj, horizontal(proj, std::move(copy)).get());
}
