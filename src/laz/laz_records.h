// The point records of a LAZ file, decoded by a decoder process and
// streamed through a pipe.
//
// The decoder (decoder/laz-decoder.js under Node.js, see decoder_command.h)
// decodes the chunks in parallel and writes the records in file order.
// What passes between the two is decoder/wire.json's: the LAZ file on a
// descriptor of its own, the job on the decoder's standard input, the
// records on its standard output, one line on its standard error and an
// exit status when it fails.
//
// The records are read as they come, with poll(): the job is written and
// the decoder's stderr drained (its first 8 KiB kept) while waiting for
// records, so no pipe can fill up and block either side.  A decoder that
// delivers nothing for the stall time is killed and reported; one that
// ends early, dies, or exits with a failure after its records is reported
// with the points that arrived and its own line.  The decoder never
// outlives this object: the destructor kills (SIGKILL) and reaps it if it
// still runs; it is registered with io/child_processes.h for the interrupt
// handler; and it gets SIGKILL when the thread that created this object
// ends (PR_SET_PDEATHSIG), so create it on a thread that lives as long as
// the run (the main thread).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "las/record_source.h"
#include "laz/laz_plan.h"

namespace laz {

struct LazDecoding {
    unsigned threads = 0;             // decoding threads; 0: one per usable core
    int stall_milliseconds = 60000;   // silence after which the decoder is stopped
    std::string program_dir;          // where to look for the decoder; empty: the running program's
};

class LazRecords : public RecordSource {
public:
    // Starts the decoder on the chunks of `plan` (no decoder when there are
    // none).  `fd` stays the caller's; the decoder gets a duplicate.  Fails
    // (a Failure naming `name`) if the decoder cannot be found or started.
    LazRecords(std::string name, int fd, const LazPlan &plan, const LazDecoding &decoding = {});
    ~LazRecords() override;
    LazRecords(const LazRecords &) = delete;
    LazRecords &operator=(const LazRecords &) = delete;

    void read(unsigned char *dst, uint32_t count) override;
    void finish() override;

    // The decoder's process id (-1 if none was started).
    pid_t decoder_pid() const { return pid_; }

private:
    void spawn(const std::vector<std::string> &argv, int laz_fd);
    void send_job();
    void drain_stderr();
    void wait_for_output();
    bool wait_for_exit(int milliseconds);
    void reap();
    void kill_and_reap();
    void close_pipes();
    std::string decoder_line() const;
    std::string how_it_ended(const std::string &when) const;
    [[noreturn]] void fail_ended_early();
    [[noreturn]] void fail_stalled();

    std::string name_;
    uint16_t record_length_ = 0;
    uint64_t point_count_ = 0;
    uint64_t total_bytes_ = 0;
    uint64_t delivered_ = 0;
    int stall_ms_ = 60000;
    int64_t last_progress_ms_ = 0;

    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;  // waitpid's, once reaped
    int in_ = -1;     // the decoder's stdin (the job)
    int out_ = -1;    // its stdout (the records)
    int err_ = -1;    // its stderr
    std::string job_;
    size_t job_sent_ = 0;
    std::string stderr_;
};

// The job for `plan` with `threads` decoding threads, as the decoder reads it.
std::string decoder_job(const LazPlan &plan, unsigned threads);

}  // namespace laz
