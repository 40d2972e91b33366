// Outputs that appear whole or not at all.
//
// Each output is written under a hidden temporary name in the directory of
// the file it will replace, and renamed over that file only once every byte
// is written and synced.  Until then an earlier file of that name stays as
// it was; a failed or interrupted run removes its temporaries, and a run
// killed outright (SIGKILL, a crash) leaves at most hidden temporaries
// ".NAME.pelmora-XXXXXX", never a partial file under a final name.  (NAME
// is cut short where the whole would pass the file system's limit on the
// length of a name: uniqueness comes from the random part.)
#pragma once

#include <signal.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

// The file an output name stands for: the name itself, or the file at the
// end of its chain of symbolic links (which may not exist yet), so that
// writing "through" a link the user made replaces the link's target.
std::string output_target(const std::string &name);

// Refuses (Failure) an output name whose target exists and is not a
// regular file (a directory, FIFO, device or socket): such a file cannot be
// replaced by an output, and nothing has been written yet.
void refuse_unreplaceable_output(const std::string &name);

// Where an output name will put its file, spelled one way for every name
// of that file: the device and inode of an existing file, else the real
// path of its directory and its own name.
std::string output_file_key(const std::string &name);

// The first pair of `names` that stand for the same file (through links,
// symbolic or hard, or as two spellings of one path), as {first, second};
// two empty strings when every name is a file of its own.  Writing both
// would leave one output in the place of the other.
std::pair<std::string, std::string> same_output_file(const std::vector<std::string> &names);

// The name of the hidden temporary of `target` with the random part
// `suffix`: ".BASE.pelmora-SUFFIX" beside it, BASE cut short so that the
// whole name fits `name_max` bytes.
std::string temporary_name(const std::string &target, const std::string &suffix, size_t name_max);

class OutputFile {
public:
    // Creates the temporary beside the target of `name`.  If the target
    // exists and may not be written, or the temporary cannot be created,
    // fails with `open_failure` (one %s: the name).
    OutputFile(std::string name, const char *open_failure);
    // Removes the temporary unless it was committed.
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // Writes every byte at `offset`; returns 0 or the errno of the failure.
    // Safe from several threads for disjoint ranges.
    int write_at(const void *data, size_t size, uint64_t offset) const;
    // Reads back what was written: false unless all `size` bytes are there.
    bool read_at(void *data, size_t size, uint64_t offset) const;
    // The same, failing with "Failed to write NAME: <reason>".
    void put_at(const void *data, size_t size, uint64_t offset) const;
    // The failure message of a write that returned `error`.
    [[noreturn]] void fail_write(int error) const;

    // Asks the kernel to start writing a range to the disk now, so that the
    // final sync waits only for what was written last.
    void start_writeback(uint64_t offset, uint64_t size) const;

    // Syncs the data and closes the temporary, failing with "Failed to
    // write" / "Failed to close" NAME.
    void finish();
    // Finishes several at once: the writeback of all of them is started
    // before the first sync waits, so that the disk writes them together.
    static void finish(std::initializer_list<OutputFile *> outputs);

    // Renames finished temporaries over their targets, with interrupts held
    // off so that a signal cannot stop the set half renamed.  With
    // `no_clobber` (and for an output set never to replace a file), each is
    // linked to its name instead, which never replaces a file: if any name
    // has appeared meanwhile, those linked are taken back and the run fails
    // ("NAME already exists").
    static void commit(const std::vector<OutputFile *> &outputs, bool no_clobber = false);

    // This output is never to replace an existing file, whatever the run's
    // --no-clobber says (a kept LAS file): committing it fails instead.
    void set_never_replace() { never_replace_ = true; }

    const std::string &name() const { return name_; }
    const std::string &target() const { return target_; }
    // Bytes in the file (its highest written offset).
    uint64_t size() const { return size_; }

private:
    std::string name_;       // as the user will know it
    std::string target_;     // what it replaces
    std::string temporary_;  // where it is written
    int fd_ = -1;
    bool committed_ = false;
    bool never_replace_ = false;
    mutable std::atomic<uint64_t> size_{0};
};

// Makes SIGINT, SIGTERM and SIGHUP remove the run's temporaries and then end
// the process as the signal would (status 128 + signal in a shell); makes
// SIGPIPE (a console reader that went away) and SIGXFSZ (a file-size limit,
// reported as a failed write instead) harmless.  The previous dispositions
// come back when the guard ends.
class SignalGuard {
public:
    SignalGuard();
    ~SignalGuard();
    SignalGuard(const SignalGuard &) = delete;
    SignalGuard &operator=(const SignalGuard &) = delete;
};

// Blocks the interrupting signals in the calling thread for its lifetime:
// worker threads start under it, so that only the main thread ever runs the
// handler.
class SignalsBlocked {
public:
    SignalsBlocked();
    ~SignalsBlocked();
    SignalsBlocked(const SignalsBlocked &) = delete;
    SignalsBlocked &operator=(const SignalsBlocked &) = delete;

private:
    sigset_t saved_;
};

// A block of at least `bytes` to format output in, one per thread and kept
// for the thread's life, so that its memory is touched once rather than
// once per chunk.  Fails with "Failed to allocate memory for output
// buffers" when it cannot be had.
unsigned char *formatting_block(size_t bytes);
