// What both fuzz targets share: a private working directory, console output
// out of the way, the input bytes written as a .las file, and a check that
// no file descriptor outlives an input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Creates the working directory (once) and sends standard output to a
// file in it (to the terminal as well when PELMORA_FUZZ_VERBOSE is set).
// Returns the directory.
const std::string &fuzz_workdir();

// Forgets what was printed so far / returns what was printed since.
void clear_console();
std::string take_console();

// Writes `size` bytes to `path`, replacing it; aborts if that fails.
void write_input(const std::string &path, const uint8_t *data, size_t size);

// Files in `dir` other than the input (in.las) and the console.
int stray_files(const std::string &dir);

// Number of open file descriptors of the process (PROJ's database excepted).
int open_descriptor_count();

// Aborts with a message on standard error: libFuzzer then reports the input.
[[noreturn]] void fuzz_finding(const char *what, const std::string &detail = "");
