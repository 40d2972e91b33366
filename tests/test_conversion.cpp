// End-to-end: the built Pelmora converts generated and real LAS files, and
// every output byte equals what the shapefile and dBASE tables prescribe.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <filesystem>

#include "expected_outputs.h"
#include "output_checks.h"
#include "pelmora_run.h"

namespace {

struct Outputs {
    std::string shp, shx, dbf;
};

Outputs read_outputs(const std::string &base) {
    return {read_file(base + ".shp"), read_file(base + ".shx"), read_file(base + ".dbf")};
}

// Converts `las` (path ending in .las) and checks all three outputs byte for byte.
void expect_exact_conversion(const std::string &las, const std::vector<std::string> &progress,
                             const std::string &summary = "") {
    const Captured run = run_pelmora(las);
    ASSERT_EQ(run.exit_status, 0) << run.out;
    const std::string base = las.substr(0, las.size() - 4);
    EXPECT_EQ(mask_elapsed(run.out), expected_console(las, base + ".shp", progress, summary));
    EXPECT_EQ(run.err, "");
    const Outputs got = read_outputs(base);
    ASSERT_GE(got.dbf.size(), 4u);
    const ExpectedOutputs want = expected_outputs(read_file(las), got.dbf.substr(1, 3));
    // Compare sizes first: a mismatch in a 100 MB string is unreadable.
    ASSERT_EQ(got.shp.size(), want.shp.size());
    ASSERT_EQ(got.shx.size(), want.shx.size());
    ASSERT_EQ(got.dbf.size(), want.dbf.size());
    EXPECT_TRUE(got.shp == want.shp) << "shp differs";
    EXPECT_TRUE(got.shx == want.shx) << "shx differs";
    EXPECT_TRUE(got.dbf == want.dbf) << "dbf differs";
    EXPECT_FALSE(file_exists(base + ".cpg")) << "no code-page side file";
}

struct Variant {
    const char *version;
    const char *format;
};

class EveryVariant : public ::testing::TestWithParam<Variant> {};

TEST_P(EveryVariant, TypicalAndEdgeValuesConvertByteExact) {
    TempDir dir("variant");
    const Variant v = GetParam();
    generate_las(dir / "typical.las", {"--version", v.version, "--format", v.format, "--points", "3000"});
    expect_exact_conversion(dir / "typical.las", {});

    // Every bitfield and scan-angle byte, flagged classes, extreme coordinates
    // and, where present, non-finite and over-wide GPS times.
    generate_las(dir / "edge.las", {"--version", v.version, "--format", v.format, "--points", "3000", "--values", "edge"});
    const Captured run = run_pelmora(dir / "edge.las");
    ASSERT_EQ(run.exit_status, 0);
    const std::string summary = run.out.substr(run.out.rfind(std::string(78, ' ') + "\r") + 79);
    EXPECT_NE(summary.find("ScanAngleRank"), std::string::npos) << summary;
    expect_exact_conversion(dir / "edge.las", {}, summary.substr(0, summary.find("Elapsed")));
}

INSTANTIATE_TEST_SUITE_P(Las, EveryVariant,
                         ::testing::Values(Variant{"1.0", "0"}, Variant{"1.0", "1"}, Variant{"1.1", "0"},
                                           Variant{"1.1", "1"}, Variant{"1.2", "0"}, Variant{"1.2", "1"},
                                           Variant{"1.2", "2"}, Variant{"1.2", "3"}),
                         [](const auto &info) {
                             std::string name = std::string("v") + info.param.version + "_f" + info.param.format;
                             std::replace(name.begin(), name.end(), '.', '_');
                             return name;
                         });

TEST(Chunks, BoundariesNumberRecordsAndPrintProgressPerFullChunk) {
    TempDir dir("chunks");
    const struct {
        const char *points;
        std::vector<std::string> progress;
    } cases[] = {{"999999", {}}, {"1000000", {"100.00"}}, {"1000001", {"100.00"}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.points);
        generate_las(dir / "chunk.las", {"--format", "0", "--points", c.points});
        expect_exact_conversion(dir / "chunk.las", c.progress);
    }
}

// Edge values in every field across a chunk boundary, the pieces of the
// second chunk written while the first one's are.
TEST(Chunks, EdgeValuesOfFormat3AcrossTwoChunks) {
    TempDir dir("chunks12");
    generate_las(dir / "big.las", {"--format", "3", "--points", "1200000", "--values", "edge"});
    const Captured run = run_pelmora(dir / "big.las");
    ASSERT_EQ(run.exit_status, 0);
    const std::string summary = run.out.substr(run.out.rfind(std::string(78, ' ') + "\r") + 79);
    expect_exact_conversion(dir / "big.las", {"83.33"}, summary.substr(0, summary.find("Elapsed")));
}

TEST(Chunks, LasOneZeroFormatZeroShowsOneDecimal) {
    TempDir dir("chunks10");
    generate_las(dir / "big.las", {"--version", "1.0", "--format", "0", "--points", "2500000"});
    expect_exact_conversion(dir / "big.las", {"40.0", "80.0"});
}

TEST(Chunks, ZeroPointsGiveHeadersAndAnEmptyTable) {
    TempDir dir("zero");
    generate_las(dir / "empty.las", {"--format", "1", "--points", "0", "--vlrs", "2"});
    expect_exact_conversion(dir / "empty.las", {});
    EXPECT_EQ(read_file(dir / "empty.shp").size(), 100u);
    EXPECT_EQ(read_file(dir / "empty.shx").size(), 100u);
    EXPECT_EQ(read_file(dir / "empty.dbf").size(), 353u);
}

TEST(Layout, VariableLengthRecordsLongHeadersAndGapsAreSkippedThroughOffsetToData) {
    TempDir dir("layout");
    generate_las(dir / "vlr.las", {"--format", "2", "--points", "500", "--vlrs", "7", "--header-size", "235", "--gap", "5"});
    expect_exact_conversion(dir / "vlr.las", {});
}

TEST(BoundingBox, HeaderBoxThatMissesPointsIsReplacedByTheirExtent) {
    TempDir dir("box");
    for (const char *box : {"small", "zero"}) {
        SCOPED_TRACE(box);
        generate_las(dir / "box.las", {"--format", "0", "--points", "1000", "--box", box});
        expect_exact_conversion(dir / "box.las", {});
        // The expectation above derives the box from the points; make sure it
        // is not simply the LAS header's.
        const std::string las = read_file(dir / "box.las");
        const std::string shp = read_file(dir / "box.shp");
        const std::string header_box = las.substr(187, 8) + las.substr(203, 8) + las.substr(179, 8) +
                                       las.substr(195, 8) + las.substr(219, 8) + las.substr(211, 8);
        EXPECT_NE(shp.substr(36, 48), header_box) << "box still the LAS header's";
    }
    // A header box that is not a number, or infinite, is no box at all: the
    // points' extent, or zeros without points.
    for (const char *points : {"1000", "0"})
        for (const double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
            SCOPED_TRACE(std::string(points) + " points, bound " + std::to_string(bad));
            generate_las(dir / "box.las", {"--format", "1", "--points", points});
            std::string las = read_file(dir / "box.las");
            std::memcpy(&las[points[0] == '0' ? 179 : 219], &bad, 8);  // MaxX, or MinZ
            write_file(dir / "box.las", las);
            expect_exact_conversion(dir / "box.las", {});
            const std::string shp = read_file(dir / "box.shp");
            double written[6];
            std::memcpy(written, shp.data() + 36, sizeof written);
            for (double b : written) EXPECT_TRUE(std::isfinite(b));
            if (points[0] == '0') {
                EXPECT_EQ(shp.substr(36, 48), std::string(48, '\0'));
            }
        }
}

// Bytes damaged in a coordinate decode into a point far from the others:
// one line says how many lie beyond the header's box by more than ten times
// its size; the conversion goes on and the box is fitted as for any point
// outside it.
TEST(BoundingBox, PointsFarOutsideTheHeaderBoxAreCountedInAWarning) {
    TempDir dir("far");
    generate_las(dir / "far.las", {"--format", "0", "--points", "1000"});
    std::string las = read_file(dir / "far.las");
    bytes::put_le(las, 227 + 20 * 10 + 8, static_cast<uint32_t>(-2147000000), 4);  // record 10's Z
    write_file(dir / "far.las", las);
    expect_exact_conversion(dir / "far.las", {},
                            dir / "far.las" + ": 1 of 1000 points lie far outside the box its header gives (beyond "
                                              "it by more than ten times the box's own size); the file may be damaged\n");
}

TEST(Names, OutputsGoBesideTheInputWhateverTheNameLength) {
    TempDir dir("names");
    // A directory path and a file name far beyond 80 characters.
    const std::string deep = dir / (std::string(120, 'd') + "/" + std::string(90, 'e'));
    std::filesystem::create_directories(deep);
    const std::string las = deep + "/" + std::string(200, 't') + ".v2.las";
    generate_las(las, {"--format", "1", "--points", "10"});
    expect_exact_conversion(las, {});

    // A bare name writes into the working directory.
    generate_las(dir / "here.las", {"--format", "0", "--points", "3"});
    const Captured run = run_pelmora("here.las", dir.path);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_TRUE(file_exists(dir / "here.shp") && file_exists(dir / "here.shx") && file_exists(dir / "here.dbf"));
}

TEST(Names, ExistingOutputsAreReplaced) {
    TempDir dir("replace");
    generate_las(dir / "again.las", {"--format", "3", "--points", "50"});
    write_file(dir / "again.shp", std::string(5000, 'x'));
    write_file(dir / "again.dbf", std::string(5000, 'x'));
    expect_exact_conversion(dir / "again.las", {});
    expect_exact_conversion(dir / "again.las", {});
}

// Real files written by other lidar software.
class RealFile : public ::testing::TestWithParam<const char *> {};

TEST_P(RealFile, ConvertsByteExact) {
    TempDir dir("real");
    const std::string las = dir / GetParam();
    write_file(las, read_file(std::string(LASDATA_DIR) + "/" + GetParam()));
    const Captured run = run_pelmora(las);
    ASSERT_EQ(run.exit_status, 0) << run.out;
    const std::string tail = run.out.substr(run.out.rfind(std::string(78, ' ') + "\r") + 79);
    expect_exact_conversion(las, {}, tail.substr(0, tail.find("Elapsed")));
}

INSTANTIATE_TEST_SUITE_P(
    Lasdata, RealFile,
    ::testing::Values("laspy_simple1_1.las", "lasrs_long-header.las", "liblas_v1.0writer_1.0_0.las",
                      "liblas_v1.0writer_1.0_1.las", "liblas_v1.0writer_1.1_0.las", "liblas_v1.0writer_1.1_1.las",
                      "liblas_v1.0writer_1.2_0.las", "liblas_v1.0writer_1.2_1.las", "liblas_v1.0writer_1.2_2.las",
                      "liblas_v1.0writer_1.2_3.las", "pdal_1.2-with-color.las", "pdal_epsg_4326.las",
                      "pdal_lots_of_vlr.las", "pdal_no-points.las", "pyntcloud_has_offsets.las"),
    [](const auto &info) {
        std::string name = info.param;
        for (char &c : name)
            if (!isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

TEST(RealFiles, LasOneZeroGpsTimesTooWideKeepTheDecimalsThatFit) {
    TempDir dir("gps10");
    const std::string las = dir / "v10.las";
    write_file(las, read_file(std::string(LASDATA_DIR) + "/liblas_v1.0writer_1.0_1.las"));
    const Captured run = run_pelmora(las);
    ASSERT_EQ(run.exit_status, 0);
    EXPECT_NE(run.out.find("Values too wide for their fields: GPSTime 1 written with fewer than 8 decimals\n"),
              std::string::npos);
    const std::string dbf = read_file(dir / "v10.dbf");
    EXPECT_EQ(dbf.substr(353 + 24, 16), "1234910021.86526");
}

}  // namespace
