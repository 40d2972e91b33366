// Running code or commands in a child process and capturing what it prints
// on standard output together with its exit status.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct Captured {
    int exit_status = -1;   // 0..255 when the child exited; -1 if it was killed
    int signal = 0;         // the signal that ended the child, or 0
    std::string out;        // everything the child wrote on standard output
    std::string err;        // everything it wrote on standard error
};

// Runs `body` in a forked child; the child exits 0 if `body` returns.
Captured run_in_child(const std::function<void()> &body);

// Runs a program with arguments (argv[0] is the path) in `workdir` (empty:
// the current one), with optional limits in bytes (0: none) on the size of
// files it writes and on its address space.
Captured run_program(const std::vector<std::string> &argv, const std::string &workdir = "",
                     unsigned long long file_size_limit = 0, unsigned long long address_space_limit = 0);

// Small file helpers for tests.
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);
bool file_exists(const std::string &path);
// A fresh, empty directory under the build's temporary area.
std::string make_temp_dir(const std::string &tag);
