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

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
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

// What to say when an output cannot be created: a format with one %s (the
// name), and whether Pelmora prints it on the current line (see Failure).
struct OpenFailure {
    const char *format = "Unable to open file %s for writing";
    bool same_line = false;
    [[noreturn]] void raise(const std::string &name) const;
};

class OutputFile {
public:
    // Creates the temporary beside the target of `name`.  If the target
    // exists and may not be written, or the temporary cannot be created,
    // fails with `open_failure`.
    OutputFile(std::string name, const OpenFailure &open_failure);
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
    // write" / "Failed to close" NAME.  Once: later calls do nothing.
    void finish();

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

    // Gives the output another name before the commit (its temporary
    // stays where it is): checked as a new output of that name would be.
    void retarget(const std::string &name, const OpenFailure &open_failure = {});

    // The name as the user knows it (it may change while pieces are written).
    std::string name() const;
    const std::string &target() const { return target_; }
    // Bytes in the file (its highest written offset).
    uint64_t size() const { return size_; }

private:
    struct Replaced;
    static std::vector<OutputFile *> link_new_names(const std::vector<OutputFile *> &outputs, bool no_clobber);
    static void rename_over(const std::vector<OutputFile *> &outputs, const std::vector<OutputFile *> &linked);
    static void sync_directories(const std::vector<OutputFile *> &outputs);
    void mark_committed();

    mutable std::mutex name_mutex_;  // guards name_, which a retarget changes
    std::string name_;       // as the user will know it
    std::string target_;     // what it replaces
    std::string temporary_;  // where it is written
    int fd_ = -1;
    bool committed_ = false;
    bool never_replace_ = false;
    mutable std::atomic<uint64_t> size_{0};
};
