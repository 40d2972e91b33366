#include "projection/prj_writer.h"

void write_prj(OutputSet &outputs, const std::string &prjname, const EsriWkt &wkt) {
    if (wkt.outcome != EsriWkt::Outcome::Written) return;
    OutputFile *prj = outputs.open(prjname);
    prj->put_at(wkt.text.data(), wkt.text.size(), 0);
}
