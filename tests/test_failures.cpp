// Every way a run can fail: the message, status 255 and what is left on disk.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "Ostrine_LiDAR.h"
#include "pelmora_run.h"
#include "dbf/dbf_writer.h"
#include "reader/chunk_reader.h"
#include "shapefile/shp_writer.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> listing(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

const std::string kUsage = "\nMissing or excessive number of arguments\nUsage:\nPelmora <LAS file>\n";

// What a run prints up to the first chunk.
std::string run_start(const std::string &las, const std::string &shp) {
    return std::string(kBanner) + "Input LAS file:    " + las + "\nOutput Shapefile:  " + shp + "\n\nProcessing ...";
}

TEST(Usage, WrongArgumentCountsPrintUsageAndBanner) {
    TempDir dir("usage");
    for (const std::vector<std::string> &argv :
         {std::vector<std::string>{PELMORA_BIN}, std::vector<std::string>{PELMORA_BIN, "a.las", "b.las"}}) {
        const Captured run = run_program(argv, dir.path);
        EXPECT_EQ(run.exit_status, 255);
        EXPECT_EQ(run.out, kUsage + kBanner);
        EXPECT_EQ(run.err, "");
    }
    EXPECT_TRUE(listing(dir.path).empty());
}

TEST(Refused, InputsThatAreNotConvertibleLeaveNothingBehind) {
    TempDir dir("refused");
    const std::string las = dir / "in.las";
    const struct {
        std::vector<std::string> generator_args;
        std::string message;
    } cases[] = {
        {{"--signature", "LASG"}, "\n" + las + " is not a valid .las file\n\n" + las + " is not a valid LAS file\n"},
        {{"--version", "1.3"}, "\nCannot handle las files of version 1.3\n" + las + " is not a valid LAS file\n"},
        {{"--version", "2.0"}, "\nCannot handle las files of version 2.x\n" + las + " is not a valid LAS file\n"},
        {{"--format", "6"},
         "\nPointDataFormatID in " + las + " is 6. Only 0, 1, 2, or 3 is accepted\n" + las + " is not a valid LAS file\n"},
        {{"--format", "1", "--record-length", "27"},
         "\nData format of " + las + " (1) is incompatible with Length of Data Record (27)\n" + las +
             " is not a valid LAS file\n"},
        // LAS 1.0 with format 3: no record type, no message of the check's own.
        {{"--version", "1.0", "--format", "3"}, las + " is not a valid LAS file\n"},
        // Files that end inside the public header.
        {{"--truncate", "226"}, "\n" + las + " is not a valid .las file\n\n" + las + " is not a valid LAS file\n"},
        // Point records that cannot be where the header says.
        {{"--offset-to-data", "100"},
         "\nOffsetToData of " + las + " is 100, inside the 227-byte public header; the point records cannot start there\n"},
        {{"--points", "0", "--offset-to-data", "5000"},
         "\nOffsetToData of " + las + " is 5000, beyond the end of the file (227 bytes)\n"},
        // Fewer records than announced.
        {{"--points", "10", "--announce", "11"},
         "\n" + las + " announces 11 point records but holds only 10 whole records of 34 bytes after byte 227\n"},
        {{"--points", "10", "--truncate", "566"},
         "\n" + las + " announces 10 point records but holds only 9 whole records of 34 bytes after byte 227\n"},
        // More points than a shapefile's 32-bit word lengths can count.
        {{"--points", "10", "--announce", "119304645"},
         "\n" + las + " holds 119304645 point records; a shapefile can hold at most 119304644 PointZ records\n"},
        {{"--points", "10", "--announce", "119304644"},
         "\n" + las + " announces 119304644 point records but holds only 10 whole records of 34 bytes after byte 227\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        fs::remove(las);
        generate_las(las, c.generator_args);
        const Captured run = run_pelmora(las);
        EXPECT_EQ(run.exit_status, 255);
        EXPECT_EQ(run.out, c.message);
        EXPECT_EQ(listing(dir.path), std::vector<std::string>{"in.las"});
    }
}

TEST(Refused, EmptyAndTinyFilesUpperCaseExtensionsAndMissingFiles) {
    TempDir dir("tiny");
    for (size_t size : {0, 4, 106}) {
        write_file(dir / "t.las", std::string("LASF") + std::string(size > 4 ? size - 4 : 0, '\0'));
        if (size == 0) write_file(dir / "t.las", "");
        const Captured run = run_pelmora(dir / "t.las");
        EXPECT_EQ(run.exit_status, 255);
        EXPECT_EQ(run.out, "\n" + (dir / "t.las") + " is not a valid .las file\n\n" + (dir / "t.las") +
                               " is not a valid LAS file\n");
    }
    generate_las(dir / "tile.LAS", {});
    Captured run = run_pelmora(dir / "tile.LAS");
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_EQ(run.out, "\nFile extension of " + (dir / "tile.LAS") + " is not .las\n" + (dir / "tile.LAS") +
                           " is not a valid LAS file\n");
    run = run_pelmora(dir / "missing.las");
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_EQ(run.out, "\nCannot open binary file " + (dir / "missing.las") + " for reading\n\n");
    EXPECT_EQ(listing(dir.path), (std::vector<std::string>{"t.las", "tile.LAS"}));
}

TEST(Refused, RealFilesOtherSoftwareWroteThatCannotBeConverted) {
    TempDir dir("realbad");
    const struct {
        const char *file;
        std::string reason;
    } cases[] = {
        {"pdal_1.2-with-color-clipped.las", " announces 1065 point records but holds only 1064 whole records of 34 bytes after byte 229\n"},
        {"laspy_vegetation_1_3.las", "Cannot handle las files of version 1.3\n"},
        {"pasture_10_points_format_3.las", "Cannot handle las files of version 1.4\n"},
        {"lasr_extra_byte.las", " (1) is incompatible with Length of Data Record (32)\n"},
        {"liblas_1.2-with-color.laz", " is not .las\n"},
    };
    for (const auto &c : cases) {
        const std::string path = dir / c.file;
        write_file(path, read_file(std::string(LASDATA_DIR) + "/" + c.file));
        const Captured run = run_pelmora(path);
        EXPECT_EQ(run.exit_status, 255) << c.file;
        EXPECT_NE(run.out.find(c.reason), std::string::npos) << run.out;
        fs::remove(path);
        EXPECT_TRUE(listing(dir.path).empty()) << c.file;
    }
}

TEST(OutputFailures, EachOutputThatCannotBeCreatedStopsTheRunWithItsMessage) {
    TempDir dir("outputs");
    const std::string las = dir / "o.las";
    generate_las(las, {"--points", "20"});
    const std::string start = run_start(las, dir / "o.shp");

    // A directory where an output should go cannot be opened as a file.
    fs::create_directory(dir / "o.shp");
    Captured run = run_pelmora(las);
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_EQ(run.out, start + "\nUnable to open file " + (dir / "o.shp") + " for writing\n");
    EXPECT_FALSE(file_exists(dir / "o.shx") || file_exists(dir / "o.dbf"));
    fs::remove(dir / "o.shp");

    fs::create_directory(dir / "o.shx");
    run = run_pelmora(las);
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_EQ(run.out, start + "Unable to open " + (dir / "o.shx") + " for appending data\n");
    EXPECT_EQ(read_file(dir / "o.shp").size(), 100u) << "the main file keeps its header";
    EXPECT_FALSE(file_exists(dir / "o.dbf"));
    fs::remove(dir / "o.shx");

    fs::create_directory(dir / "o.dbf");
    run = run_pelmora(las);
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_EQ(run.out, start + "DBFCreate(" + (dir / "o.dbf") + ") failed.\n");
    EXPECT_EQ(read_file(dir / "o.shx").size(), 100u);
}

TEST(OutputFailures, AFullDiskIsReportedNeverAsSuccess) {
    TempDir dir("full");
    const std::string las = dir / "f.las";
    generate_las(las, {"--format", "1", "--points", "5000"});
    // The file-size limit makes every write past 60,000 bytes fail, as a full disk would.
    const Captured run = run_pelmora(las, "", 60000);
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_EQ(run.out, run_start(las, dir / "f.shp") + "\nFailed to write " + (dir / "f.shp") + ": File too large\n");
    EXPECT_EQ(run.out.find("Elapsed"), std::string::npos);

    // A limit that the .dbf rows reach after the geometry is complete.
    const Captured late = run_pelmora(las, "", 180200 + 40);
    EXPECT_EQ(late.exit_status, 255);
    EXPECT_NE(late.out.find("\nFailed to write " + (dir / "f.dbf") + ": File too large\n"), std::string::npos) << late.out;
}

TEST(InputFailures, AFileThatShrinksDuringTheRunStopsWithAClearMessage) {
    TempDir dir("shrink");
    const std::string las = dir / "s.las";
    generate_las(las, {"--format", "0", "--points", "100"});
    const Captured run = run_in_child([&] {
        LasInput input;
        if (!input.open(las)) std::exit(3);
        input.read_and_check_header(20);
        // Another process cuts the file after the header was checked.
        if (truncate(las.c_str(), 227 + 20 * 60 + 7) != 0) std::exit(4);
        unsigned char buffer[100 * 20];
        input.read_records(buffer, 50);
        input.read_records(buffer, 50);
        std::exit(5);
    });
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_EQ(run.out, "\nUnexpected end of " + las + ": it announces 100 point records, only 60 could be read\n");
}

TEST(OutputFailures, WritersThatCannotReopenTheirFilesSayWhich) {
    TempDir dir("reopen");
    const std::string gone = dir / "no-such-dir/t";
    LAS12Header header{};
    static LAS12fm0 points[2]{};
    Captured run = run_in_child([&] { addtoSHP5((gone + ".shp").c_str(), points, &header, 2, 0); });
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_EQ(run.out, "Unable to open " + gone + ".shp for appending data\n");

    // The main file can be appended to, its index cannot.
    write_file(dir / "t.shp", "");
    fs::create_directory(dir / "t.shx");
    static double x[2], y[2], z[2];
    run = run_in_child([&] {
        _Xvec = x, _Yvec = y, _Zvec = z;
        addtoSHP5((dir / "t.shp").c_str(), points, &header, 2, 0);
    });
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_EQ(run.out, "Unable to open " + (dir / "t.shx") + " for appending data\n");
    EXPECT_EQ(read_file(dir / "t.shp").size(), 72u) << "this chunk's records reached the main file";

    run = run_in_child([&] { addtoDBF5((gone + ".dbf").c_str(), points, &header, 2); });
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_EQ(run.out, "Unable to open " + gone + ".dbf for appending data\n");

    run = run_in_child([&] { set_dbf_record_count((gone + ".dbf").c_str(), 2); });
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_EQ(run.out, "\nUnable to open " + gone + ".dbf to set its record count\n");
}

TEST(MemoryFailures, EveryShortageOfMemoryEndsWithAMessageNeverACrash) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves far more address space than any limit tried here";
#else
    TempDir dir("memory");
    const std::string las = dir / "m.las";
    generate_las(las, {"--format", "3", "--points", "1000"});
    const std::string start = run_start(las, dir / "m.shp");
    bool saw_vectors = false, saw_points = false, saw_success = false;
    // Address-space limits from too small to load the program up to enough.
    for (unsigned long long mb = 20; mb <= 400 && !saw_success; mb += 5) {
        SCOPED_TRACE(mb);
        const Captured run = run_program({PELMORA_BIN, las}, "", 0, mb << 20);
        ASSERT_EQ(run.signal, 0) << run.out << run.err;
        if (run.exit_status == 127) continue;  // the loader could not map the libraries
        if (run.exit_status == 0) {
            saw_success = true;
            continue;
        }
        ASSERT_EQ(run.exit_status, 255) << run.out << run.err;
        ASSERT_EQ(run.err, "");
        if (run.out == start.substr(0, start.size() - 15) + "\nFailed to allocate memory for X, Y, and Z coordinate vectors\n")
            saw_vectors = true;
        else if (run.out == start + "Failed to allocate memory for return structure\n")
            saw_points = true;
        else
            EXPECT_NE(run.out.find("\nFailed to allocate memory for output buffers\n"), std::string::npos) << run.out;
    }
    EXPECT_TRUE(saw_vectors && saw_points && saw_success);
#endif
}

}  // namespace
