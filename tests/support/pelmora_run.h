// Running the built converter and the generator from tests.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "capture.h"

// The banner every successful run prints first.
extern const char *const kBanner;

// Runs lasgen with `args` to make `path`; fails the test on error.
void generate_las(const std::string &path, const std::vector<std::string> &args);

// Runs Pelmora with one argument in `workdir`.
Captured run_pelmora(const std::string &argument, const std::string &workdir = "",
                     unsigned long long file_size_limit = 0);

// What a run prints before its first chunk: the banner, the names and
// "Processing ...".
std::string run_start(const std::string &las);

// The names in a directory, sorted.
std::vector<std::string> listing(const std::string &dir);

// What a successful run prints, with the elapsed seconds replaced by "#".
std::string expected_console(const std::string &input, const std::string &shp,
                             const std::vector<std::string> &progress_numbers, const std::string &summary = "");
std::string mask_elapsed(const std::string &console);

// Scoped temporary directory, removed with its contents.
struct TempDir {
    std::string path;
    explicit TempDir(const std::string &tag);
    ~TempDir();
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

// A tmpfs of `kib` KiB (mount options `extra` besides its size) mounted on
// the existing directory `path` for the object's life, unmounted however the
// test ends: a disk that fills up where a test wants it to.  mounted() is
// false, with the reason in error(), where the machine does not let a test
// mount one.
class SmallTmpfs {
public:
    SmallTmpfs(std::string path, unsigned long long kib, const std::string &extra = "");
    ~SmallTmpfs();
    SmallTmpfs(const SmallTmpfs &) = delete;
    SmallTmpfs &operator=(const SmallTmpfs &) = delete;
    bool mounted() const { return mounted_; }
    const std::string &error() const { return error_; }

private:
    std::string path_;
    bool mounted_ = false;
    std::string error_;
};

// Pelmora running in a child whose standard output is a one-page pipe filled
// beforehand, so that the run stops at its first progress line (printed
// just before the first chunk is read, when every temporary exists) until
// the test reads the pipe: the test can act on a run that is known to be
// under way.  `start` is what the run prints before that line.
class PausedRun {
public:
    PausedRun(const std::string &las, const std::string &start);
    ~PausedRun();
    // False if this machine cannot make a pipe one page small, or the run
    // never got to its first progress line.
    bool paused() const { return paused_; }
    pid_t pid() const { return pid_; }
    // Reads the rest of the output and waits: what the run printed (after
    // the filler) and its wait status.
    std::string finish(int *wait_status);

private:
    pid_t pid_ = -1;
    int read_fd_ = -1;
    size_t filler_ = 0;
    bool paused_ = false;
};
