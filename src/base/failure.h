// Why a run cannot go on.
//
// Every failure below the front ends is thrown as a Failure, on any thread
// (the piece pipeline carries a worker's to the main thread), and unwinds
// through the same path, releasing what the run holds.  The message is the
// bare text: no leading or trailing newline, no program name.  Each front
// end frames it its own way (Pelmora between blank lines on standard
// output, pelmora-convert after its name on standard error).
//
// Deliberately not a std::exception: code that catches library exceptions
// never swallows it.
#pragma once

#include <string>

struct Failure {
    std::string message;
    // Pelmora has always printed a few messages (those of its writers'
    // create calls and of its chunk buffer) straight after the line before,
    // without the blank line its other messages start with.
    bool same_line = false;
};

// Throws a Failure with the printf-formatted message.
[[noreturn]] void fail(const char *format, ...) __attribute__((format(printf, 1, 2)));
// The same, printed by Pelmora on the current line.
[[noreturn]] void fail_same_line(const char *format, ...) __attribute__((format(printf, 1, 2)));
