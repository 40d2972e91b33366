#include "pelmora_run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <filesystem>

const char *const kBanner =
    "\nOstrine LiDAR Utilities"
    "\n\nDeveloped by the Pelmora project developers"
    "\nPelmora -- LAS to ESRI shapefile conversion"
    "\nPelmora Project, 7 Survey Lane, Ostrine"
    "\n\n** No warranty regarding script behavior is given or implied **"
    "\n** Acknowledging the author's efforts ensures script updates and availability **\n";

void generate_las(const std::string &path, const std::vector<std::string> &args) {
    std::vector<std::string> argv{LASGEN_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(path);
    const Captured c = run_program(argv);
    ASSERT_EQ(c.exit_status, 0) << "lasgen failed: " << c.err;
}

Captured run_pelmora(const std::string &argument, const std::string &workdir, unsigned long long file_size_limit) {
    return run_program({PELMORA_BIN, argument}, workdir, file_size_limit);
}

std::string expected_console(const std::string &input, const std::string &shp,
                             const std::vector<std::string> &progress_numbers, const std::string &summary) {
    std::string text = kBanner;
    text += "Input LAS file:    " + input + "\n";
    text += "Output Shapefile:  " + shp + "\n";
    text += "\nProcessing ...";
    for (const std::string &p : progress_numbers) text += "\rProcessing ... " + p + "% done";
    text += "\r" + std::string(78, ' ') + "\r";
    text += summary;
    text += "Elapsed time # seconds\n";
    return text;
}

std::string run_start(const std::string &las) {
    return std::string(kBanner) + "Input LAS file:    " + las + "\nOutput Shapefile:  " +
           las.substr(0, las.size() - 3) + "shp\n\nProcessing ...";
}

std::vector<std::string> listing(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string mask_elapsed(const std::string &console) {
    // "Elapsed time <digits>.<two digits> seconds\n" at the very end.
    const std::string head = "Elapsed time ", tail = " seconds\n";
    const size_t at = console.rfind(head);
    if (at == std::string::npos || !console.ends_with(tail)) return console;
    const std::string seconds = console.substr(at + head.size(), console.size() - at - head.size() - tail.size());
    const size_t point = seconds.find('.');
    const bool digits = point != std::string::npos && point > 0 && seconds.size() == point + 3 &&
                        seconds.find_first_not_of("0123456789.") == std::string::npos &&
                        seconds.find('.', point + 1) == std::string::npos;
    return digits ? console.substr(0, at) + head + "#" + tail : console;
}

TempDir::TempDir(const std::string &tag) : path(make_temp_dir(tag)) {}
TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

PausedRun::PausedRun(const std::string &las, const std::string &start) {
    int fds[2];
    if (pipe(fds) != 0) return;
    read_fd_ = fds[0];
    if (fcntl(fds[1], F_SETPIPE_SZ, 4096) != 4096 || start.size() + 64 >= 4096) {
        close(fds[1]);
        return;
    }
    // Room for the start and one byte more: the progress line, written at
    // once as every short pipe write is, blocks.
    filler_ = 4096 - start.size() - 1;
    if (write(fds[1], std::string(filler_, '#').data(), filler_) != static_cast<ssize_t>(filler_)) {
        close(fds[1]);
        return;
    }
    pid_ = fork();
    if (pid_ == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        execl(PELMORA_BIN, PELMORA_BIN, las.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    // The run has written its start.
    const int wanted = static_cast<int>(filler_ + start.size());
    int queued = 0;
    for (int waited = 0; waited < 60000 && queued < wanted; waited += 5) {
        if (ioctl(read_fd_, FIONREAD, &queued) != 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    paused_ = queued == wanted;
}

PausedRun::~PausedRun() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (read_fd_ >= 0) close(read_fd_);
}

std::string PausedRun::finish(int *wait_status) {
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = read(read_fd_, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
    waitpid(pid_, wait_status, 0);
    pid_ = -1;
    return out.substr(std::min(filler_, out.size()));
}

SmallTmpfs::SmallTmpfs(std::string path, unsigned long long kib, const std::string &extra) : path_(std::move(path)) {
    const std::string options = "size=" + std::to_string(kib) + "k" + (extra.empty() ? "" : "," + extra);
    mounted_ = mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) == 0;
    if (!mounted_) error_ = std::strerror(errno);
}

SmallTmpfs::~SmallTmpfs() {
    if (mounted_ && umount(path_.c_str()) != 0) umount2(path_.c_str(), MNT_DETACH);
}
