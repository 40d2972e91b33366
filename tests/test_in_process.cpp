// Whole runs in one process, through the program's own entry point, with
// faults injected through the I/O hooks: every failure path must give its
// message and status, leave exactly the files there were before, and keep no
// memory or descriptor (they would pile up here run after run, and the leak
// checker of the sanitizer build sees the rest at exit).
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>

#include "Ostrine_LiDAR.h"
#include "capture.h"
#include "in_process.h"
#include "output_checks.h"
#include "io/posix_io.h"
#include "pelmora_run.h"

namespace {

namespace fs = std::filesystem;


// ---- Faults ----------------------------------------------------------------

// The hook functions are plain function pointers: what they do comes from here.
std::atomic<int> g_writes_left{-1};     // pwrite calls that succeed before ENOSPC; -1: all
std::atomic<bool> g_sync_fails{false};
std::atomic<bool> g_rename_fails{false};
std::atomic<int> g_renames_left{-1};    // renames that succeed before EXDEV; -1: all
std::atomic<bool> g_records_unreadable{false};  // reads past the public header fail with EIO
std::function<void(int fd, off_t offset)> g_after_read;  // runs after each successful pread

ssize_t faulty_pwrite(int fd, const void *data, size_t size, off_t offset) {
    if (g_writes_left.load() >= 0 && g_writes_left.fetch_sub(1) <= 0) {
        errno = ENOSPC;
        return -1;
    }
    return ::pwrite(fd, data, size, offset);
}
int faulty_fdatasync(int fd) {
    if (g_sync_fails) {
        errno = EIO;
        return -1;
    }
    return ::fdatasync(fd);
}
int faulty_rename(const char *from, const char *to) {
    if (g_rename_fails || (g_renames_left.load() >= 0 && g_renames_left.fetch_sub(1) <= 0)) {
        errno = EXDEV;
        return -1;
    }
    return ::rename(from, to);
}
ssize_t faulty_pread(int fd, void *buffer, size_t size, off_t offset) {
    if (g_records_unreadable && offset >= 227) {
        errno = EIO;
        return -1;
    }
    const ssize_t n = ::pread(fd, buffer, size, offset);
    if (n > 0 && g_after_read) g_after_read(fd, offset);
    return n;
}

// Installs the faulty hooks for one test and puts everything back after it.
struct Faults : ::testing::Test {
    void SetUp() override {
        io::hooks().pwrite = faulty_pwrite;
        io::hooks().fdatasync = faulty_fdatasync;
        io::hooks().rename = faulty_rename;
        io::hooks().pread = faulty_pread;
    }
    void TearDown() override {
        io::restore_default_hooks();
        g_writes_left = g_renames_left = -1;
        g_sync_fails = g_rename_fails = g_records_unreadable = false;
        g_after_read = nullptr;
    }
};


TEST_F(Faults, FailingRunsLeaveTheOldOutputsAndKeepNothing) {
    TempDir dir("inprocess");
    const std::string las = dir / "in.las";
    generate_las(las, {"--format", "3", "--points", "1200000", "--geokeys", "projected:32617"});
    for (const char *old : {"in.shp", "in.shx", "in.dbf", "in.prj"}) write_file(dir / old, "old");
    const std::vector<std::string> before = listing(dir.path);
    const std::string start = run_start(las), progress = "\rProcessing ... 83.33% done";
    const std::string wiped = progress + "\r" + std::string(78, ' ') + "\r";

    const struct {
        const char *what;
        std::function<void()> arm;
        std::string message;  // after `start`
    } cases[] = {
        {"a disk full mid-chunk", [] { g_writes_left = 40; }, progress + "\nFailed to write "},
        {"a sync that fails", [] { g_sync_fails = true; },
         wiped + "\nFailed to write " + (dir / "in.shp") + ": Input/output error\n"},
        {"a rename that fails", [] { g_rename_fails = true; },
         wiped + "\nFailed to replace " + (dir / "in.shp") + ": Invalid cross-device link\n"},
        // The outputs renamed before it are put back: never a mixed set.
        {"a rename that fails after two", [] { g_renames_left = 2; },
         wiped + "\nFailed to replace " + (dir / "in.dbf") + ": Invalid cross-device link\n"},
        {"records that cannot be read", [] { g_records_unreadable = true; },
         progress + "\nFailed to read point records from " + las + ": Input/output error\n"},
    };
    // The first run allocates what lives until the process ends.
    ASSERT_EQ(run_in_process(las), 0);
    for (const char *old : {"in.shp", "in.shx", "in.dbf", "in.prj"}) write_file(dir / old, "old");
    const int descriptors = open_descriptor_count();
    const size_t heap = heap_in_use();
    for (int round = 0; round < 3; ++round) {
        for (const auto &c : cases) {
            SCOPED_TRACE(c.what);
            c.arm();
            std::string console;
            ASSERT_EQ(run_in_process(las, &console), -1);
            TearDown();
            SetUp();
            EXPECT_TRUE(console.starts_with(start + c.message)) << console;
            EXPECT_EQ(console.find("Elapsed"), std::string::npos);
            EXPECT_EQ(listing(dir.path), before) << "temporaries left, or outputs replaced";
            for (const char *old : {"in.shp", "in.shx", "in.dbf", "in.prj"}) EXPECT_EQ(read_file(dir / old), "old");
        }
    }
    EXPECT_EQ(open_descriptor_count(), descriptors);
    // Each failing run had its 34 MB point buffer and the workers' blocks:
    // any of them kept would show.
    EXPECT_LT(heap_in_use(), heap + 200000) << "heap grew from " << heap;
}

// The parts of a file are one output set: a disk that fills up in the
// second part leaves no part, and the files of an earlier conversion as
// they were.
TEST_F(Faults, AFailureInTheSecondPartLeavesNoPartAndTheEarlierFiles) {
    TempDir dir("inprocess-parts");
    const std::string las = dir / "p.las";
    generate_las(las, {"--format", "1", "--points", "3000"});
    for (const char *old : {"p.shp", "p.shx", "p.dbf", "p_part1.shp", "p_part3.dbf"}) write_file(dir / old, "old");
    const std::vector<std::string> before = listing(dir.path);
    // 40 KB parts: 1,100 points a part; each part's first writes are its
    // headers, then a block of records a file.
    g_writes_left = 12;
    std::string errors;
    EXPECT_EQ(run_convert_in_process({"-q", "--max-size=40K", las}, &errors), 1);
    EXPECT_EQ(errors.rfind("pelmora-convert: Failed to write ", 0), 0u) << errors;
    EXPECT_NE(errors.find(dir.path + "/p_part2."), std::string::npos) << errors;
    EXPECT_EQ(listing(dir.path), before);
    for (const char *old : {"p.shp", "p_part1.shp", "p_part3.dbf"}) EXPECT_EQ(read_file(dir / old), "old");
}

// A field the table library refuses ends the run with its message; the
// half-made table is closed, so its memory does not pile up.
TEST_F(Faults, ATableFieldThatCannotBeAddedLeavesNothingOpen) {
    TempDir dir("inprocess-field");
    const std::string las = dir / "f.las";
    generate_las(las, {"--format", "1", "--points", "10"});
    ASSERT_EQ(run_in_process(las), 0);
    fs::remove(dir / "f.shp");
    RunLimits refusing;
    refusing.add_field = [](DBFHandle table, const char *name, DBFFieldType type, int width, int decimals) {
        return std::strcmp(name, "GPSTime") == 0 ? -1 : DBFAddField(table, name, type, width, decimals);
    };
    std::string console;
    // The first failure's unwinding fills caches of its own: measured after it.
    ASSERT_EQ(run_in_process(las, &console, refusing), -1);
    const int descriptors = open_descriptor_count();
    const size_t heap = heap_in_use();
    for (int round = 0; round < 20; ++round) ASSERT_EQ(run_in_process(las, &console, refusing), -1);
    EXPECT_EQ(console, run_start(las) + "Failed to add field GPSTime to " + (dir / "f.dbf") + "\n");
    EXPECT_EQ(listing(dir.path), (std::vector<std::string>{"f.dbf", "f.las", "f.shx"}));
    EXPECT_EQ(open_descriptor_count(), descriptors);
    EXPECT_LT(heap_in_use(), heap + 10000) << "heap grew from " << heap;
}

// The input is read from one descriptor: a file replaced under its name (as
// rsync replaces it) or rewritten in place after its header was checked is
// refused, never read half as one file and half as the other.
TEST_F(Faults, AnInputReplacedOrRewrittenAfterItsCheckIsNotConverted) {
    TempDir dir("inprocess-changing");
    const std::string las = dir / "in.las", other = dir / "other.las";
    generate_las(las, {"--format", "3", "--points", "100"});
    const std::string refusal = "\n" + las + " was replaced or rewritten while it was being read; nothing was written from it\n";

    // Replaced right after the header was read.
    generate_las(other, {"--format", "0", "--points", "170"});
    g_after_read = [&](int, off_t offset) {
        if (offset == 0 && fs::exists(other)) fs::rename(other, las);
    };
    std::string console;
    EXPECT_EQ(run_in_process(las, &console), -1);
    EXPECT_EQ(console, refusal);
    EXPECT_EQ(listing(dir.path), std::vector<std::string>{"in.las"});

    // Rewritten in place while the points are read, the header and the size
    // unchanged: only the file's times tell.  They are set back first, so
    // that the rewrite changes them whatever the clock's resolution.
    generate_las(las, {"--format", "3", "--points", "100"});
    const timespec long_ago[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, las.c_str(), long_ago, 0), 0);
    g_after_read = [&](int, off_t offset) {
        if (offset < 227) return;
        g_after_read = nullptr;
        const std::string other_points(34 * 50, '\x5A');
        const int writer = open(las.c_str(), O_WRONLY);
        ASSERT_EQ(::pwrite(writer, other_points.data(), other_points.size(), 227 + 34 * 50), 34 * 50);
        close(writer);
    };
    EXPECT_EQ(run_in_process(las, &console), -1);
    EXPECT_TRUE(console.ends_with(refusal)) << console;
    EXPECT_EQ(listing(dir.path), std::vector<std::string>{"in.las"});

    // Rewritten in place (a different record count) while the points are read.
    generate_las(las, {"--format", "3", "--points", "100"});
    g_after_read = [&](int fd, off_t offset) {
        if (offset < 227) return;
        g_after_read = nullptr;
        const uint32_t fewer = 99;
        const int writer = open(las.c_str(), O_WRONLY);
        ASSERT_EQ(::pwrite(writer, &fewer, 4, 107), 4);
        close(writer);
        (void)fd;
    };
    EXPECT_EQ(run_in_process(las, &console), -1);
    EXPECT_TRUE(console.ends_with(refusal)) << console;
    EXPECT_EQ(listing(dir.path), std::vector<std::string>{"in.las"});

    // pelmora-convert says only that: no warning about the values of a run
    // that wrote nothing (these scan angles would be written as nulls).
    generate_las(las, {"--format", "1", "--points", "3000", "--values", "edge"});
    g_after_read = [&](int, off_t offset) {
        if (offset < 227) return;
        g_after_read = nullptr;
        const int writer = open(las.c_str(), O_WRONLY);
        ASSERT_EQ(::pwrite(writer, "Z", 1, 300), 1);
        close(writer);
        const timespec long_ago[2] = {{1000000000, 0}, {1000000000, 0}};
        utimensat(AT_FDCWD, las.c_str(), long_ago, 0);
    };
    std::string errors;
    EXPECT_EQ(run_convert_in_process({"-q", las}, &errors), 1);
    EXPECT_EQ(errors, "pelmora-convert: " + las + " was replaced or rewritten while it was being read; nothing was written from it\n");
    EXPECT_EQ(listing(dir.path), std::vector<std::string>{"in.las"});
}

// update_header: a read error in the middle of the records is not the end
// of the file; the header is left as it was.
TEST_F(Faults, UpdateHeaderStopsAtAReadErrorAndChangesNothing) {
    TempDir dir("inprocess-update");
    const std::string las = dir / "u.las";
    generate_las(las, {"--format", "0", "--points", "150000", "--box", "zero"});
    const std::string bytes = read_file(las);
    g_records_unreadable = true;
    const Captured c = run_in_child([&] { update_header(las.c_str()); });
    EXPECT_EQ(c.exit_status, 255);
    EXPECT_EQ(c.out, "\nCannot read the point records of " + las + "; its header has not been changed\n");
    EXPECT_TRUE(read_file(las) == bytes);
}

}  // namespace

// More points than one .shp can address go into parts, whatever the size
// allows: the format's limit, lowered here so as not to write 119 million
// records first.  With a selection the parts come as the kept points reach
// them, and a selection that keeps few writes one set.
TEST(FormatLimit, MorePointsThanAShapefileHoldsGoIntoPartsAndTheGridKeepsToItsMemory) {
    TempDir dir("format_limit");
    const std::string las = dir / "in.las";
    generate_las(las, {"--version", "1.4", "--format", "6", "--points", "100"});
    RunLimits limits;
    limits.points_per_shapefile = 30;
    const struct {
        std::vector<std::string> options;
        std::vector<uint32_t> records;  // of each part; one: a set under the file's name
    } cases[] = {
        {{"--max-size=none"}, {30, 30, 30, 10}},
        {{"--class", "0-255"}, {30, 30, 30, 10}},
        {{"--every", "10"}, {10}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.options.front());
        for (const std::string &name : listing(dir.path))
            if (name != "in.las") std::filesystem::remove(dir / name);
        std::vector<std::string> arguments = c.options;
        arguments.insert(arguments.end(), {"-q", las});
        std::string errors;
        ASSERT_EQ(run_convert_in_process(arguments, &errors, limits), 0) << errors;
        std::vector<std::string> expected = {"in.las"};
        for (size_t k = 0; k < c.records.size(); ++k) {
            const std::string stem = c.records.size() == 1 ? "in" : "in_part" + std::to_string(k + 1);
            for (const char *e : {".dbf", ".shp", ".shx"}) expected.push_back(stem + e);
            EXPECT_EQ(output_problems(dir / stem, c.records[k]), "") << stem;
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(listing(dir.path), expected);
    }

    // Grid thinning fails rather than take more memory than it may: here
    // 1 MB, for points in 40,000 cells outside a header box of zeros.
    generate_las(las, {"--format", "1", "--points", "40000", "--box", "zero"});
    const std::vector<std::string> old = listing(dir.path);
    RunLimits small_grid;
    small_grid.thin_grid_bytes = 1u << 20;
    std::string errors;
    const int thinned = run_convert_in_process({"-q", "--thin-grid", "0.01", las}, &errors, small_grid);
    EXPECT_EQ(thinned, 1);
    EXPECT_TRUE(errors.starts_with("pelmora-convert: --thin-grid 0.01: the points fill more than ")) << errors;
    EXPECT_TRUE(errors.ends_with(" cells outside the header's box, more than the 1 MB the grid may take; use a larger "
                                 "cell size\n"))
        << errors;
    EXPECT_EQ(listing(dir.path), old);
}
