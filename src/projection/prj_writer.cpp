#include "projection/prj_writer.h"

OutputFile *write_prj(OutputSet &outputs, const std::string &prjname, const EsriWkt &wkt) {
    if (wkt.outcome != EsriWkt::Outcome::Written) return nullptr;
    OutputFile *prj = outputs.open(prjname);
    prj->put_at(wkt.text.data(), wkt.text.size(), 0);
    return prj;
}
