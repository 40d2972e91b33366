// The point records of a LAZ file, decoded by a decoder process and
// streamed through a pipe.
//
// The decoder (decoder/laz-decoder.js under Node.js, see decoder_command.h)
// decodes the chunks in parallel and writes the records in file order.
// What passes between the two (laz-decoder.js documents the same):
//   fd 3    the LAZ file: a duplicate of the descriptor the checks read,
//           which the decoder reads with positional reads only;
//   stdin   the job, one JSON object, then end of file:
//             {"format":F,"record_length":L,"workers":W,
//              "chunks":[[offset,bytes,points,verify],...]}
//           (point format, uncompressed record length, decoding threads,
//           and the chunks of the plan in file order, each with 1 to
//           be decoded twice and compared, see laz_plan.h);
//   stdout  exactly L x (point count) bytes: the uncompressed records;
//   stderr  on failure one line "laz-decoder: <what went wrong>";
//   status  0 done, 1 damaged chunk, 2 bad job, 3 codec unavailable,
//           4 output closed, 5 internal error.
// Every other descriptor of this process is closed in the decoder.
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

    // The decoder's process id (-1 if none was started) and the number of
    // decoding threads its job asks for (0 if none).
    pid_t decoder_pid() const { return pid_; }
    unsigned threads() const { return threads_; }

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
    unsigned threads_ = 0;
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
