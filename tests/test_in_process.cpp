// The whole run in-process, as the fuzzer runs it: src/main.cpp is compiled
// in with its main renamed, and end_run() throws instead of ending the
// process, so a failing run unwinds back to the test.  Whatever a failure
// path keeps (heap blocks, descriptors) then piles up run after run, and is
// caught here, and by the leak checker of the sanitizer build at exit.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <shapefil.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "pelmora_run.h"

int pelmora_main(int argc, char **argv);

namespace {

struct RunEnded {
    int status;
};

// The field the table library is made to refuse, if any.
const char *g_refused_field = nullptr;

}  // namespace

// Replaces the default, which ends the process.
void end_run(int status) { throw RunEnded{status}; }

// The table library's, unless the test has it refuse one field.
extern "C" int DBFAddField(DBFHandle table, const char *name, DBFFieldType type, int width, int decimals) {
    using Add = int (*)(DBFHandle, const char *, DBFFieldType, int, int);
    static const Add library = reinterpret_cast<Add>(dlsym(RTLD_NEXT, "DBFAddField"));
    if (g_refused_field != nullptr && std::strcmp(name, g_refused_field) == 0) return -1;
    return library(table, name, type, width, decimals);
}

namespace {

namespace fs = std::filesystem;

// One run; returns its status, and what it printed in `console`.
int run_in_process(const std::string &las, std::string *console = nullptr) {
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    FILE *text = std::tmpfile();
    dup2(fileno(text), STDOUT_FILENO);
    char program[] = "Pelmora";
    std::string argument = las;
    char *argv[] = {program, argument.data(), nullptr};
    int status;
    try {
        status = pelmora_main(2, argv);
    } catch (const RunEnded &ended) {
        status = ended.status;
    }
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    if (console != nullptr) {
        console->clear();
        std::rewind(text);
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, text)) > 0) console->append(buffer, n);
    }
    std::fclose(text);
    return status;
}

int open_descriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto &entry : fs::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

size_t heap_in_use() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

TEST(InProcess, FailingRunsReleaseTheirMemoryAndDescriptors) {
    TempDir dir("inprocess");
    const std::string good = dir / "good.las";
    generate_las(good, {"--format", "3", "--points", "5000"});
    generate_las(dir / "signature.las", {"--signature", "LASG"});
    generate_las(dir / "short.las", {"--points", "10", "--announce", "11"});
    // Outputs that cannot be created once the run has its point buffer.
    generate_las(dir / "noshp.las", {"--format", "1", "--points", "5000"});
    fs::create_directory(dir / "noshp.shp");
    generate_las(dir / "nodbf.las", {"--format", "2", "--points", "5000"});
    fs::create_directory(dir / "nodbf.dbf");
    generate_las(dir / "noshx.las", {"--format", "0", "--points", "5000"});
    fs::create_directory(dir / "noshx.shx");

    // The first run allocates what lives until the process ends.
    ASSERT_EQ(run_in_process(good), 0);
    const int descriptors = open_descriptors();
    const size_t heap = heap_in_use();
    for (int round = 0; round < 20; ++round) {
        for (const char *name : {"signature.las", "short.las", "noshp.las", "nodbf.las", "noshx.las"}) {
            SCOPED_TRACE(name);
            ASSERT_EQ(run_in_process(dir / name), -1);
        }
        ASSERT_EQ(run_in_process(good), 0);
    }
    EXPECT_EQ(open_descriptors(), descriptors);
    // The last three failing runs above had their point buffer (20 MB and
    // more) and the output files' blocks: any of them kept would show.
    EXPECT_LT(heap_in_use(), heap + 100000) << "heap grew from " << heap;
}

// A field the table library refuses ends the run with its message; the
// half-made table is closed, so its descriptor and memory do not pile up.
TEST(InProcess, ATableFieldThatCannotBeAddedLeavesNothingOpen) {
    TempDir dir("inprocess-field");
    const std::string las = dir / "f.las";
    generate_las(las, {"--format", "1", "--points", "10"});
    ASSERT_EQ(run_in_process(las), 0);
    const int descriptors = open_descriptors();
    const size_t heap = heap_in_use();
    g_refused_field = "GPSTime";
    std::string console;
    for (int round = 0; round < 20; ++round) ASSERT_EQ(run_in_process(las, &console), -1);
    g_refused_field = nullptr;
    EXPECT_TRUE(console.ends_with("Processing ...Failed to add field GPSTime to " + (dir / "f.dbf") + "\n")) << console;
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_LT(heap_in_use(), heap + 10000) << "heap grew from " << heap;
    ASSERT_EQ(run_in_process(las), 0);
}

}  // namespace
