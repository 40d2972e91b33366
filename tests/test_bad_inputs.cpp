// Bad input and faults, end to end: every row of the README's bad-input
// table that the failure tests do not already cover.  In every row the run
// must end without a signal and without a sanitizer report (nothing on
// standard error), with its message and status, and leave exactly the files
// the table says; status 0 only with three complete outputs that agree with
// their headers.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <thread>

#include "pelmora_run.h"

namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

std::vector<std::string> listing(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// What a run prints before its first chunk.
std::string run_start(const std::string &las) {
    return std::string(kBanner) + "Input LAS file:    " + las + "\nOutput Shapefile:  " +
           las.substr(0, las.size() - 3) + "shp\n\nProcessing ...";
}

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

// ---- Reading the outputs back, independently of the writers ---------------

uint32_t le32(const std::string &b, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b.at(at + i));
    return v;
}
uint32_t be32(const std::string &b, size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | static_cast<unsigned char>(b.at(at + i));
    return v;
}
uint16_t le16(const std::string &b, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(b.at(at)) | static_cast<unsigned char>(b.at(at + 1)) << 8);
}
double le_double(const std::string &b, size_t at) {
    const uint64_t bits = static_cast<uint64_t>(le32(b, at + 4)) << 32 | le32(b, at);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}
void put_le(std::string &b, size_t at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<char>(value >> (8 * i));
}

// The three outputs of `base` hold `points` records each, their sizes agree
// with their headers, the records are numbered and indexed in order, and the
// header box contains every point.
::testing::AssertionResult outputs_complete(const std::string &base, uint32_t points) {
    const std::string shp = read_file(base + ".shp"), shx = read_file(base + ".shx"), dbf = read_file(base + ".dbf");
    if (shp.size() != 100 + 36ull * points || shx.size() != 100 + 8ull * points || dbf.size() < 32)
        return ::testing::AssertionFailure() << "sizes " << shp.size() << ", " << shx.size() << ", " << dbf.size()
                                             << " for " << points << " points";
    if (be32(shp, 0) != 9994 || be32(shp, 24) != shp.size() / 2 || le32(shp, 32) != 11 || be32(shx, 0) != 9994 ||
        be32(shx, 24) != shx.size() / 2 || shp.compare(28, 72, shx, 28, 72) != 0)
        return ::testing::AssertionFailure() << "shapefile headers disagree with the files";
    if (le32(dbf, 4) != points || dbf.size() != le16(dbf, 8) + static_cast<uint64_t>(le16(dbf, 10)) * points)
        return ::testing::AssertionFailure() << ".dbf record count or size disagrees with its header";
    const double box[6] = {le_double(shp, 36), le_double(shp, 44), le_double(shp, 68),
                           le_double(shp, 52), le_double(shp, 60), le_double(shp, 76)};
    for (uint32_t i = 0; i < points; ++i) {
        const size_t r = 100 + 36ull * i;
        if (be32(shp, r) != i + 1 || be32(shp, r + 4) != 14 || le32(shp, r + 8) != 11 ||
            be32(shx, 100 + 8ull * i) != r / 2 || be32(shx, 104 + 8ull * i) != 14)
            return ::testing::AssertionFailure() << "record " << i + 1 << " misnumbered or misindexed";
        for (int a = 0; a < 3; ++a) {
            const double v = le_double(shp, r + 12 + 8 * a);
            if (!std::isfinite(v)) return ::testing::AssertionFailure() << "record " << i + 1 << " not finite";
            if (!(v >= box[a] && v <= box[a + 3]))
                return ::testing::AssertionFailure() << "record " << i + 1 << " outside the header box";
        }
    }
    return ::testing::AssertionSuccess();
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

// ---- Names and files that cannot be read ------------------------------------

TEST(BadNames, NamesThatAreNotDotLasAndDirectoriesAreRefusedLeavingNothing) {
    TempDir dir("badnames");
    for (const char *name : {"tile_las", "tile.Las", "tile.laz", "tile.txt", "tile.las.bak"})
        generate_las(dir / name, {"--points", "3"});
    const std::vector<std::string> before = listing(dir.path);
    const std::string p = dir.path + "/";

    const struct {
        std::string argument, message;
    } cases[] = {
        {p + "tile_las", refused(p + "tile_las", "\nExtension of file " + p + "tile_las should be preceeded by a dot (.)\n")},
        {p + "tile.Las", refused(p + "tile.Las", "\nFile extension of " + p + "tile.Las is not .las\n")},
        {p + "tile.laz", refused(p + "tile.laz", "\nFile extension of " + p + "tile.laz is not .las\n")},
        {p + "tile.txt", refused(p + "tile.txt", "\nFile extension of " + p + "tile.txt is not .las\n")},
        {p + "tile.las.bak", refused(p + "tile.las.bak", "\nFile extension of " + p + "tile.las.bak is not .las\n")},
    };
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

// ---- Headers ---------------------------------------------------------------

TEST(BadHeaders, VersionsFormatsAndRecordLengthsOutsideTheEightVariants) {
    TempDir dir("headers");
    const std::string las = dir / "h.las";
    struct Case {
        std::vector<std::string> generator_args;
        std::string diagnostic;  // check_las's, before the driver's refusal
    };
    std::vector<Case> cases = {
        {{"--version", "0.9"}, "\nCannot handle las files of version 0.x\n"},
        {{"--version", "1.4"}, "\nCannot handle las files of version 1.4\n"},
        {{"--version", "3.2"}, "\nCannot handle las files of version 3.x\n"},
        // Header bytes are unsigned: minor version 200 is above 2.
        {{"--version", "1.200"}, std::string("\nCannot handle las files of version 1.") + char('0' + 200) + "\n"},
        // LAS 1.0 and 1.1 have no record type for formats 2 and 3: the refusal alone.
        {{"--version", "1.0", "--format", "2"}, ""},
        {{"--version", "1.1", "--format", "2"}, ""},
        {{"--version", "1.1", "--format", "3"}, ""},
    };
    // Formats 4-10 and 255; the library shows the format as the character '0' + value.
    for (int format : {4, 5, 7, 8, 9, 10, 255})
        cases.push_back({{"--format", std::to_string(format)},
                         "\nPointDataFormatID in " + las + " is " + char('0' + format) +
                             ". Only 0, 1, 2, or 3 is accepted\n"});
    // Record lengths one short and one long for every format (and the point
    // data actually written with that length).
    const int kLength[4] = {20, 28, 26, 34};
    for (int format = 0; format < 4; ++format)
        for (int length : {kLength[format] - 1, kLength[format] + 1})
            cases.push_back({{"--format", std::to_string(format), "--record-length", std::to_string(length)},
                             "\nData format of " + las + " (" + std::to_string(format) +
                                 ") is incompatible with Length of Data Record (" + std::to_string(length) + ")\n"});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.diagnostic);
        fs::remove(las);
        generate_las(las, c.generator_args);
        expect_refusal(run_pelmora(las), refused(las, c.diagnostic));
        EXPECT_EQ(listing(dir.path), std::vector<std::string>{"h.las"});
    }

    // A stored record length of 0, in every format.
    for (int format = 0; format < 4; ++format) {
        SCOPED_TRACE(format);
        generate_las(las, {"--format", std::to_string(format), "--points", "2"});
        std::string bytes = read_file(las);
        put_le(bytes, 105, 0, 2);
        write_file(las, bytes);
        expect_refusal(run_pelmora(las), refused(las, "\nData format of " + las + " (" + std::to_string(format) +
                                                          ") is incompatible with Length of Data Record (0)\n"));
        EXPECT_EQ(listing(dir.path), std::vector<std::string>{"h.las"});
    }

    // 226 bytes of a valid header's start, and 227 bytes of zeros after "LASF".
    generate_las(las, {"--points", "0"});
    write_file(las, read_file(las).substr(0, 226));
    expect_refusal(run_pelmora(las), refused(las, "\n" + las + " is not a valid .las file\n\n"));
    write_file(las, "LASF" + std::string(223, '\0'));
    expect_refusal(run_pelmora(las), refused(las, "\nCannot handle las files of version 0.x\n"));
    EXPECT_EQ(listing(dir.path), std::vector<std::string>{"h.las"});
}

TEST(BadHeaders, PointRecordsThatAreNotWhereOrNotAsManyAsTheHeaderSays) {
    TempDir dir("records");
    const std::string las = dir / "r.las";
    const struct {
        std::vector<std::string> generator_args;
        std::string message;
    } cases[] = {
        {{"--points", "2", "--offset-to-data", "0"},
         "\nOffsetToData of " + las + " is 0, inside the 227-byte public header; the point records cannot start there\n"},
        {{"--points", "2", "--offset-to-data", "226"},
         "\nOffsetToData of " + las + " is 226, inside the 227-byte public header; the point records cannot start there\n"},
        // One byte past the end; then exactly at the end with a point announced.
        {{"--points", "2", "--offset-to-data", "296"},
         "\nOffsetToData of " + las + " is 296, beyond the end of the file (295 bytes)\n"},
        {{"--points", "2", "--offset-to-data", "295"},
         "\n" + las + " announces 2 point records but holds only 0 whole records of 34 bytes after byte 295\n"},
        {{"--points", "2", "--announce", "4294967295"},
         "\n" + las + " holds 4294967295 point records; a shapefile can hold at most 119304644 PointZ records\n"},
        // A record count that only the VLR bytes would make up for.
        {{"--format", "0", "--points", "3", "--vlrs", "1", "--announce", "6"},
         "\n" + las + " announces 6 point records but holds only 3 whole records of 20 bytes after byte 297\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        fs::remove(las);
        generate_las(las, c.generator_args);
        expect_refusal(run_pelmora(las), c.message);
        EXPECT_EQ(listing(dir.path), std::vector<std::string>{"r.las"});
    }
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
        std::string bytes = read_file(las);
        uint64_t bits;
        std::memcpy(&bits, &c.value, sizeof bits);
        put_le(bytes, c.at, bits, 8);
        write_file(las, bytes);
        const Captured run = run_pelmora(las);
        expect_clean_exit(run, 255);
        EXPECT_EQ(run.out.rfind("\nThe " + c.axis + " scale factor and offset of " + las, 0), 0u) << run.out;
        EXPECT_NE(run.out.find("do not give finite coordinates"), std::string::npos) << run.out;
        EXPECT_EQ(listing(dir.path), std::vector<std::string>{"s.las"});
    }
}

// An output name that is a link to the input: writing it would truncate the
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

// ---- A file that shrinks during the run ------------------------------------

// Pelmora's standard output is a one-page pipe already filled so that the
// first progress line, which is printed just before the first chunk is
// read, cannot be written until the test reads the pipe.  The test cuts the
// file meanwhile: the chunk read then comes up short, every time.
TEST(InputFailures, AFileCutShortBeforeItsPointsAreReadEndsTheRunWithAClearMessage) {
    TempDir dir("cut");
    const std::string las = dir / "cut.las";
    generate_las(las, {"--format", "0", "--points", "1000000"});

    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    if (fcntl(pipe_fds[1], F_SETPIPE_SZ, 4096) != 4096) GTEST_SKIP() << "pipes cannot be made one page small here";
    const std::string start = run_start(las);
    const std::string progress = "\rProcessing ... 100.00% done";
    const size_t filler = 4096 - start.size() - progress.size() + 1;
    ASSERT_LT(start.size() + progress.size(), 4096u);
    ASSERT_EQ(write(pipe_fds[1], std::string(filler, '#').data(), filler), static_cast<ssize_t>(filler));

    char err_path[] = "/tmp/pelmora-cut-err-XXXXXX";
    const int err_fd = mkstemp(err_path);
    ASSERT_GE(err_fd, 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(pipe_fds[1], STDOUT_FILENO);
        dup2(err_fd, STDERR_FILENO);
        close(pipe_fds[0]);
        execl(PELMORA_BIN, PELMORA_BIN, las.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(pipe_fds[1]);
    // Wait until the run has checked the header and printed its start.
    int queued = 0;
    for (int waited = 0; waited < 60000 && queued < static_cast<int>(filler + start.size()); waited += 5) {
        ASSERT_EQ(ioctl(pipe_fds[0], FIONREAD, &queued), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(queued, static_cast<int>(filler + start.size()));
    ASSERT_EQ(truncate(las.c_str(), 227 + 20 * 400000 + 7), 0);
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    const std::string err = read_file(err_path);
    close(err_fd);
    unlink(err_path);

    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 255);
    EXPECT_EQ(err, "");
    EXPECT_EQ(out.substr(filler), start + progress + "\nUnexpected end of " + las +
                                      ": it announces 1000000 point records, only 400000 could be read\n");
    // The headers were written; no stale buffer contents became points.
    EXPECT_EQ(read_file(dir / "cut.shp").size(), 100u);
    EXPECT_EQ(read_file(dir / "cut.shx").size(), 100u);
    const std::string dbf = read_file(dir / "cut.dbf");
    EXPECT_EQ(dbf.size(), static_cast<size_t>(le16(dbf, 8)));
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

TEST(OutputFailures, ExistingOutputsThatAreReadOnlyStopTheRunAtTheFirstOne) {
    OpenTempDir dir("readonlyfiles");
    const std::string las = dir / "in.las";
    generate_las(las, {"--points", "5"});
    const struct {
        const char *read_only;
        std::string message;
        std::vector<std::pair<const char *, size_t>> sizes;  // what is on disk afterwards
    } cases[] = {
        {"in.shp", "\nUnable to open file " + (dir / "in.shp") + " for writing\n", {{"in.shp", 3}, {"in.shx", 3}, {"in.dbf", 3}}},
        {"in.shx", "Unable to open " + (dir / "in.shx") + " for appending data\n", {{"in.shp", 100}, {"in.shx", 3}, {"in.dbf", 3}}},
        {"in.dbf", "DBFCreate(" + (dir / "in.dbf") + ") failed.\n", {{"in.shp", 100}, {"in.shx", 100}, {"in.dbf", 3}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.read_only);
        for (const char *name : {"in.shp", "in.shx", "in.dbf"}) {
            const std::string path = dir / name;
            fs::remove(path);
            write_file(path, "old");
            if (chown(path.c_str(), kNobody, kNobody) != 0 && geteuid() == 0) FAIL() << "chown";
            chmod(path.c_str(), std::strcmp(name, c.read_only) == 0 ? 0444 : 0644);
        }
        RUN_AS_NOBODY(run, las, "");
        expect_refusal(run, run_start(las) + c.message);
        for (const auto &[name, size] : c.sizes) EXPECT_EQ(read_file(dir / name).size(), size) << name;
        EXPECT_EQ(read_file(dir / c.read_only), "old");
    }
}

// A small file system that the test mounts, of every size from one that
// holds only the input to one that holds all the outputs: each run either
// fails with a message naming the file that could not be written, or ends
// with status 0 and three complete outputs.
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
        const std::string options = "size=" + std::to_string(pages * 4) + "k,mode=0777";
        if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, options.c_str()) != 0)
            GTEST_SKIP() << "this machine does not let the test mount a small tmpfs (" << std::strerror(errno) << ")";
        // Unmounted however this round ends, before the directory is removed.
        const struct Unmount {
            std::string path;
            ~Unmount() {
                if (umount(path.c_str()) != 0) umount2(path.c_str(), MNT_DETACH);
            }
        } unmount{mnt};
        write_file(las, read_file(source));
        const Captured run = run_pelmora(las);
        EXPECT_EQ(run.signal, 0);
        EXPECT_EQ(run.err, "");
        if (run.exit_status == 0) {
            ++succeeded;
            EXPECT_GE(pages, 56);
            EXPECT_TRUE(outputs_complete(mnt + "/in", 2000));
        } else {
            EXPECT_EQ(run.exit_status, 255);
            EXPECT_EQ(run.out.find("Elapsed"), std::string::npos);
            const size_t at = run.out.find("Processing ...") + 14;
            const std::string message = run.out.substr(at);
            const bool header = message == "\nFailed to write the header of " + mnt + "/in.dbf\n";
            const bool write = message.starts_with("\nFailed to write " + mnt + "/in.") &&
                               message.ends_with(": No space left on device\n");
            EXPECT_TRUE(header || write) << message;
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
    const Captured run = run_in({PELMORA_BIN, las}, {"", false, 60000});
    expect_refusal(run, run_start(las) + "\nFailed to write " + (dir / "f.shp") + ": File too large\n");
}

// ---- Values that do not fit their fields -------------------------------------

struct EdgeCounts {
    uint64_t scan_nulls = 0, gps_fewer = 0, gps_nulls = 0;
};

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
        ASSERT_TRUE(outputs_complete(dir / "edge", 600));

        const std::string bytes = read_file(las), dbf = read_file(dir / "edge.dbf");
        const size_t stride = le16(bytes, 105), offset = le32(bytes, 96);
        const size_t header = le16(dbf, 8), row = le16(dbf, 10);
        const bool gps = stride == 28 || stride == 34;
        std::vector<bool> bitfields(256), scan_bytes(256);
        std::map<std::string, bool> seen;
        EdgeCounts counts;
        for (size_t i = 0; i < 600; ++i) {
            const size_t r = offset + i * stride;
            const std::string text = dbf.substr(header + i * row, row);
            const unsigned bits = static_cast<unsigned char>(bytes[r + 14]);
            const unsigned scan = static_cast<unsigned char>(bytes[r + 16]);
            bitfields[bits] = scan_bytes[scan] = true;
            const std::string flags = {char('0' + (bits & 7)), char('0' + (bits >> 3 & 7)), char('0' + (bits >> 6 & 1)),
                                       char('0' + (bits >> 7))};
            EXPECT_EQ(text.substr(6, 4), flags) << "bitfield " << bits;
            if (scan >= 0x80 && scan <= 0x9C) {
                EXPECT_EQ(text.substr(13, 3), "***") << "scan-angle byte " << scan;
                ++counts.scan_nulls;
            }
            if (!gps) continue;
            // As printf writes it with the most decimals (8 down to 0) that
            // fit 16 characters, or 16 asterisks; NaN and infinities as printf
            // writes them, which every reader takes for NaN and infinity.
            const double t = le_double(bytes, r + 20);
            int decimals = 8;
            char printed[400];
            for (; decimals >= 0; --decimals)
                if (std::snprintf(printed, sizeof printed, "%16.*f", decimals, t) <= 16) break;
            const std::string want = decimals < 0 ? std::string(16, '*') : printed;
            EXPECT_EQ(text.substr(24, 16), want) << "GPS time " << t;
            if (decimals < 0) ++counts.gps_nulls;
            else if (decimals < 8) ++counts.gps_fewer;
            if (std::isnan(t)) seen["nan"] = true;
            if (std::isinf(t)) seen[t > 0 ? "inf" : "-inf"] = true;
            if (std::fabs(t) >= 1e16 && std::isfinite(t)) seen["huge"] = true;
        }
        EXPECT_EQ(std::count(bitfields.begin(), bitfields.end(), true), 256);
        for (unsigned b = 0x80; b <= 0x9C; ++b) EXPECT_TRUE(scan_bytes[b]) << b;
        if (gps) {
            for (const char *kind : {"nan", "inf", "-inf", "huge"}) EXPECT_TRUE(seen[kind]) << kind;
        }

        // The summary line says how many values of which field were changed.
        std::string summary = "Values too wide for their fields: ScanAngleRank " + std::to_string(counts.scan_nulls) +
                              " written as null (***)";
        if (counts.gps_fewer) summary += "; GPSTime " + std::to_string(counts.gps_fewer) + " written with fewer than 8 decimals";
        if (counts.gps_nulls) summary += "; GPSTime " + std::to_string(counts.gps_nulls) + " written as null (****************)";
        EXPECT_NE(run.out.find(std::string(78, ' ') + "\r" + summary + "\nElapsed time "), std::string::npos) << run.out;
    }
}

}  // namespace
