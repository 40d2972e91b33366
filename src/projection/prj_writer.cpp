#include "projection/prj_writer.h"

std::string prj_name_for(const std::string &lasname) { return lasname.substr(0, lasname.size() - 3) + "prj"; }

std::unique_ptr<OutputFile> write_prj(const std::string &prjname, const EsriWkt &wkt) {
    if (wkt.outcome != EsriWkt::Outcome::Written) return nullptr;
    auto prj = std::make_unique<OutputFile>(prjname, "\nUnable to open file %s for writing\n");
    prj->put_at(wkt.text.data(), wkt.text.size(), 0);
    return prj;
}
