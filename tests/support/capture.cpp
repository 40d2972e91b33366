#include "capture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

std::string drain(int fd) {
    std::string text;
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    return text;
}

// Forks; in the child redirects stdout/stderr to files and runs `child`;
// the parent waits and collects.  Files rather than pipes, so a child that
// prints a lot never blocks on a full pipe.
Captured fork_and_capture(const std::function<void()> &child) {
    char out_path[] = "/tmp/pelmora-out-XXXXXX";
    char err_path[] = "/tmp/pelmora-err-XXXXXX";
    int out_fd = mkstemp(out_path);
    int err_fd = mkstemp(err_path);
    if (out_fd < 0 || err_fd < 0) throw std::runtime_error("mkstemp failed");
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(out_fd, STDOUT_FILENO);
        dup2(err_fd, STDERR_FILENO);
        child();
        std::fflush(nullptr);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    Captured result;
    if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    lseek(out_fd, 0, SEEK_SET);
    lseek(err_fd, 0, SEEK_SET);
    result.out = drain(out_fd);
    result.err = drain(err_fd);
    close(out_fd);
    close(err_fd);
    unlink(out_path);
    unlink(err_path);
    return result;
}

}  // namespace

Captured run_in_child(const std::function<void()> &body) {
    return fork_and_capture([&] {
        body();
        std::fflush(nullptr);
        _exit(0);
    });
}

Captured run_program(const std::vector<std::string> &argv, const std::string &workdir,
                     unsigned long long file_size_limit, unsigned long long address_space_limit) {
    return fork_and_capture([&] {
        if (!workdir.empty() && chdir(workdir.c_str()) != 0) _exit(127);
        if (file_size_limit != 0) {
            struct rlimit limit = {file_size_limit, file_size_limit};
            setrlimit(RLIMIT_FSIZE, &limit);
            signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
        }
        if (address_space_limit != 0) {
            struct rlimit limit = {address_space_limit, address_space_limit};
            setrlimit(RLIMIT_AS, &limit);
        }
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    });
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

bool file_exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

namespace {

// Temporary directories made by this test process, removed when it ends.
// Children forked by the tests may call exit() too: only the process that
// made a directory removes it.
struct TempDirRegistry {
    pid_t owner = getpid();
    std::vector<std::string> paths;
    ~TempDirRegistry() {
        if (getpid() != owner) return;
        std::error_code ignored;
        for (const auto &path : paths) std::filesystem::remove_all(path, ignored);
    }
};
TempDirRegistry g_temp_dirs;

}  // namespace

std::string make_temp_dir(const std::string &tag) {
    std::string pattern = "/tmp/pelmora-test-" + tag + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    g_temp_dirs.paths.emplace_back(buffer.data());
    return g_temp_dirs.paths.back();
}
