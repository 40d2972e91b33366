#include "projection/prj_writer.h"

#include "output_file.h"
#include "projection/esri_wkt.h"
#include "projection/las_vlr.h"

std::optional<std::string> write_prj_for(const std::string &lasname, const LAS12Header &header) {
    const std::vector<LasVlr> records = read_projection_vlrs(lasname, header.HeaderSize, header.OffsetToData,
                                                             header.NumberOfVariableLengthRecords);
    const EsriWkt wkt = esri_wkt_from_vlrs(records);
    switch (wkt.outcome) {
        case EsriWkt::Outcome::NoCrs: return std::nullopt;
        case EsriWkt::Outcome::Untranslatable: return "No .prj written: " + wkt.text;
        case EsriWkt::Outcome::Written: break;
    }
    const std::string prjname = lasname.substr(0, lasname.size() - 3) + "prj";
    OutputFile prj(prjname, OutputFile::Mode::Create, "\nUnable to open file %s for writing\n");
    prj.write(wkt.text.data(), wkt.text.size());
    prj.close();
    return std::nullopt;
}
