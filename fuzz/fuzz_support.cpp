#include "fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string_view>

namespace {

std::string g_workdir;
bool g_verbose = false;

void remove_workdir() {
    std::error_code ignored;
    std::filesystem::remove_all(g_workdir, ignored);
}

}  // namespace

const std::string &fuzz_workdir() {
    if (g_workdir.empty()) {
        char pattern[] = "/tmp/pelmora-fuzz-XXXXXX";
        if (mkdtemp(pattern) == nullptr) fuzz_finding("cannot create a working directory");
        g_workdir = pattern;
        std::atexit(remove_workdir);
        g_verbose = std::getenv("PELMORA_FUZZ_VERBOSE") != nullptr;
        std::fflush(stdout);
        const int console = open((g_workdir + "/console.txt").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (console < 0 || dup2(console, STDOUT_FILENO) < 0) fuzz_finding("cannot redirect standard output");
        close(console);
    }
    return g_workdir;
}

void clear_console() {
    std::fflush(stdout);
    if (ftruncate(STDOUT_FILENO, 0) != 0 || lseek(STDOUT_FILENO, 0, SEEK_SET) != 0)
        fuzz_finding("cannot reset the console file");
}

std::string take_console() {
    std::fflush(stdout);
    std::string text;
    char buffer[4096];
    off_t at = 0;
    ssize_t n;
    while ((n = pread(STDOUT_FILENO, buffer, sizeof buffer, at)) > 0) {
        text.append(buffer, static_cast<size_t>(n));
        at += n;
    }
    if (g_verbose) std::fwrite(text.data(), 1, text.size(), stderr);
    clear_console();
    return text;
}

void write_input(const std::string &path, const uint8_t *data, size_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) fuzz_finding("cannot create the input file", path);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) fuzz_finding("cannot write the input file", path);
        done += static_cast<size_t>(n);
    }
    if (close(fd) != 0) fuzz_finding("cannot close the input file", path);
}

int stray_files(const std::string &dir) {
    int count = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != ".." && name != "in.las" && name != "console.txt") ++count;
        }
        closedir(d);
    }
    return count;
}

int open_descriptor_count() {
    int count = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        const int own = dirfd(d);
        while (const dirent *e = readdir(d)) {
            if (e->d_name[0] == '.' || std::atoi(e->d_name) == own) continue;
            // PROJ keeps its database open for the whole process once used: a
            // cache, not a leak.
            char target[4096];
            const std::string link = std::string("/proc/self/fd/") + e->d_name;
            const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n > 0) {
                target[n] = '\0';
                const std::string_view t(target, static_cast<size_t>(n));
                if (t.size() >= 8 && t.substr(t.size() - 8) == "/proj.db") continue;
            }
            ++count;
        }
        closedir(d);
    }
    return count;
}

void fuzz_finding(const char *what, const std::string &detail) {
    std::fprintf(stderr, "\n==pelmora-fuzz== %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    std::abort();
}
