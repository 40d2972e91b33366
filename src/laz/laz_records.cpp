#include "laz/laz_records.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "base/failure.h"
#include "base/text.h"
#include "io/child_processes.h"
#include "laz/decoder_command.h"
#include "laz/decoder_wire.h"

extern char **environ;

namespace laz {

namespace {

using ull = unsigned long long;

constexpr size_t kKeptStderr = 8192;   // of the decoder's stderr; the rest is read and dropped
constexpr int kRecordPipeBytes = 1 << 20;

int64_t now_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void close_fd(int &fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// The decoder's descriptors: 0, 1, 2, the LAZ file, and (until exec) the
// report pipe after it.
constexpr int kReport = wire::kLazFd + 1;
constexpr int kFirstFree = kReport + 1;

// A descriptor numbered above the decoder's own (close-on-exec), so that
// placing those in the child cannot overwrite it.
int above_standard(int fd) {
    if (fd >= kFirstFree) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, kFirstFree);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return moved;
}

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// A write that fails with EPIPE instead of raising SIGPIPE, whatever the
// process does with SIGPIPE: the signal is blocked in this thread for the
// write and a SIGPIPE the write raised is taken back.
ssize_t write_without_sigpipe(int fd, const void *data, size_t size) {
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE);
    sigset_t saved;
    pthread_sigmask(SIG_BLOCK, &pipe_only, &saved);
    const ssize_t n = ::write(fd, data, size);
    const int error = errno;
    if (n < 0 && error == EPIPE && !was_pending) {
        const timespec zero{};
        while (sigtimedwait(&pipe_only, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    errno = error;
    return n;
}

// Resource limits low enough to explain a decoder that died or hung
// without a word (Node.js aborts or hangs when it cannot get them).
std::string limits_in_force() {
    std::string text;
    const struct {
        int resource;
        const char *what;
        rlim_t worth_naming_below;
        bool bytes;
    } limits[] = {{RLIMIT_AS, "address space (ulimit -v)", RLIM_INFINITY, true},
                  {RLIMIT_NOFILE, "open files (ulimit -n)", 256, false},
                  {RLIMIT_NPROC, "processes and threads (ulimit -u)", 4096, false}};
    for (const auto &l : limits) {
        rlimit r{};
        if (getrlimit(l.resource, &r) != 0 || r.rlim_cur == RLIM_INFINITY || r.rlim_cur >= l.worth_naming_below)
            continue;
        text += text.empty() ? "; limits in force: " : ", ";
        text += l.bytes ? formatted("%s %llu MiB", l.what, static_cast<ull>(r.rlim_cur >> 20))
                        : formatted("%s %llu", l.what, static_cast<ull>(r.rlim_cur));
    }
    return text;
}

// What the decoder's exit statuses mean, as " (...)"; "" for any other.
const char *exit_meaning(int code) {
    switch (code) {
        case wire::kExitDamaged: return " (a damaged chunk)";
        case wire::kExitBadJob: return " (it could not use its job or the file's descriptor)";
        case wire::kExitCodecUnavailable: return " (its codec could not be loaded)";
        case wire::kExitOutputClosed: return " (its output was closed)";
        case wire::kExitInternal: return " (an error of its own)";
        default: return "";
    }
}

}  // namespace

std::string decoder_job(const LazPlan &plan, unsigned threads) {
    std::string job = formatted("{\"format\":%u,\"record_length\":%u,\"workers\":%u,\"chunks\":[", plan.point_format,
                                plan.record_length, threads);
    job.reserve(job.size() + plan.chunks.size() * 32 + 2);
    char entry[80];
    for (size_t i = 0; i < plan.chunks.size(); ++i) {
        const LazChunk &c = plan.chunks[i];
        const int n = std::snprintf(entry, sizeof entry, "%s[%llu,%llu,%u,%d]", i ? "," : "", static_cast<ull>(c.offset),
                                    static_cast<ull>(c.bytes), c.points, c.verify ? 1 : 0);
        job.append(entry, static_cast<size_t>(n));
    }
    job += "]}\n";
    return job;
}

LazRecords::LazRecords(std::string name, int fd, const LazPlan &plan, const LazDecoding &decoding)
    : name_(std::move(name)),
      record_length_(plan.record_length),
      point_count_(plan.point_count),
      total_bytes_(plan.point_count * plan.record_length),
      stall_ms_(decoding.stall_milliseconds) {
    if (plan.chunks.empty()) return;  // no points: nothing to decode
    const DecoderCommand command =
        find_decoder(name_, decoding.program_dir.empty() ? running_program_dir() : decoding.program_dir);
    unsigned threads = decoding.threads ? decoding.threads : usable_cores();
    if (command.node) threads = threads_within_limits(name_, threads, current_limits());
    threads = static_cast<unsigned>(std::min<size_t>({threads, plan.chunks.size(), wire::kMaxWorkers}));
    job_ = decoder_job(plan, threads);
    try {
        spawn(command.argv, fd);
        last_progress_ms_ = now_ms();
        send_job();
    } catch (...) {
        kill_and_reap();  // no destructor runs for a constructor that throws
        close_pipes();
        throw;
    }
}

LazRecords::~LazRecords() {
    kill_and_reap();
    close_pipes();
}

// The pipes of a decoder (job, records, messages, and the exec report:
// errno of a failed exec, nothing once the program runs) and its copy of
// the LAZ file's descriptor, all numbered 5 or above where the child needs
// them moved, so that placing its descriptors 0 to 4 cannot overwrite them.
namespace {

struct Pipes {
    int job[2] = {-1, -1}, records[2] = {-1, -1}, messages[2] = {-1, -1}, report[2] = {-1, -1};
    int laz = -1;
    ~Pipes() {
        for (int *p : {job, records, messages, report}) {
            close_fd(p[0]);
            close_fd(p[1]);
        }
        close_fd(laz);
    }
    bool open(int laz_fd) {
        return pipe2(job, O_CLOEXEC) == 0 && pipe2(records, O_CLOEXEC) == 0 && pipe2(messages, O_CLOEXEC) == 0 &&
               pipe2(report, O_CLOEXEC) == 0 && (laz = fcntl(laz_fd, F_DUPFD_CLOEXEC, kFirstFree)) >= 0 &&
               (job[0] = above_standard(job[0])) >= 0 && (records[1] = above_standard(records[1])) >= 0 &&
               (messages[1] = above_standard(messages[1])) >= 0 && (report[1] = above_standard(report[1])) >= 0;
    }
};

// The child, between fork and exec: only async-signal-safe calls.  Default
// dispositions, death with the parent, the descriptors in place, then the
// decoder; a failure is reported through the report pipe as an errno.
[[noreturn]] void become_decoder(const Pipes &p, char *const argv[], pid_t parent) {
    struct sigaction action {};
    for (int s = 1; s < NSIG; ++s) {
        if (sigaction(s, nullptr, &action) != 0) continue;
        if (action.sa_handler != SIG_IGN || s == SIGPIPE || s == SIGXFSZ) {
            action = {};
            action.sa_handler = SIG_DFL;
            sigaction(s, &action, nullptr);
        }
    }
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);  // the parent already died
    if (dup2(p.job[0], 0) < 0 || dup2(p.records[1], 1) < 0 || dup2(p.messages[1], 2) < 0 ||
        dup2(p.laz, wire::kLazFd) < 0 || dup2(p.report[1], kReport) < 0 || fcntl(kReport, F_SETFD, FD_CLOEXEC) < 0) {
        const int error = errno;
        (void)!::write(p.report[1], &error, sizeof error);
        _exit(127);
    }
    if (syscall(SYS_close_range, static_cast<unsigned>(kFirstFree), ~0u, 0u) != 0) {
        const long most = sysconf(_SC_OPEN_MAX);
        for (long fd = kFirstFree; fd < (most > 0 ? std::min(most, 1L << 20) : 65536); ++fd) ::close(static_cast<int>(fd));
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(argv[0], argv, environ);
    const int error = errno;
    (void)!::write(kReport, &error, sizeof error);
    _exit(127);
}

// exec's errno from the report pipe, or 0 once it closes at exec.
int exec_error(int report) {
    int error = 0;
    size_t got = 0;
    while (got < sizeof error) {
        const ssize_t r = ::read(report, reinterpret_cast<char *>(&error) + got, sizeof error - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    return got == sizeof error ? error : 0;
}

}  // namespace

void LazRecords::spawn(const std::vector<std::string> &argv, int laz_fd) {
    const char *n = name_.c_str();
    Pipes p;
    if (!p.open(laz_fd)) {
        const int error = errno;
        fail("%s: cannot start the LAZ decoder: %s%s", n, std::strerror(error),
             error == EMFILE ? " (the open-file limit, ulimit -n, is reached)" : "");
    }
    fcntl(p.records[0], F_SETPIPE_SZ, kRecordPipeBytes);  // fewer, larger transfers; a smaller pipe works too
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = getpid();
    // No signal handler of this process may run in the child before exec.
    sigset_t all, saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    const pid_t pid = fork();
    if (pid == 0) become_decoder(p, args.data(), parent);
    const int fork_error = errno;
    // Registered before signals are let in again: an interrupt from now on kills it.
    const bool remembered = pid > 0 && remember_child(pid);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    if (pid < 0)
        fail("%s: cannot start the LAZ decoder: fork: %s%s", n, std::strerror(fork_error),
             fork_error == EAGAIN ? " (the limit of processes and threads, ulimit -u, may be reached)" : "");
    pid_ = pid;
    // The parent's ends of the pipes become this object's; the child's ends close.
    for (int *end : {&p.job[0], &p.records[1], &p.messages[1], &p.report[1], &p.laz}) close_fd(*end);
    in_ = std::exchange(p.job[1], -1);
    out_ = std::exchange(p.records[0], -1);
    err_ = std::exchange(p.messages[0], -1);
    set_nonblocking(in_);
    set_nonblocking(out_);
    set_nonblocking(err_);
    const int error = exec_error(p.report[0]);
    if (!remembered) {
        kill(pid_, SIGKILL);
        while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
        close_pipes();
        fail("%s: cannot start the LAZ decoder: too many child processes run already", n);
    }
    if (error != 0) {
        kill_and_reap();
        close_pipes();
        fail("%s: cannot run the LAZ decoder %s: %s", n, argv[0].c_str(), std::strerror(error));
    }
}

void LazRecords::send_job() {
    while (in_ >= 0 && job_sent_ < job_.size()) {
        const ssize_t n = write_without_sigpipe(in_, job_.data() + job_sent_, job_.size() - job_sent_);
        if (n > 0) {
            job_sent_ += static_cast<size_t>(n);
            last_progress_ms_ = now_ms();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;
        // The decoder closed its stdin: it has given up, and its status and
        // message will say why.
        close_fd(in_);
        return;
    }
    if (job_sent_ == job_.size()) close_fd(in_);  // end of the job
}

void LazRecords::drain_stderr() {
    char block[65536];
    while (err_ >= 0) {
        const ssize_t n = ::read(err_, block, sizeof block);
        if (n > 0) {
            const size_t keep = std::min(static_cast<size_t>(n), kKeptStderr - std::min(kKeptStderr, stderr_.size()));
            stderr_.append(block, keep);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;
        close_fd(err_);  // end of file, or nothing more to be had
    }
}

// Waits until the records pipe can be read, writing the job and draining
// stderr meanwhile; stops the decoder when it has been silent too long.
void LazRecords::wait_for_output() {
    for (;;) {
        const int64_t left = last_progress_ms_ + stall_ms_ - now_ms();
        if (left <= 0) fail_stalled();
        pollfd fds[3];
        nfds_t count = 0;
        fds[count++] = {out_, POLLIN, 0};
        if (err_ >= 0) fds[count++] = {err_, POLLIN, 0};
        if (in_ >= 0) fds[count++] = {in_, POLLOUT, 0};
        const int ready = poll(fds, count, static_cast<int>(std::min<int64_t>(left, 1 << 30)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) fail("%s: cannot wait for the LAZ decoder: %s", name_.c_str(), std::strerror(errno));
        if (ready == 0) continue;  // the deadline is checked above
        for (nfds_t i = 1; i < count; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == err_) drain_stderr();
            if (fds[i].fd == in_) send_job();
        }
        if (fds[0].revents != 0) return;
    }
}

void LazRecords::read(unsigned char *dst, uint32_t count) {
    const uint64_t want = uint64_t{count} * record_length_;
    if (want > total_bytes_ - delivered_)
        fail("%s: %u records asked of the LAZ decoder, but only %llu of the file's %llu points remain", name_.c_str(),
             count, static_cast<ull>((total_bytes_ - delivered_) / record_length_), static_cast<ull>(point_count_));
    uint64_t got = 0;
    while (got < want) {
        const size_t ask = static_cast<size_t>(std::min<uint64_t>(want - got, 1u << 30));
        const ssize_t n = ::read(out_, dst + got, ask);
        if (n > 0) {
            got += static_cast<uint64_t>(n);
            delivered_ += static_cast<uint64_t>(n);
            last_progress_ms_ = now_ms();
            continue;
        }
        if (n == 0) fail_ended_early();
        if (errno == EINTR) continue;
        if (errno != EAGAIN) fail("%s: cannot read from the LAZ decoder: %s", name_.c_str(), std::strerror(errno));
        wait_for_output();
    }
}

void LazRecords::finish() {
    if (pid_ < 0) return;
    const char *n = name_.c_str();
    if (delivered_ != total_bytes_)
        fail("%s: the LAZ decoder was left with %llu of %llu points unread", n,
             static_cast<ull>((total_bytes_ - delivered_) / record_length_), static_cast<ull>(point_count_));
    // The records must end exactly here.
    for (;;) {
        char extra;
        const ssize_t r = ::read(out_, &extra, 1);
        if (r == 0) break;
        if (r > 0) {
            kill_and_reap();
            fail("%s: the LAZ decoder delivered more than the %llu points the file holds", n,
                 static_cast<ull>(point_count_));
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN) fail("%s: cannot read from the LAZ decoder: %s", n, std::strerror(errno));
        wait_for_output();
    }
    if (!wait_for_exit(stall_ms_)) {
        kill_and_reap();
        fail("%s: the LAZ decoder delivered all %llu points but did not end within %g seconds and was stopped", n,
             static_cast<ull>(point_count_), stall_ms_ / 1000.0);
    }
    drain_stderr();
    if (!(WIFEXITED(status_) && WEXITSTATUS(status_) == 0))
        fail("%s: the LAZ decoder %s", n,
             how_it_ended(formatted("after delivering all %llu points", static_cast<ull>(point_count_))).c_str());
    close_pipes();
}

// Waits up to `milliseconds` for the decoder to end, draining its stderr,
// and reaps it; false if it still runs.
bool LazRecords::wait_for_exit(int milliseconds) {
    const int64_t deadline = now_ms() + milliseconds;
    for (;;) {
        if (reaped_) return true;
        siginfo_t info{};
        // Looked at without reaping: it stays registered until forgotten.
        if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_) {
            reap();
            return true;
        }
        const int64_t left = deadline - now_ms();
        if (left <= 0) return false;
        drain_stderr();
        // Sleep until stderr has more or 10 ms pass: a child's end has no descriptor here.
        pollfd fd{err_, POLLIN, 0};
        poll(&fd, err_ >= 0 ? 1 : 0, static_cast<int>(std::min<int64_t>(left, 10)));
    }
}

void LazRecords::reap() {
    if (pid_ <= 0 || reaped_) return;
    forget_child(pid_);
    while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
}

void LazRecords::kill_and_reap() {
    if (pid_ <= 0 || reaped_) return;
    kill(pid_, SIGKILL);
    reap();
}

void LazRecords::close_pipes() {
    close_fd(in_);
    close_fd(out_);
    close_fd(err_);
}

// The decoder's own line: the last "laz-decoder: " line, else the first
// line that says anything (Node.js's own fatal errors have no prefix).
std::string LazRecords::decoder_line() const {
    std::string chosen;
    size_t begin = 0;
    while (begin < stderr_.size()) {
        size_t end = stderr_.find('\n', begin);
        if (end == std::string::npos) end = stderr_.size();
        std::string line = stderr_.substr(begin, end - begin);
        begin = end + 1;
        if (line.rfind(wire::kMessagePrefix, 0) == 0) {
            chosen = line.substr(sizeof wire::kMessagePrefix - 1);
            continue;
        }
        if (chosen.empty()) {
            const size_t text = line.find_first_not_of("# \t\r");
            if (text != std::string::npos && std::any_of(line.begin(), line.end(), ::isalnum))
                chosen = line.substr(text);
        }
    }
    for (char &c : chosen)
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    while (!chosen.empty() && chosen.back() == ' ') chosen.pop_back();
    if (chosen.size() > 400) chosen = chosen.substr(0, 400) + "...";
    return chosen;
}

// "failed after 3 of 10 points: <its line>", "was killed by signal 9
// (Killed) after ...": how the decoder ended, `when` being "after ...".
std::string LazRecords::how_it_ended(const std::string &when) const {
    const std::string line = decoder_line();
    const char *w = when.c_str();
    if (reaped_ && WIFEXITED(status_)) {
        const int code = WEXITSTATUS(status_);
        if (code == 0) return line.empty() ? formatted("ended %s without a word", w) : formatted("ended %s, saying: %s", w, line.c_str());
        if (!line.empty()) return formatted("failed %s: %s", w, line.c_str());
        return formatted("failed with status %d%s %s and said nothing%s", code, exit_meaning(code), w,
                         limits_in_force().c_str());
    }
    if (reaped_ && WIFSIGNALED(status_)) {
        const int signal = WTERMSIG(status_);
        return formatted("was killed by signal %d (%s) %s%s%s%s", signal, strsignal(signal), w,
                         line.empty() ? "" : ": ", line.c_str(), limits_in_force().c_str());
    }
    return formatted("stopped %s%s%s", w, line.empty() ? "" : ": ", line.c_str());
}

void LazRecords::fail_ended_early() {
    // Its output ended: it is ending, or has ended.  Whatever keeps it
    // (or a process it started) running past the stall time is stopped.
    close_fd(in_);
    if (!wait_for_exit(stall_ms_)) kill_and_reap();
    drain_stderr();
    const std::string how = how_it_ended(formatted("after %llu of %llu points", static_cast<ull>(delivered_ / record_length_),
                                                   static_cast<ull>(point_count_)));
    close_pipes();
    fail("%s: the LAZ decoder %s", name_.c_str(), how.c_str());
}

void LazRecords::fail_stalled() {
    kill_and_reap();
    drain_stderr();
    const std::string line = decoder_line();
    close_pipes();
    fail("%s: the LAZ decoder delivered nothing for %g seconds, after %llu of %llu points, and was stopped%s%s%s",
         name_.c_str(), stall_ms_ / 1000.0, static_cast<ull>(delivered_ / record_length_),
         static_cast<ull>(point_count_), line.empty() ? "" : ": ", line.c_str(), limits_in_force().c_str());
}

}  // namespace laz
