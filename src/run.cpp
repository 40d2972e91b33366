// The run: validation, names, one switch on the LAS variant, and the chunks
// of point records through the PointZ writer and the row writer.
//
// Point records stream through one buffer in chunks of 1,000,000, so memory
// stays bounded whatever the size of the file; the outputs are renamed into
// place only when all of them are complete.

#include "run.h"

#include <stdio_ext.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "Ostrine_LiDAR.h"
#include "console/console.h"
#include "dbf/dbf_writer.h"
#include "io/large_buffer.h"
#include "io/output_file.h"
#include "las/las_input.h"
#include "lidar/las_variants.h"
#include "pipeline/piece_pipeline.h"
#include "projection/esri_wkt.h"
#include "projection/prj_writer.h"
#include "shapefile/shp_writer.h"

namespace {

struct FreeBlock {
    void operator()(void *block) const { std::free(block); }
};

// The input's name with its three-letter extension replaced.
std::string with_extension(const std::string &name, const char *extension) {
    return name.substr(0, name.size() - 3) + extension;
}

// Prints a line saying how many values could not be written as they are.
void report_value_changes(const ValueChanges &c) {
    if (!c.any()) return;
    std::printf("Values too wide for their fields:");
    const char *separator = " ";
    if (c.scan_angle_nulls != 0) {
        std::printf("%sScanAngleRank %llu written as null (***)", separator,
                    static_cast<unsigned long long>(c.scan_angle_nulls));
        separator = "; ";
    }
    if (c.gps_fewer_decimals != 0) {
        std::printf("%sGPSTime %llu written with fewer than 8 decimals", separator,
                    static_cast<unsigned long long>(c.gps_fewer_decimals));
        separator = "; ";
    }
    if (c.gps_nulls != 0)
        std::printf("%sGPSTime %llu written as null (****************)", separator,
                    static_cast<unsigned long long>(c.gps_nulls));
    std::printf("\n");
}

// What a run knows once the input is checked.
struct RunSetup {
    LasInput &input;
    std::string lasname, shpname, dbfname, prjname;
    EsriWkt crs;
    ElapsedClock clock;
};

// The run of one variant: headers, the empty table with its record count,
// then every chunk, piece by piece, through the PointZ writer and the row
// writer; last the .prj, and every output renamed into place.
template <class Header, class Record>
void convert(RunSetup &run, int16_t LASType, void (*createDBF)(DbfWriter &),
             void (*addtoSHP)(ShapefileWriter &, Record *, Header *, int32_t, int32_t, int32_t),
             void (*addtoDBF)(DbfWriter &, Record *, Header *, int, int32_t, int32_t), bool one_decimal_progress) {
    Header header;
    std::memcpy(&header, &run.input.header(), sizeof header);
    // Released however the run ends.
    const std::unique_ptr<Record, FreeBlock> buffer(static_cast<Record *>(allocate_large(sizeof(Record) * kChunkRecords)));
    if (buffer == nullptr) fail("Failed to allocate memory for return structure\n");

    const uint32_t ptsInLAS = header.NumberOfPointReturns;
    const int32_t nChunks = static_cast<int32_t>(ptsInLAS / kChunkRecords);
    const int32_t remainingRecords = static_cast<int32_t>(ptsInLAS - static_cast<uint32_t>(nChunks) * kChunkRecords);

    // The shapefile takes minima first; the LAS header stores each maximum first.
    const int32_t nReturns = static_cast<int32_t>(ptsInLAS);
    const double box[6] = {header.MinX, header.MinY, header.MaxX, header.MaxY, header.MinZ, header.MaxZ};
    ShapefileWriter shp(run.shpname);
    DbfWriter dbf(run.dbfname, LASType);
    createSHPwHeader(shp, nReturns, box[0], box[1], box[2], box[3], box[4], box[5]);
    createSHXwHeader(shp, nReturns, box[0], box[1], box[2], box[3], box[4], box[5]);
    createDBF(dbf);
    set_dbf_record_count(dbf, ptsInLAS);

    {
        PiecePipeline pieces(
            reinterpret_cast<unsigned char *>(buffer.get()), sizeof(Record),
            {[&](const Piece &p) {
                 addtoSHP(shp, reinterpret_cast<Record *>(p.records), &header, p.count, p.chunk, p.first_in_chunk);
             },
             [&](const Piece &p) {
                 addtoDBF(dbf, reinterpret_cast<Record *>(p.records), &header, p.count, p.chunk, p.first_in_chunk);
             }});
        // Each full chunk's progress line comes before it is read; the final
        // partial chunk has none.
        const int32_t chunks = nChunks + (remainingRecords > 0 ? 1 : 0);
        for (int32_t chunk = 0; chunk < chunks; ++chunk) {
            const int32_t records = chunk < nChunks ? kChunkRecords : remainingRecords;
            if (chunk < nChunks) print_progress(chunk, ptsInLAS, one_decimal_progress);
            for (int32_t first = 0; first < records; first += kPieceRecords) {
                const int32_t count = std::min(kPieceRecords, records - first);
                unsigned char *room = pieces.room_for(first);
                run.input.read_records(room, count);
                pieces.submit({chunk, first, count, room});
            }
        }
        pieces.finish();
    }
    shp.fit_header_box_to_points(box);

    wipe_progress();
    report_value_changes(dbf.value_changes());
    std::unique_ptr<OutputFile> prj = write_prj(run.prjname, run.crs);
    if (run.crs.outcome == EsriWkt::Outcome::Untranslatable) std::printf("No .prj written: %s\n", run.crs.text.c_str());
    OutputFile::finish({shp.main_file(), shp.index_file(), dbf.file(), prj.get()});
    run.input.confirm_unchanged();
    OutputFile::commit({shp.main_file(), shp.index_file(), dbf.file(), prj.get()});
}

int convert_file(const char *lasname) {
    LasInput input;
    if (!input.open(lasname)) fail("\nCannot open binary file %s for reading\n\n", lasname);
    // Everything about the input that could stop the run is checked here,
    // from the one descriptor the records are read from, before any output
    // exists.
    const int16_t LASType = input.read_and_check_header();
    RunSetup run{input, lasname, with_extension(lasname, "shp"), with_extension(lasname, "dbf"), prj_name_for(lasname),
                 esri_wkt_from_vlrs(input.projection_vlrs()), {}};

    // An output name that is a link to the input would replace it.
    for (const std::string &output : {run.shpname, shx_name_for(run.shpname), run.dbfname, run.prjname})
        if (input.is_same_file(output))  // stat follows links: a link to the input is the input
            fail("\n%s is the input file %s itself (a link to it): writing it would destroy the input\n", output.c_str(),
                 lasname);
    // Outputs that are not regular files cannot be replaced; the .prj only
    // matters when there will be one.
    for (const std::string &output : {run.shpname, shx_name_for(run.shpname), run.dbfname})
        refuse_unreplaceable_output(output);
    if (run.crs.outcome == EsriWkt::Outcome::Written) refuse_unreplaceable_output(run.prjname);
    input.confirm_unchanged();

    credits();
    std::printf("Input LAS file:    %s\n", lasname);
    std::printf("Output Shapefile:  %s\n", run.shpname.c_str());

    run.clock.start();
    // Allocated once per process and kept until it ends.
    if (_Xvec == nullptr) _Xvec = static_cast<double *>(allocate_large(sizeof(double) * kChunkRecords));
    if (_Yvec == nullptr && _Xvec) _Yvec = static_cast<double *>(allocate_large(sizeof(double) * kChunkRecords));
    if (_Zvec == nullptr && _Yvec) _Zvec = static_cast<double *>(allocate_large(sizeof(double) * kChunkRecords));
    if (_Zvec == nullptr) fail("\nFailed to allocate memory for X, Y, and Z coordinate vectors\n");

    std::printf("\nProcessing ...");
    std::fflush(stdout);

    switch (LASType) {
        case 1: convert(run, LASType, createDBF1, addtoSHP1, addtoDBF1, true); break;
        case 2: convert(run, LASType, createDBF2, addtoSHP2, addtoDBF2, false); break;
        case 3: convert(run, LASType, createDBF3, addtoSHP3, addtoDBF3, false); break;
        case 4: convert(run, LASType, createDBF4, addtoSHP4, addtoDBF4, false); break;
        case 5: convert(run, LASType, createDBF5, addtoSHP5, addtoDBF5, false); break;
        case 6: convert(run, LASType, createDBF6, addtoSHP6, addtoDBF6, false); break;
        case 7: convert(run, LASType, createDBF7, addtoSHP7, addtoDBF7, false); break;
        case 8: convert(run, LASType, createDBF8, addtoSHP8, addtoDBF8, false); break;
        default: break;
    }
    run.clock.print();
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
