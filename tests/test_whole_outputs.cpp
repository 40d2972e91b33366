// Outputs appear whole or not at all, end to end: two runs on one input at
// once, interrupts in the middle of a run, a console reader that goes away,
// FIFOs and other files that are not regular, links written through, and a
// header that announces four billion variable-length records.  Each case
// checks the status, the message and exactly what is on disk afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "expected_outputs.h"
#include "output_checks.h"
#include "pelmora_run.h"

namespace {

namespace fs = std::filesystem;



// The outputs of `base` are byte for byte what the LAS file prescribes.
void expect_exact_outputs(const std::string &base) {
    const std::string dbf = read_file(base + ".dbf");
    ASSERT_GE(dbf.size(), 4u);
    const ExpectedOutputs want = expected_outputs(read_file(base + ".las"), dbf.substr(1, 3));
    EXPECT_TRUE(read_file(base + ".shp") == want.shp) << base << ".shp";
    EXPECT_TRUE(read_file(base + ".shx") == want.shx) << base << ".shx";
    EXPECT_TRUE(dbf == want.dbf) << base << ".dbf";
}

const std::vector<std::string> kOldOutputs = {"in.dbf", "in.shp", "in.shx"};

void write_old_outputs(const TempDir &dir) {
    for (const std::string &name : kOldOutputs) write_file(dir / name, "old " + name);
}

void expect_old_outputs(const TempDir &dir) {
    for (const std::string &name : kOldOutputs) EXPECT_EQ(read_file(dir / name), "old " + name);
}

// ---- Runs at the same time ---------------------------------------------------

// A batch started twice: each run writes its own temporaries, so both finish
// with complete outputs, and the last renamed is whole.
TEST(Concurrency, TwoRunsOnOneInputBothEndWithCompleteOutputs) {
    TempDir dir("concurrent");
    const std::string las = dir / "in.las";
    generate_las(las, {"--format", "0", "--points", "1500000"});
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        Captured first, second;
        std::thread other([&] { second = run_pelmora(las); });
        first = run_pelmora(las);
        other.join();
        EXPECT_EQ(first.exit_status, 0) << first.out;
        EXPECT_EQ(second.exit_status, 0) << second.out;
        expect_exact_outputs(dir / "in");
        EXPECT_EQ(listing(dir.path), (std::vector<std::string>{"in.dbf", "in.las", "in.shp", "in.shx"}));
    }
}

// ---- Interrupts ----------------------------------------------------------------

// Ctrl-C, kill and a closed terminal in the middle of a run: the temporaries
// go, the earlier outputs stay as they were, and the run ends by the signal
// itself (status 128 + signal in a shell).
TEST(Signals, AnInterruptedRunLeavesTheEarlierOutputsAndNoTemporaries) {
    TempDir dir("signals");
    const std::string las = dir / "in.las";
    generate_las(las, {"--format", "3", "--points", "1500000"});
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal_number));
        write_old_outputs(dir);
        PausedRun run(las, run_start(las));
        if (!run.paused()) GTEST_SKIP() << "pipes cannot be made one page small here";
        // The start is printed before the outputs are created; the run then
        // blocks at its first progress line, holding all three temporaries.
        auto temporaries = [&] {
            return std::count_if(fs::directory_iterator(dir.path), fs::directory_iterator(),
                                 [](const auto &e) { return e.path().filename().string().starts_with(".in."); });
        };
        for (int waited = 0; waited < 20000 && temporaries() < 3; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(temporaries(), 3) << "the run holds its temporaries";
        ASSERT_EQ(kill(run.pid(), signal_number), 0);
        int status = 0;
        run.finish(&status);
        EXPECT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), signal_number);
        EXPECT_EQ(listing(dir.path), (std::vector<std::string>{"in.dbf", "in.las", "in.shp", "in.shx"}));
        expect_old_outputs(dir);
    }
}

// `Pelmora x.las | head -3`: the reader of the console goes away, the
// conversion does not.
TEST(Signals, AConsoleReaderThatGoesAwayDoesNotStopTheConversion) {
    TempDir dir("sigpipe");
    const std::string las = dir / "in.las";
    generate_las(las, {"--format", "1", "--points", "2100000"});
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    const Captured run = run_in_child([&] {
        dup2(fds[1], STDOUT_FILENO);
        signal(SIGPIPE, SIG_DFL);
        execl(PELMORA_BIN, PELMORA_BIN, las.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    });
    close(fds[1]);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(output_problems(dir / "in", 2100000), "");
}

// ---- Files that are not regular ------------------------------------------------

// A FIFO would block a reader until a writer came, and a writer until a
// reader came: refused at once, before anything is written.
TEST(NotRegularFiles, FifosAreRefusedWithoutWaiting) {
    TempDir dir("fifo");
    const std::string fifo = dir / "f.las";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const auto started = std::chrono::steady_clock::now();
    Captured run = run_pelmora(fifo);
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_EQ(run.out, "\n" + fifo + " is a FIFO, not a regular file: it cannot be read as a LAS file\n" + fifo +
                           " is not a valid LAS file\n");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));

    const std::string las = dir / "in.las";
    generate_las(las, {"--points", "10"});
    ASSERT_EQ(mkfifo((dir / "in.shx").c_str(), 0644), 0);
    run = run_pelmora(las);
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_EQ(run.out, "\n" + (dir / "in.shx") + " is a FIFO, not a regular file: an output cannot replace it\n");
    EXPECT_EQ(listing(dir.path), (std::vector<std::string>{"f.las", "in.las", "in.shx"}));
    EXPECT_TRUE(fs::is_fifo(dir / "in.shx"));
}

TEST(NotRegularFiles, OutputsThatAreDevicesOrDirectoriesAreRefusedBeforeAnythingIsWritten) {
    TempDir dir("devices");
    const std::string las = dir / "in.las";
    generate_las(las, {"--points", "10"});
    const struct {
        const char *output;
        std::function<void(const std::string &)> make;
        const char *kind;
    } cases[] = {
        {"in.shp", [](const std::string &p) { fs::create_symlink("/dev/null", p); }, "a character device"},
        {"in.dbf", [](const std::string &p) { fs::create_directory(p); }, "a directory"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.output);
        c.make(dir / c.output);
        const Captured run = run_pelmora(las);
        EXPECT_EQ(run.exit_status, 255);
        EXPECT_EQ(run.out, "\n" + (dir / c.output) + " is " + c.kind + ", not a regular file: an output cannot replace it\n");
        std::vector<std::string> names{c.output, "in.las"};
        std::sort(names.begin(), names.end());
        EXPECT_EQ(listing(dir.path), names);
        fs::remove(dir / c.output);
    }
}

// ---- Links --------------------------------------------------------------------

// An output name that is a symbolic link is written through: the link stays,
// the file it names is replaced (or made, when the link dangles), and keeps
// its permissions.
TEST(Links, OutputsAreWrittenThroughTheLinksTheUserMade) {
    TempDir dir("through");
    const std::string las = dir / "in.las";
    generate_las(las, {"--format", "2", "--points", "1000"});
    fs::create_directory(dir / "store");
    write_file(dir / "store/in.shp", "old");
    ASSERT_EQ(chmod((dir / "store/in.shp").c_str(), 0640), 0);
    fs::create_symlink("store/in.shp", dir / "in.shp");
    fs::create_symlink(dir / "store/new.dbf", dir / "in.dbf");  // dangling, absolute
    const Captured run = run_pelmora(las);
    ASSERT_EQ(run.exit_status, 0) << run.out;
    EXPECT_TRUE(fs::is_symlink(dir / "in.shp") && fs::is_symlink(dir / "in.dbf"));
    EXPECT_EQ(listing(dir / "store"), (std::vector<std::string>{"in.shp", "new.dbf"}));
    expect_exact_outputs(dir / "in");
    EXPECT_EQ(fs::status(dir / "store/in.shp").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

// Two output names for one file (a symbolic link, a hard link, a link to a
// file that does not exist yet): writing both would leave one output in the
// other's place, so the run is refused before anything is written.
TEST(Links, OutputsThatAreTheSameFileAreRefusedBeforeAnythingIsWritten) {
    TempDir dir("aliases");
    const std::string las = dir / "x.las";
    generate_las(las, {"--format", "1", "--points", "100"});
    const struct {
        const char *label;
        std::function<void()> make;
        std::vector<std::string> listing;
    } cases[] = {
        {"symbolic link to an existing output",
         [&] {
             write_file(dir / "x.shp", "old x.shp");
             fs::create_symlink("x.shp", dir / "x.dbf");
         },
         {"x.dbf", "x.las", "x.shp"}},
        {"hard link", [&] {
             write_file(dir / "x.shp", "old x.shp");
             fs::create_hard_link(dir / "x.shp", dir / "x.dbf");
         },
         {"x.dbf", "x.las", "x.shp"}},
        {"symbolic link to an output not yet made", [&] { fs::create_symlink("x.shp", dir / "x.dbf"); },
         {"x.dbf", "x.las"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        c.make();
        const Captured run = run_pelmora(las);
        EXPECT_EQ(run.exit_status, 255);
        EXPECT_EQ(run.out, "\n" + (dir / "x.shp") + " and " + (dir / "x.dbf") +
                               " are the same file (a link to it): writing both would destroy one output\n");
        EXPECT_EQ(listing(dir.path), c.listing);
        if (fs::exists(dir / "x.shp")) {
            EXPECT_EQ(read_file(dir / "x.shp"), "old x.shp");
        }
        fs::remove(dir / "x.dbf");
        fs::remove(dir / "x.shp");
    }
}

// ---- Names ----------------------------------------------------------------------

// A name as long as the file system allows: the hidden temporaries beside
// it are longer than the name itself, and must still fit.
TEST(Names, ANameOfTheLongestLengthConverts) {
    TempDir dir("longname");
    const std::string stem(251, 'n');  // stem.las is 255 bytes, the limit of a name
    const std::string las = dir / (stem + ".las");
    generate_las(las, {"--format", "3", "--points", "1000"});
    const Captured run = run_pelmora(las);
    ASSERT_EQ(run.exit_status, 0) << run.out;
    expect_exact_outputs(dir / stem);
    EXPECT_EQ(listing(dir.path), (std::vector<std::string>{stem + ".dbf", stem + ".las", stem + ".shp", stem + ".shx"}));
}

// ---- Spatial indexes ------------------------------------------------------------------

// A spatial index made for an earlier shapefile of the name (QGIS's "Create
// spatial index" writes NAME.qix; ArcGIS writes .sbn and .sbx) would make
// readers skip the new points: it goes when the outputs are committed, and
// stays when a run fails.
TEST(SpatialIndexes, AStaleIndexGoesWithTheOutputsItDescribedAndStaysWhenARunFails) {
    TempDir dir("stale");
    const std::string las = dir / "t.las";
    generate_las(las, {"--format", "0", "--points", "100"});
    const std::vector<std::string> indexes = {"t.qix", "t.sbn", "t.sbx"};
    for (const std::string &name : indexes) write_file(dir / name, "old index");
    fs::create_directory(dir / "t.dbf");  // an output that cannot be replaced: the run fails
    EXPECT_EQ(run_pelmora(las).exit_status, 255);
    EXPECT_EQ(listing(dir.path), (std::vector<std::string>{"t.dbf", "t.las", "t.qix", "t.sbn", "t.sbx"}));
    fs::remove(dir / "t.dbf");
    const Captured run = run_pelmora(las);
    ASSERT_EQ(run.exit_status, 0) << run.out;
    EXPECT_EQ(listing(dir.path), (std::vector<std::string>{"t.dbf", "t.las", "t.shp", "t.shx"}));
}

// ---- A header that announces every variable-length record it can ----------------

// 2^32 - 1 records announced before a 2 GB gap of zeros (a sparse file):
// the walk reads the gap in large blocks, not one call per record.
TEST(VariableLengthRecords, FourBillionAnnouncedBeforeTwoGigabytesTakeSecondsNotMinutes) {
    TempDir dir("vlr_walk");
    const std::string source = dir / "source.las", las = dir / "in.las";
    generate_las(source, {"--format", "1", "--points", "2"});
    std::string header = read_file(source).substr(0, 227);
    const std::string points = read_file(source).substr(227);
    const uint64_t offset = (1ull << 31) + 227;
    bytes::put_le(header, 96, offset, 4);
    bytes::put_le(header, 100, 0xFFFFFFFFu, 4);
    write_file(las, header);
    {
        const int fd = open(las.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, points.data(), points.size(), static_cast<off_t>(offset)),
                  static_cast<ssize_t>(points.size()));
        close(fd);
    }
    const auto started = std::chrono::steady_clock::now();
    const Captured run = run_pelmora(las);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(run.exit_status, 0) << run.out;
    EXPECT_EQ(output_problems(dir / "in", 2), "");
    EXPECT_LT(seconds, 30.0) << "the walk makes a call per record";
}

}  // namespace
