// Pelmora's command line and console over the conversion run: validation
// with check_las's rules and messages, names, one switch on the LAS variant
// choosing its numbered writers, progress lines before each chunk of
// 1,000,000 records, and the elapsed time.  Everything goes to standard
// output; every failure ends as its message and status -1.

#include "frontends/pelmora.h"

#include <stdio_ext.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "Ostrine_LiDAR.h"
#include "console/console.h"
#include "core/conversion.h"
#include "core/limits.h"
#include "dbf/dbf_writer.h"
#include "io/large_buffer.h"
#include "io/output_file.h"
#include "las/las_file.h"
#include "lidar/las_variants.h"
#include "projection/esri_wkt.h"
#include "shapefile/shp_writer.h"

namespace {

// The input's name with its three-letter extension replaced.
std::string with_extension(const std::string &name, const char *extension) {
    return name.substr(0, name.size() - 3) + extension;
}

// The variant's numbered writers, called with the header view of its
// version: the run hands them every piece.
template <class Header, class Record>
void use_writers(ConversionSetup &setup, const LasHeader &parsed, void (*createDBF)(DbfWriter &),
                 void (*addtoSHP)(ShapefileWriter &, Record *, Header *, int32_t, int32_t, int32_t),
                 void (*addtoDBF)(DbfWriter &, Record *, Header *, int, int32_t, int32_t)) {
    static_assert(sizeof(Header) == sizeof(LAS12Header), "the three header types share one layout");
    auto header = std::make_shared<Header>();
    const LAS12Header view = las12_header_view(parsed);
    std::memcpy(header.get(), &view, sizeof view);
    setup.create_dbf = createDBF;
    setup.write_shp = [header, addtoSHP](ShapefileWriter &shp, const Piece &p) {
        addtoSHP(shp, reinterpret_cast<Record *>(p.records), header.get(), p.count, p.chunk, p.first_in_chunk);
    };
    setup.write_dbf = [header, addtoDBF](DbfWriter &dbf, const Piece &p) {
        addtoDBF(dbf, reinterpret_cast<Record *>(p.records), header.get(), p.count, p.chunk, p.first_in_chunk);
    };
}

int convert_file(const char *lasname) {
    LasFile input;
    if (!input.open(lasname)) fail("\nCannot open binary file %s for reading\n\n", lasname);
    // Everything about the input that could stop the run is checked here,
    // from the one descriptor the records are read from, before any output
    // exists.
    input.inspect();
    const LasFileCheck check =
        check_las_file(lasname, input.mode(), input.size(), input.header_bytes(), input.header_got());
    if (!check.problems.empty()) throw Failure{check.problems.front()};
    const int16_t LASType = check.las_type;

    ConversionSetup setup;
    setup.file = &input;
    setup.header = input.header();
    setup.points = input.header().legacy_point_count;
    setup.stride = kLasVariants[LASType].record_length;
    setup.shpname = with_extension(lasname, "shp");
    setup.dbfname = with_extension(lasname, "dbf");
    setup.prjname = with_extension(lasname, "prj");
    setup.schema = pelmora_schema(LASType);
    setup.crs = esri_wkt_from_vlrs(input.vlrs(is_projection_vlr));
    setup.chunk_records = kChunkRecords;
    setup.piece_records = kPieceRecords;

    std::vector<std::string> outputs = {setup.shpname, shx_name_for(setup.shpname), setup.dbfname, setup.prjname};
    // An output name that is a link to the input would replace it.
    for (const std::string &output : outputs)
        if (input.is_same_file(output))  // stat follows links: a link to the input is the input
            fail("\n%s is the input file %s itself (a link to it): writing it would destroy the input\n",
                 output.c_str(), lasname);
    // Two output names for one file would leave one output in the other's
    // place (the .prj only counts when there will be one).
    if (setup.crs.outcome != EsriWkt::Outcome::Written) outputs.pop_back();
    if (const auto [first, second] = same_output_file(outputs); !first.empty())
        fail("\n%s and %s are the same file (a link to it): writing both would destroy one output\n", first.c_str(),
             second.c_str());
    // Outputs that are not regular files cannot be replaced; the .prj only
    // matters when there will be one.
    for (const std::string &output : {setup.shpname, shx_name_for(setup.shpname), setup.dbfname})
        refuse_unreplaceable_output(output);
    if (setup.crs.outcome == EsriWkt::Outcome::Written) refuse_unreplaceable_output(setup.prjname);
    input.confirm_unchanged();

    credits();
    std::printf("Input LAS file:    %s\n", lasname);
    std::printf("Output Shapefile:  %s\n", setup.shpname.c_str());

    ElapsedClock clock;
    clock.start();
    // Allocated once per process and kept until it ends.
    if (_Xvec == nullptr) _Xvec = static_cast<double *>(allocate_large(sizeof(double) * kChunkRecords));
    if (_Yvec == nullptr && _Xvec) _Yvec = static_cast<double *>(allocate_large(sizeof(double) * kChunkRecords));
    if (_Zvec == nullptr && _Yvec) _Zvec = static_cast<double *>(allocate_large(sizeof(double) * kChunkRecords));
    if (_Zvec == nullptr) fail("\nFailed to allocate memory for X, Y, and Z coordinate vectors\n");

    std::printf("\nProcessing ...");
    std::fflush(stdout);

    const LasHeader &h = input.header();
    switch (LASType) {
        case 1: use_writers<LAS10Header, LAS10fm0>(setup, h, createDBF1, addtoSHP1, addtoDBF1); break;
        case 2: use_writers<LAS10Header, LAS10fm1>(setup, h, createDBF2, addtoSHP2, addtoDBF2); break;
        case 3: use_writers<LAS11Header, LAS11fm0>(setup, h, createDBF3, addtoSHP3, addtoDBF3); break;
        case 4: use_writers<LAS11Header, LAS11fm1>(setup, h, createDBF4, addtoSHP4, addtoDBF4); break;
        case 5: use_writers<LAS12Header, LAS12fm0>(setup, h, createDBF5, addtoSHP5, addtoDBF5); break;
        case 6: use_writers<LAS12Header, LAS12fm1>(setup, h, createDBF6, addtoSHP6, addtoDBF6); break;
        case 7: use_writers<LAS12Header, LAS12fm2>(setup, h, createDBF7, addtoSHP7, addtoDBF7); break;
        case 8: use_writers<LAS12Header, LAS12fm3>(setup, h, createDBF8, addtoSHP8, addtoDBF8); break;
        default: break;
    }
    const uint32_t ptsInLAS = h.legacy_point_count;
    const bool one_decimal = LASType == 1;
    setup.before_full_chunk = [ptsInLAS, one_decimal](int32_t chunk) { print_progress(chunk, ptsInLAS, one_decimal); };

    PlainRecords records(input, setup.points, setup.stride);
    setup.records = &records;
    const EsriWkt crs = setup.crs;
    Conversion conversion(std::move(setup));
    conversion.write_points();

    wipe_progress();
    const std::string changes = describe_value_changes(conversion.value_changes(), conversion.schema());
    if (!changes.empty()) std::printf("%s\n", changes.c_str());
    if (const uint64_t far = conversion.far_points(); far != 0)
        std::printf("%s\n", far_points_warning(lasname, far, conversion.points_written()).c_str());
    if (crs.outcome == EsriWkt::Outcome::Untranslatable) std::printf("No .prj written: %s\n", crs.text.c_str());
    conversion.commit();
    for (const std::string &warning : conversion.warnings()) std::printf("%s\n", warning.c_str());
    clock.print();
    return 0;
}

// Everything printed reaches the console before the run ends; what a
// console that went away (a closed pipe) cannot take is dropped, so that the
// C library does not try again at exit, when SIGPIPE would end the process.
int flushed(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        __fpurge(stdout);
        std::clearerr(stdout);
    }
    return status;
}

int run_guarded(int argc, char **argv) {
    if (argc != 2) {
        std::puts("\nMissing or excessive number of arguments");
        std::puts("Usage:");
        std::puts("Pelmora <LAS file>");
        credits();
        return -1;
    }
    try {
        return convert_file(argv[1]);
    } catch (const Failure &failure) {
        std::fputs(failure.message.c_str(), stdout);
    } catch (const std::bad_alloc &) {
        std::fputs("\nFailed to allocate memory for output buffers\n", stdout);
    }
    return -1;
}

}  // namespace

int run(int argc, char **argv) {
    const SignalGuard signals;
    return flushed(run_guarded(argc, argv));
}
