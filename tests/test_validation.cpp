// The library's file checks: results and console messages.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "Ostrine_LiDAR.h"
#include "pelmora_run.h"

namespace {

struct Check {
    int result;
    std::string out;
};

// Runs check_las in a child so its messages can be captured.
Check las_check(const std::string &name) {
    const Captured c = run_in_child([&] { std::exit(static_cast<uint8_t>(check_las(name.c_str()))); });
    return {static_cast<int8_t>(c.exit_status), c.out};
}

Check las_check_null() {
    const Captured c = run_in_child([] { std::exit(static_cast<uint8_t>(check_las(nullptr))); });
    return {static_cast<int8_t>(c.exit_status), c.out};
}

std::string header_with(std::initializer_list<std::pair<size_t, unsigned char>> bytes, size_t size = 227) {
    std::string h(size, '\0');
    h.replace(0, 4, "LASF");
    h[24] = 1;
    h[25] = 2;
    h[104] = 3;
    h[105] = 34;
    for (const auto &[at, value] : bytes) h[at] = static_cast<char>(value);
    return h;
}

TEST(CheckLas, EveryVariantCodeFromVersionFormatAndLength) {
    TempDir dir("variants");
    const struct {
        unsigned char minor, format, length;
        int code;
    } cases[] = {{0, 0, 20, 1}, {0, 1, 28, 2}, {1, 0, 20, 3}, {1, 1, 28, 4},
                 {2, 0, 20, 5}, {2, 1, 28, 6}, {2, 2, 26, 7}, {2, 3, 34, 8}};
    for (const auto &c : cases) {
        write_file(dir / "v.las", header_with({{25, c.minor}, {104, c.format}, {105, c.length}}));
        const Check r = las_check(dir / "v.las");
        EXPECT_EQ(r.result, c.code);
        EXPECT_EQ(r.out, "");
    }
    // LAS 1.0 / 1.1 with formats 2 and 3: 0, silently, whatever the length.
    for (unsigned char minor : {0, 1})
        for (unsigned char format : {2, 3}) {
            write_file(dir / "v.las", header_with({{25, minor}, {104, format}, {105, 99}}));
            const Check r = las_check(dir / "v.las");
            EXPECT_EQ(r.result, 0);
            EXPECT_EQ(r.out, "");
        }
}

TEST(CheckLas, RejectsWithTheirMessages) {
    TempDir dir("reject");
    const std::string f = dir / "f.las";
    const struct {
        std::string bytes;
        std::string message;
    } cases[] = {
        {header_with({{0, 'X'}}), "\n" + f + " is not a valid .las file\n\n"},
        {header_with({{24, 2}}), "\nCannot handle las files of version 2.x\n"},
        {header_with({{24, 0}}), "\nCannot handle las files of version 0.x\n"},
        {header_with({{25, 3}}), "\nCannot handle las files of version 1.3\n"},
        {header_with({{25, 4}}), "\nCannot handle las files of version 1.4\n"},
        // Header bytes are unsigned: 200 is far above 2, shown as the character '0' + 200 (mod 256).
        {header_with({{25, 200}}), std::string("\nCannot handle las files of version 1.") + static_cast<char>(248) + "\n"},
        {header_with({{104, 5}}), "\nPointDataFormatID in " + f + " is 5. Only 0, 1, 2, or 3 is accepted\n"},
        {header_with({{104, 255}}), "\nPointDataFormatID in " + f + " is /. Only 0, 1, 2, or 3 is accepted\n"},
        {header_with({{105, 36}}), "\nData format of " + f + " (3) is incompatible with Length of Data Record (36)\n"},
        {header_with({{105, 33}}), "\nData format of " + f + " (3) is incompatible with Length of Data Record (33)\n"},
        {header_with({{105, 0}, {106, 1}}), "\nData format of " + f + " (3) is incompatible with Length of Data Record (256)\n"},
        // Files that end inside the 227-byte public header, whatever they start with.
        {"", "\n" + f + " is not a valid .las file\n\n"},
        {"LASF", "\n" + f + " is not a valid .las file\n\n"},
        {header_with({}, 106), "\n" + f + " is not a valid .las file\n\n"},
        {header_with({}, 226), "\n" + f + " is not a valid .las file\n\n"},
    };
    for (const auto &c : cases) {
        write_file(f, c.bytes);
        const Check r = las_check(f);
        EXPECT_EQ(r.result, -1) << c.message;
        EXPECT_EQ(r.out, c.message);
    }
}

TEST(CheckLas, NameChecksComeFirst) {
    TempDir dir("names");
    const std::string missing = dir / "missing.las";
    EXPECT_EQ(las_check(missing).out,
              "Unable to open file " + missing + " in file_access()\n\nFile " + missing + " does NOT exist\n");
    const std::string valid = header_with({});
    for (const std::string name : {"tile.LAS", "tile.Las", "data.laz"}) {
        write_file(dir / name, valid);
        const Check r = las_check(dir / name);
        EXPECT_EQ(r.result, -1);
        EXPECT_EQ(r.out, "\nFile extension of " + (dir / name) + " is not .las\n");
    }
    write_file(dir / "datalas1", valid);
    EXPECT_EQ(las_check(dir / "datalas1").out,
              "\nExtension of file " + (dir / "datalas1") + " should be preceeded by a dot (.)\n");
    // Length tests count the whole name as given: a.las passes, .las does not.
    write_file(dir / ".las", valid);
    write_file(dir / "a.las", valid);
    const Captured shortest = run_in_child([&] {
        if (chdir(dir.path.c_str()) != 0) std::exit(3);
        std::exit(static_cast<uint8_t>(check_las(".las")) == 255 && check_las("a.las") == 8 ? 0 : 1);
    });
    EXPECT_EQ(shortest.exit_status, 0);
    EXPECT_EQ(shortest.out, "\nFile name (.las) is too short\n");
    // A directory opens but does not read: not a LAS file.  A FIFO would
    // block the reader until a writer came: refused without waiting.
    std::filesystem::create_directory(dir / "x.las");
    EXPECT_EQ(las_check(dir / "x.las").out, "\n" + (dir / "x.las") + " is not a valid .las file\n\n");
    ASSERT_EQ(mkfifo((dir / "f.las").c_str(), 0644), 0);
    const Check fifo = las_check(dir / "f.las");
    EXPECT_EQ(fifo.result, -1);
    EXPECT_EQ(fifo.out, "\n" + (dir / "f.las") + " is a FIFO, not a regular file: it cannot be read as a LAS file\n");
}

// A null name is a name that cannot be opened, never a crash.
TEST(CheckLas, NullNamesAreRefusedWithTheirMessages) {
    EXPECT_EQ(las_check_null().result, -1);
    EXPECT_EQ(las_check_null().out, "Unable to open file (null) in file_access()\n\nFile (null) does NOT exist\n");
    EXPECT_EQ(run_in_child([] { std::exit(file_access(nullptr) == -1 ? 0 : 1); }).exit_status, 0);
    const Captured extension = run_in_child([] { std::exit(check_file_extension(nullptr, "las") == -1 ? 0 : 1); });
    EXPECT_EQ(extension.exit_status, 0);
    EXPECT_EQ(extension.out, "\nFile name ((null)) is too short\n");
    EXPECT_EQ(run_in_child([] { error_msg(1, nullptr); }).out, "\nFile (null) does NOT exist\n");
}

TEST(Helpers, ErrorMessagesAndBanner) {
    EXPECT_EQ(run_in_child([] { error_msg(1, "a.las"); }).out, "\nFile a.las does NOT exist\n");
    EXPECT_EQ(run_in_child([] { error_msg(2, "a.las"); }).out, "\nFile a.las already exists\n");
    EXPECT_EQ(run_in_child([] { error_msg(3, "a.las"); }).out, "\nSame file name (a.las) has been specified twice\n");
    EXPECT_EQ(run_in_child([] { error_msg(0, "a.las"); error_msg(4, "a.las"); }).out, "");
    EXPECT_EQ(run_in_child([] { credits(); }).out, kBanner);
    // An extension of other than three characters never matches.
    EXPECT_EQ(run_in_child([] { std::exit(check_file_extension("tile.las", "la") == -1 ? 0 : 1); }).exit_status, 0);
}

TEST(Records, LayoutsAreExact) {
    EXPECT_EQ(offsetof(LAS12Header, PointDataRecordLength), 105u);
    EXPECT_EQ(offsetof(LAS12Header, NumberOfPointReturns), 107u);
    EXPECT_EQ(offsetof(LAS10Header, MaxX), 179u);
    EXPECT_EQ(offsetof(LAS11Header, MinZ), 219u);
    EXPECT_EQ(offsetof(LAS12fm3, GPSTime), 20u);
    EXPECT_EQ(offsetof(LAS12fm3, Red), 28u);
    EXPECT_EQ(offsetof(LAS12fm2, Red), 20u);
    EXPECT_EQ(offsetof(LAS10fm1, UserBitField), 18u);
}

}  // namespace
