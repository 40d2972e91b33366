// Pelmora: converts one LAS 1.0-1.2 point file into a PointZ shapefile
// (.shp, .shx) and its dBASE attribute table (.dbf) beside it.
//
// Point records stream through one buffer in chunks of 1,000,000, so memory
// stays bounded whatever the size of the file.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "Ostrine_LiDAR.h"
#include "console/console.h"
#include "dbf/dbf_writer.h"
#include "lidar/las_variants.h"
#include "projection/prj_writer.h"
#include "reader/chunk_reader.h"
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
void report_value_changes() {
    const ValueChanges &c = dbf_value_changes();
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

// The run of one variant: headers, the empty table with its record count,
// then every chunk through the PointZ writer and the row writer.
template <class Header, class Record>
void convert(LasInput &input, const char *shpname, const char *dbfname, void (*createDBF)(const char *),
             void (*addtoSHP)(const char *, Record *, Header *, int32_t, int32_t),
             void (*addtoDBF)(const char *, Record *, Header *, int), bool one_decimal_progress) {
    Header header;
    std::memcpy(&header, &input.header(), sizeof header);
    // Released however the run ends (fail() may unwind when a harness
    // replaces end_run).
    const std::unique_ptr<Record, FreeBlock> buffer(static_cast<Record *>(std::malloc(sizeof(Record) * kChunkRecords)));
    Record *points = buffer.get();
    if (points == nullptr) fail("Failed to allocate memory for return structure\n");

    const uint32_t ptsInLAS = header.NumberOfPointReturns;
    const int32_t nChunks = static_cast<int32_t>(ptsInLAS / kChunkRecords);
    const int32_t remainingRecords = static_cast<int32_t>(ptsInLAS - static_cast<uint32_t>(nChunks) * kChunkRecords);

    // The shapefile takes minima first; the LAS header stores each maximum first.
    const int32_t nReturns = static_cast<int32_t>(ptsInLAS);
    createSHPwHeader(shpname, nReturns, header.MinX, header.MinY, header.MaxX, header.MaxY, header.MinZ, header.MaxZ);
    createSHXwHeader(shpname, nReturns, header.MinX, header.MinY, header.MaxX, header.MaxY, header.MinZ, header.MaxZ);
    createDBF(dbfname);
    set_dbf_record_count(dbfname, ptsInLAS);

    for (int32_t i = 0; i < nChunks; ++i) {
        print_progress(i, ptsInLAS, one_decimal_progress);
        input.read_records(points, kChunkRecords);
        addtoSHP(shpname, points, &header, kChunkRecords, i);
        addtoDBF(dbfname, points, &header, kChunkRecords);
    }
    if (remainingRecords > 0) {
        input.read_records(points, remainingRecords);
        addtoSHP(shpname, points, &header, remainingRecords, nChunks);
        addtoDBF(dbfname, points, &header, remainingRecords);
    }
    fit_header_box_to_points(shpname, header.MinX, header.MinY, header.MaxX, header.MaxY, header.MinZ, header.MaxZ);
}

}  // namespace

int main(int argc, char **argv) {
    // Past a file-size limit (ulimit -f) a write then fails with EFBIG and is
    // reported like a full disk, instead of the signal killing the run.
    std::signal(SIGXFSZ, SIG_IGN);
    if (argc != 2) {
        std::puts("\nMissing or excessive number of arguments");
        std::puts("Usage:");
        std::puts("Pelmora <LAS file>");
        credits();
        std::exit(-1);
    }
    const char *lasname = argv[1];

    LasInput input;
    if (!input.open(lasname)) fail("\nCannot open binary file %s for reading\n\n", lasname);

    const int16_t LASType = check_las(lasname);
    if (LASType < 1) fail("%s is not a valid LAS file\n", lasname);
    // Everything about the header that could stop the run is checked here,
    // before any output file exists.
    input.read_and_check_header(kLasVariants[LASType].record_length);

    const std::string shpname = with_extension(lasname, "shp");
    const std::string dbfname = with_extension(lasname, "dbf");
    // An output name that is a link to the input would truncate it.
    for (const std::string &output : {shpname, shx_name_for(shpname), dbfname, with_extension(lasname, "prj")})
        if (input.is_same_file(output))
            fail("\n%s is the input file %s itself (a link to it): writing it would destroy the input\n", output.c_str(),
                 lasname);
    credits();
    std::printf("Input LAS file:    %s\n", lasname);
    std::printf("Output Shapefile:  %s\n", shpname.c_str());

    start_elapsed_clock();
    // Allocated once per process and kept until it ends.
    if (_Xvec == nullptr) _Xvec = static_cast<double *>(std::malloc(sizeof(double) * kChunkRecords));
    if (_Yvec == nullptr && _Xvec) _Yvec = static_cast<double *>(std::malloc(sizeof(double) * kChunkRecords));
    if (_Zvec == nullptr && _Yvec) _Zvec = static_cast<double *>(std::malloc(sizeof(double) * kChunkRecords));
    if (_Zvec == nullptr) fail("\nFailed to allocate memory for X, Y, and Z coordinate vectors\n");

    std::printf("\nProcessing ...");
    std::fflush(stdout);

    const char *shp = shpname.c_str();
    const char *dbf = dbfname.c_str();
    switch (LASType) {
        case 1: convert(input, shp, dbf, createDBF1, addtoSHP1, addtoDBF1, true); break;
        case 2: convert(input, shp, dbf, createDBF2, addtoSHP2, addtoDBF2, false); break;
        case 3: convert(input, shp, dbf, createDBF3, addtoSHP3, addtoDBF3, false); break;
        case 4: convert(input, shp, dbf, createDBF4, addtoSHP4, addtoDBF4, false); break;
        case 5: convert(input, shp, dbf, createDBF5, addtoSHP5, addtoDBF5, false); break;
        case 6: convert(input, shp, dbf, createDBF6, addtoSHP6, addtoDBF6, false); break;
        case 7: convert(input, shp, dbf, createDBF7, addtoSHP7, addtoDBF7, false); break;
        case 8: convert(input, shp, dbf, createDBF8, addtoSHP8, addtoDBF8, false); break;
        default: break;
    }

    wipe_progress();
    report_value_changes();
    if (const auto note = write_prj_for(lasname, input.header())) std::printf("%s\n", note->c_str());
    print_elapsed_time();
    return 0;
}
