// Every way a run can fail, end to end: the message, status 255 (-1), no
// crash and no sanitizer report (nothing on standard error), and exactly the
// files there were before -- a failed run never leaves an output, complete or
// not, nor a temporary.  Status 0 only with three complete outputs.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>

#include "output_checks.h"
#include "pelmora_run.h"

namespace {

namespace fs = std::filesystem;
using bytes::le16;
using bytes::le32;
using bytes::le_double;
using bytes::put_le;

constexpr uid_t kNobody = 65534;



// check_las's diagnostic followed by the driver's refusal.
std::string refused(const std::string &las, const std::string &diagnostic) {
    return diagnostic + las + " is not a valid LAS file\n";
}

// No crash and no sanitizer report: the run exited by itself with `status`
// and wrote nothing on standard error.
void expect_clean_exit(const Captured &run, int status) {
    EXPECT_EQ(run.signal, 0) << "killed by signal " << run.signal;
    EXPECT_EQ(run.exit_status, status) << run.out;
    EXPECT_EQ(run.err, "") << "standard error (a sanitizer report?)";
}

void expect_refusal(const Captured &run, const std::string &message) {
    expect_clean_exit(run, 255);
    EXPECT_EQ(run.out, message);
    EXPECT_EQ(run.out.find("Elapsed"), std::string::npos);
}

// ---- Running Pelmora in special conditions ---------------------------------

struct Conditions {
    std::string workdir;
    bool as_nobody = false;                   // drop root for permissions to apply
    unsigned long long file_size_limit = 0;   // RLIMIT_FSIZE, with SIGXFSZ at its default action
};

// Child exit codes that mean "the machine forbids it" rather than a result.
constexpr int kCannotDropRoot = 120;
constexpr int kProgramUnreachable = 121;

Captured run_in(const std::vector<std::string> &argv, const Conditions &c) {
    return run_in_child([&] {
        if (!c.workdir.empty() && chdir(c.workdir.c_str()) != 0) _exit(127);
        signal(SIGXFSZ, SIG_DFL);
        if (c.file_size_limit != 0) {
            const rlimit limit = {c.file_size_limit, c.file_size_limit};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
        }
        if (c.as_nobody && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
            _exit(kCannotDropRoot);
        if (access(argv[0].c_str(), X_OK) != 0) _exit(kProgramUnreachable);
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    });
}

// Runs Pelmora on `las` as the unprivileged user, or says why it cannot.
#define RUN_AS_NOBODY(run, las, workdir)                                                                       \
    const Captured run = run_in({PELMORA_BIN, las}, {workdir, geteuid() == 0});                                \
    if (run.exit_status == kCannotDropRoot) GTEST_SKIP() << "this machine does not let the test drop root";    \
    if (run.exit_status == kProgramUnreachable)                                                                \
        GTEST_SKIP() << "the unprivileged user cannot reach " << PELMORA_BIN << " (a private build directory)"

// A temporary directory every user can enter and write.
struct OpenTempDir : TempDir {
    explicit OpenTempDir(const std::string &tag) : TempDir(tag) { chmod(path.c_str(), 0777); }
};

const std::string kUsage = "\nMissing or excessive number of arguments\nUsage:\nPelmora <LAS file>\n";

// ---- The command line and names ---------------------------------------------

TEST(Usage, WrongArgumentCountsPrintUsageAndBanner) {
    TempDir dir("usage");
    for (const std::vector<std::string> &argv :
         {std::vector<std::string>{PELMORA_BIN}, std::vector<std::string>{PELMORA_BIN, "a.las", "b.las"}}) {
        expect_refusal(run_program(argv, dir.path), kUsage + kBanner);
    }
    EXPECT_TRUE(listing(dir.path).empty());
}

TEST(BadNames, NamesThatAreNotDotLasMissingFilesAndDirectoriesAreRefusedLeavingNothing) {
    TempDir dir("badnames");
    for (const char *name : {"tile_las", "tile.Las", "tile.LAS", "tile.laz", "tile.txt", "tile.las.bak"})
        generate_las(dir / name, {"--points", "3"});
    const std::string p = dir.path + "/";
    const struct {
        std::string argument, message;
    } cases[] = {
        {p + "tile_las", refused(p + "tile_las", "\nExtension of file " + p + "tile_las should be preceeded by a dot (.)\n")},
        {p + "tile.Las", refused(p + "tile.Las", "\nFile extension of " + p + "tile.Las is not .las\n")},
        {p + "tile.LAS", refused(p + "tile.LAS", "\nFile extension of " + p + "tile.LAS is not .las\n")},
        {p + "tile.laz", refused(p + "tile.laz", "\nFile extension of " + p + "tile.laz is not .las\n")},
        {p + "tile.txt", refused(p + "tile.txt", "\nFile extension of " + p + "tile.txt is not .las\n")},
        {p + "tile.las.bak", refused(p + "tile.las.bak", "\nFile extension of " + p + "tile.las.bak is not .las\n")},
        {p + "missing.las", "\nCannot open binary file " + p + "missing.las for reading\n\n"},
    };
    const std::vector<std::string> before = listing(dir.path);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argument);
        expect_refusal(run_pelmora(c.argument), c.message);
    }
    EXPECT_EQ(listing(dir.path), before);

    // Four characters are too few for a name and its extension.
    write_file(dir / ".las", read_file(dir / "tile.laz"));
    expect_refusal(run_pelmora(".las", dir.path), refused(".las", "\nFile name (.las) is too short\n"));

    // A directory opens, but holds no header.
    fs::create_directory(dir / "folder.las");
    expect_refusal(run_pelmora(dir / "folder.las"),
                   refused(dir / "folder.las", "\n" + (dir / "folder.las") + " is not a valid .las file\n\n"));
    EXPECT_TRUE(fs::is_empty(dir / "folder.las"));
    EXPECT_FALSE(file_exists(dir / "folder.shp") || file_exists(dir / "folder.shx") || file_exists(dir / "folder.dbf"));
}

TEST(BadNames, AFileTheUserCannotReadIsRefusedLeavingNothing) {
    OpenTempDir dir("unreadable");
    const std::string las = dir / "secret.las";
    generate_las(las, {"--points", "3"});
    chmod(las.c_str(), 0);
    RUN_AS_NOBODY(run, las, "");
    expect_refusal(run, "\nCannot open binary file " + las + " for reading\n\n");
    EXPECT_EQ(listing(dir.path), std::vector<std::string>{"secret.las"});
}

// An output name that is a link to the input: writing it would replace the
// input itself.
TEST(BadNames, OutputNamesThatAreLinksToTheInputAreRefusedBeforeAnythingIsWritten) {
    TempDir dir("links");
    const std::string las = dir / "in.las";
    generate_las(las, {"--points", "50"});
    const std::string bytes = read_file(las);
    for (const char *output : {"in.shp", "in.shx", "in.dbf", "in.prj"}) {
        for (bool hard : {false, true}) {
            SCOPED_TRACE(std::string(output) + (hard ? " hard link" : " symbolic link"));
            if (hard) fs::create_hard_link(las, dir / output);
            else fs::create_symlink("in.las", dir / output);
            expect_refusal(run_pelmora(las), "\n" + (dir / output) + " is the input file " + las +
                                                 " itself (a link to it): writing it would destroy the input\n");
            EXPECT_EQ(read_file(las), bytes);
            std::vector<std::string> names{"in.las", output};
            std::sort(names.begin(), names.end());
            EXPECT_EQ(listing(dir.path), names);
            fs::remove(dir / output);
        }
    }
}

// ---- Headers ---------------------------------------------------------------

// Every header the checks refuse, made by the generator (or patched after
// it): the message, and nothing written.
TEST(BadHeaders, EveryRefusedHeaderGivesItsMessageAndNothingElse) {
    TempDir dir("headers");
    const std::string las = dir / "h.las";
    struct Case {
        std::vector<std::string> generator_args;
        std::string message;
        std::vector<std::pair<size_t, uint64_t>> patches = {};  // 2-byte values stored after generating
    };
    std::vector<Case> cases = {
        {{"--signature", "LASG"}, refused(las, "\n" + las + " is not a valid .las file\n\n")},
        {{"--truncate", "226"}, refused(las, "\n" + las + " is not a valid .las file\n\n")},
        {{"--version", "0.9"}, refused(las, "\nCannot handle las files of version 0.x\n")},
        {{"--version", "2.0"}, refused(las, "\nCannot handle las files of version 2.x\n")},
        {{"--version", "3.2"}, refused(las, "\nCannot handle las files of version 3.x\n")},
        {{"--version", "1.3"}, refused(las, "\nCannot handle las files of version 1.3\n")},
        {{"--version", "1.4"}, refused(las, "\nCannot handle las files of version 1.4\n")},
        // Header bytes are unsigned: minor version 200 is above 2.
        {{"--version", "1.200"}, refused(las, std::string("\nCannot handle las files of version 1.") + char('0' + 200) + "\n")},
        // LAS 1.0 and 1.1 have no record type for formats 2 and 3: the refusal alone.
        {{"--version", "1.0", "--format", "2"}, refused(las, "")},
        {{"--version", "1.0", "--format", "3"}, refused(las, "")},
        {{"--version", "1.1", "--format", "2"}, refused(las, "")},
        {{"--version", "1.1", "--format", "3"}, refused(las, "")},
        // Point records that cannot be where the header says.
        {{"--points", "2", "--offset-to-data", "0"},
         "\nOffsetToData of " + las + " is 0, inside the 227-byte public header; the point records cannot start there\n"},
        {{"--points", "2", "--offset-to-data", "100"},
         "\nOffsetToData of " + las + " is 100, inside the 227-byte public header; the point records cannot start there\n"},
        {{"--points", "2", "--offset-to-data", "226"},
         "\nOffsetToData of " + las + " is 226, inside the 227-byte public header; the point records cannot start there\n"},
        {{"--points", "2", "--offset-to-data", "296"},
         "\nOffsetToData of " + las + " is 296, beyond the end of the file (295 bytes)\n"},
        {{"--points", "0", "--offset-to-data", "5000"},
         "\nOffsetToData of " + las + " is 5000, beyond the end of the file (227 bytes)\n"},
        // Fewer records than announced.
        {{"--points", "2", "--offset-to-data", "295"},
         "\n" + las + " announces 2 point records but holds only 0 whole records of 34 bytes after byte 295\n"},
        {{"--points", "10", "--announce", "11"},
         "\n" + las + " announces 11 point records but holds only 10 whole records of 34 bytes after byte 227\n"},
        {{"--points", "10", "--truncate", "566"},
         "\n" + las + " announces 10 point records but holds only 9 whole records of 34 bytes after byte 227\n"},
        // A record count that only the VLR bytes would make up for.
        {{"--format", "0", "--points", "3", "--vlrs", "1", "--announce", "6"},
         "\n" + las + " announces 6 point records but holds only 3 whole records of 20 bytes after byte 297\n"},
        // More points than a shapefile's 32-bit word lengths can count.
        {{"--points", "10", "--announce", "119304645"},
         "\n" + las + " holds 119304645 point records; a shapefile can hold at most 119304644 PointZ records\n"},
        {{"--points", "2", "--announce", "4294967295"},
         "\n" + las + " holds 4294967295 point records; a shapefile can hold at most 119304644 PointZ records\n"},
        {{"--points", "10", "--announce", "119304644"},
         "\n" + las + " announces 119304644 point records but holds only 10 whole records of 34 bytes after byte 227\n"},
    };
    // Formats 4-10 and 255; the library shows the format as the character '0' + value.
    for (int format : {4, 5, 6, 7, 8, 9, 10, 255})
        cases.push_back({{"--format", std::to_string(format)},
                         refused(las, "\nPointDataFormatID in " + las + " is " + char('0' + format) +
                                          ". Only 0, 1, 2, or 3 is accepted\n")});
    // Record lengths one short, one long and 0 for every format.
    for (int format = 0; format < 4; ++format) {
        const int length = kVariantRecordLength[5 + format];
        for (int wrong : {length - 1, length + 1, 0})
            cases.push_back({{"--format", std::to_string(format), "--points", "2"},
                             refused(las, "\nData format of " + las + " (" + std::to_string(format) +
                                              ") is incompatible with Length of Data Record (" + std::to_string(wrong) +
                                              ")\n"),
                             {{105, static_cast<uint64_t>(wrong)}}});
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        fs::remove(las);
        generate_las(las, c.generator_args);
        if (!c.patches.empty()) {
            std::string b = read_file(las);
            for (const auto &[at, value] : c.patches) put_le(b, at, value, 2);
            write_file(las, b);
        }
        expect_refusal(run_pelmora(las), c.message);
        EXPECT_EQ(listing(dir.path), std::vector<std::string>{"h.las"});
    }

    // Files that end inside the header, whatever they start with; 227 bytes
    // of zeros after "LASF".
    for (const std::string &b : {std::string(), std::string("LASF"), "LASF" + std::string(102, '\0'),
                                 read_file(las).substr(0, 226)}) {
        write_file(las, b);
        expect_refusal(run_pelmora(las), refused(las, "\n" + las + " is not a valid .las file\n\n"));
    }
    write_file(las, "LASF" + std::string(223, '\0'));
    expect_refusal(run_pelmora(las), refused(las, "\nCannot handle las files of version 0.x\n"));
    EXPECT_EQ(listing(dir.path), std::vector<std::string>{"h.las"});
}

// Scale factors and offsets that cannot give real coordinates would put
// NaN or infinite coordinates into the shapefile, which its format forbids.
TEST(BadHeaders, ScaleFactorsAndOffsetsThatGiveNoFiniteCoordinatesAreRefused) {
    TempDir dir("scale");
    const std::string las = dir / "s.las";
    const double nan = std::nan(""), inf = HUGE_VAL;
    const struct {
        size_t at;  // XScaleFactor 131, YScaleFactor 139, ZScaleFactor 147, offsets 155, 163, 171
        double value;
        std::string axis;
    } cases[] = {{131, nan, "X"}, {147, inf, "Z"}, {163, -inf, "Y"}, {171, nan, "Z"}, {139, 1e300, "Y"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.at);
        generate_las(las, {"--format", "1", "--points", "4"});
        std::string b = read_file(las);
        uint64_t bits;
        std::memcpy(&bits, &c.value, sizeof bits);
        put_le(b, c.at, bits, 8);
        write_file(las, b);
        const Captured run = run_pelmora(las);
        expect_clean_exit(run, 255);
        EXPECT_EQ(run.out.rfind("\nThe " + c.axis + " scale factor and offset of " + las, 0), 0u) << run.out;
        EXPECT_NE(run.out.find("do not give finite coordinates"), std::string::npos) << run.out;
        EXPECT_EQ(listing(dir.path), std::vector<std::string>{"s.las"});
    }
}

TEST(BadHeaders, RealFilesOtherSoftwareWroteThatCannotBeConverted) {
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
        expect_clean_exit(run, 255);
        EXPECT_NE(run.out.find(c.reason), std::string::npos) << run.out;
        fs::remove(path);
        EXPECT_TRUE(listing(dir.path).empty()) << c.file;
    }
}

// ---- A file that shrinks during the run ------------------------------------

// The run is held at its first progress line, printed just before the
// first chunk is read; the test cuts the file meanwhile: the chunk read then
// comes up short, every time.
TEST(InputFailures, AFileCutShortBeforeItsPointsAreReadEndsTheRunWithAClearMessage) {
    TempDir dir("cut");
    const std::string las = dir / "cut.las";
    generate_las(las, {"--format", "0", "--points", "1000000"});
    PausedRun run(las, run_start(las));
    if (!run.paused()) GTEST_SKIP() << "pipes cannot be made one page small here";
    ASSERT_EQ(truncate(las.c_str(), 227 + 20 * 400000 + 7), 0);
    int status = 0;
    const std::string out = run.finish(&status);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 255);
    EXPECT_EQ(out, run_start(las) + "\rProcessing ... 100.00% done\nUnexpected end of " + las +
                       ": it announces 1000000 point records, only 400000 could be read\n");
    // No output at all: not even headers.
    EXPECT_EQ(listing(dir.path), std::vector<std::string>{"cut.las"});
}

// ---- Outputs that cannot be written ------------------------------------------

TEST(OutputFailures, AnOutputDirectoryThatIsNotWritableGetsNothing) {
    TempDir dir("readonlydir");
    const std::string las = dir / "in.las";
    generate_las(las, {"--points", "5"});
    chmod(dir.path.c_str(), 0555);  // anyone may enter and read it, nobody may write
    RUN_AS_NOBODY(run, las, "");
    expect_refusal(run, run_start(las) + "\nUnable to open file " + (dir / "in.shp") + " for writing\n");
    EXPECT_EQ(listing(dir.path), std::vector<std::string>{"in.las"});
    chmod(dir.path.c_str(), 0700);
}

// An existing output the user made read-only stops the run with that
// output's message; every old output stays exactly as it was.
TEST(OutputFailures, ExistingOutputsThatAreReadOnlyStopTheRunChangingNothing) {
    OpenTempDir dir("readonlyfiles");
    const std::string las = dir / "in.las";
    generate_las(las, {"--points", "5", "--geokeys", "projected:32617"});
    const struct {
        const char *read_only;
        std::string message;
    } cases[] = {
        {"in.shp", "\nUnable to open file " + (dir / "in.shp") + " for writing\n"},
        {"in.shx", "Unable to open " + (dir / "in.shx") + " for appending data\n"},
        {"in.dbf", "DBFCreate(" + (dir / "in.dbf") + ") failed.\n"},
        {"in.prj", std::string(78, ' ') + "\r\nUnable to open file " + (dir / "in.prj") + " for writing\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.read_only);
        for (const char *name : {"in.shp", "in.shx", "in.dbf", "in.prj"}) {
            const std::string path = dir / name;
            fs::remove(path);
            write_file(path, "old");
            if (chown(path.c_str(), kNobody, kNobody) != 0 && geteuid() == 0) FAIL() << "chown";
            chmod(path.c_str(), std::strcmp(name, c.read_only) == 0 ? 0444 : 0644);
        }
        RUN_AS_NOBODY(run, las, "");
        expect_clean_exit(run, 255);
        EXPECT_TRUE(run.out.starts_with(run_start(las))) << run.out;
        EXPECT_TRUE(run.out.ends_with(c.message)) << run.out;
        for (const char *name : {"in.shp", "in.shx", "in.dbf", "in.prj"}) EXPECT_EQ(read_file(dir / name), "old") << name;
        EXPECT_EQ(listing(dir.path), (std::vector<std::string>{"in.dbf", "in.las", "in.prj", "in.shp", "in.shx"}));
    }
}

// A small file system that the test mounts, of every size from one that
// holds only the input to one that holds all the outputs: each run either
// fails with a message naming the file that could not be written, leaving
// only the input, or ends with status 0 and three complete outputs.
TEST(OutputFailures, ADiskThatFillsUpAtAnyPointNeverEndsInSuccess) {
    TempDir dir("tmpfs");
    const std::string mnt = dir / "disk";
    fs::create_directory(mnt);
    const std::string source = dir / "source.las";
    generate_las(source, {"--format", "1", "--points", "2000"});
    const std::string las = mnt + "/in.las";
    // Input 14 pages; outputs 18 + 4 + 20 pages.
    int succeeded = 0;
    std::map<std::string, int> failures;
    for (int pages = 14; pages <= 57; ++pages) {
        SCOPED_TRACE(pages);
        // Unmounted however this round ends, before the directory is removed.
        const SmallTmpfs disk(mnt, static_cast<unsigned long long>(pages) * 4, "mode=0777");
        if (!disk.mounted()) GTEST_SKIP() << "this machine does not let the test mount a small tmpfs (" << disk.error() << ")";
        write_file(las, read_file(source));
        const Captured run = run_pelmora(las);
        EXPECT_EQ(run.signal, 0);
        EXPECT_EQ(run.err, "");
        if (run.exit_status == 0) {
            ++succeeded;
            EXPECT_GE(pages, 56);
            EXPECT_EQ(output_problems(mnt + "/in", 2000), "");
        } else {
            EXPECT_EQ(run.exit_status, 255);
            EXPECT_EQ(run.out.find("Elapsed"), std::string::npos);
            const size_t at = run.out.find("Processing ...") + 14;
            const std::string message = run.out.substr(at);
            const bool header = message == "\nFailed to write the header of " + mnt + "/in.dbf\n";
            const bool write = message.starts_with("\nFailed to write " + mnt + "/in.") &&
                               message.ends_with(": No space left on device\n");
            const bool create = message.starts_with("\nUnable to open file " + mnt + "/in.shp") ||
                                message.starts_with("Unable to open " + mnt + "/in.shx") ||
                                message.starts_with("DBFCreate(");
            EXPECT_TRUE(header || write || create) << message;
            EXPECT_EQ(listing(mnt), std::vector<std::string>{"in.las"});
            ++failures[message.substr(0, message.find_first_of(":\n", 1))];
        }
    }
    EXPECT_GE(succeeded, 1) << "57 pages hold the input and every output";
    // The space ran out in each of the three outputs along the way.
    EXPECT_GE(failures.size(), 3u);
}

// A file-size limit (ulimit -f) makes writes fail with EFBIG; its signal
// must not kill the run before it can say so.
TEST(OutputFailures, AFileSizeLimitIsReportedAsAFailedWriteNotASignal) {
    TempDir dir("fsize");
    const std::string las = dir / "f.las";
    generate_las(las, {"--format", "1", "--points", "5000"});
    // Both the geometry and the rows pass 60,000 bytes: whichever is
    // written first fails.
    const Captured run = run_in({PELMORA_BIN, las}, {"", false, 60000});
    expect_clean_exit(run, 255);
    EXPECT_TRUE(run.out == run_start(las) + "\nFailed to write " + (dir / "f.shp") + ": File too large\n" ||
                run.out == run_start(las) + "\nFailed to write " + (dir / "f.dbf") + ": File too large\n")
        << run.out;
    // A limit that only the rows reach, after the geometry is complete.
    const Captured late = run_in({PELMORA_BIN, las}, {"", false, 180200 + 40});
    expect_refusal(late, run_start(las) + "\nFailed to write " + (dir / "f.dbf") + ": File too large\n");
    EXPECT_EQ(listing(dir.path), std::vector<std::string>{"f.las"});
}

TEST(MemoryFailures, EveryShortageOfMemoryEndsWithAMessageNeverACrash) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves far more address space than any limit tried here";
#else
    TempDir dir("memory");
    const std::string las = dir / "m.las";
    generate_las(las, {"--format", "3", "--points", "1000"});
    const std::string start = run_start(las);
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
        EXPECT_EQ(listing(dir.path), std::vector<std::string>{"m.las"});
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

// ---- Values that do not fit their fields -------------------------------------

// Every bitfield value 0x00-0xFF, scan-angle bytes 0x80-0x9C and NaN,
// infinite and huge GPS times are in the generator's edge files; each
// converts with status 0, and each lands in its row as it should.
TEST(EdgeValues, NonFiniteAndHugeGpsTimesLowScanAnglesAndEveryBitfieldConvert) {
    TempDir dir("edge");
    for (const char *format : {"0", "1", "3"}) {
        SCOPED_TRACE(format);
        const std::string las = dir / "edge.las";
        generate_las(las, {"--format", format, "--points", "600", "--values", "edge"});
        const Captured run = run_pelmora(las);
        expect_clean_exit(run, 0);
        ASSERT_EQ(output_problems(dir / "edge", 600), "");

        const std::string b = read_file(las), dbf = read_file(dir / "edge.dbf");
        const size_t stride = le16(b, 105), offset = le32(b, 96);
        const size_t header = le16(dbf, 8), row = le16(dbf, 10);
        const bool gps = stride == 28 || stride == 34;
        std::vector<bool> bitfields(256), scan_bytes(256);
        std::map<std::string, bool> seen;
        uint64_t scan_nulls = 0, gps_fewer = 0, gps_nulls = 0;
        for (size_t i = 0; i < 600; ++i) {
            const size_t r = offset + i * stride;
            const std::string text = dbf.substr(header + i * row, row);
            const unsigned bits = static_cast<unsigned char>(b[r + 14]);
            const unsigned scan = static_cast<unsigned char>(b[r + 16]);
            bitfields[bits] = scan_bytes[scan] = true;
            const std::string flags = {char('0' + (bits & 7)), char('0' + (bits >> 3 & 7)), char('0' + (bits >> 6 & 1)),
                                       char('0' + (bits >> 7))};
            EXPECT_EQ(text.substr(6, 4), flags) << "bitfield " << bits;
            if (scan >= 0x80 && scan <= 0x9C) {
                EXPECT_EQ(text.substr(13, 3), "***") << "scan-angle byte " << scan;
                ++scan_nulls;
            }
            if (!gps) continue;
            // As printf writes it with the most decimals (8 down to 0) that
            // fit 16 characters, or 16 asterisks; NaN and infinities as printf
            // writes them, which every reader takes for NaN and infinity.
            const double t = le_double(b, r + 20);
            int decimals = 8;
            char printed[400];
            for (; decimals >= 0; --decimals)
                if (std::snprintf(printed, sizeof printed, "%16.*f", decimals, t) <= 16) break;
            const std::string want = decimals < 0 ? std::string(16, '*') : printed;
            EXPECT_EQ(text.substr(24, 16), want) << "GPS time " << t;
            if (decimals < 0) ++gps_nulls;
            else if (decimals < 8) ++gps_fewer;
            if (std::isnan(t)) seen["nan"] = true;
            if (std::isinf(t)) seen[t > 0 ? "inf" : "-inf"] = true;
            if (std::fabs(t) >= 1e16 && std::isfinite(t)) seen["huge"] = true;
        }
        EXPECT_EQ(std::count(bitfields.begin(), bitfields.end(), true), 256);
        for (unsigned v = 0x80; v <= 0x9C; ++v) EXPECT_TRUE(scan_bytes[v]) << v;
        if (gps) {
            for (const char *kind : {"nan", "inf", "-inf", "huge"}) EXPECT_TRUE(seen[kind]) << kind;
        }

        // The summary line says how many values of which field were changed.
        std::string summary = "Values too wide for their fields: ScanAngleRank " + std::to_string(scan_nulls) +
                              " written as null (***)";
        if (gps_fewer) summary += "; GPSTime " + std::to_string(gps_fewer) + " written with fewer than 8 decimals";
        if (gps_nulls) summary += "; GPSTime " + std::to_string(gps_nulls) + " written as null (****************)";
        EXPECT_NE(run.out.find(std::string(78, ' ') + "\r" + summary + "\nElapsed time "), std::string::npos) << run.out;
    }
}

}  // namespace
