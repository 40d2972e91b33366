// Interrupts during a run: what SIGINT, SIGTERM and SIGHUP must undo before
// the process ends, kept where an asynchronous signal handler may reach it.
//
// The temporaries of the outputs are registered here by name (a fixed array
// of atomic pointers, the only kind of state a handler may touch); the
// handler removes them, kills and reaps the run's child processes, and then
// ends the process as the signal would.
#pragma once

#include <signal.h>

#include <cstddef>

// How many temporaries may exist at once (every output of every part of a
// conversion); registering one more fails.
constexpr size_t kMaxTemporaries = 4096;

// Records the temporary `path` (which must stay valid until forgotten) for
// the interrupt handler; fails when kMaxTemporaries already exist.
void remember_temporary(const char *path);
void forget_temporary(const char *path);

// Makes SIGINT, SIGTERM and SIGHUP remove the run's temporaries and then end
// the process as the signal would (status 128 + signal in a shell); makes
// SIGPIPE (a console reader that went away) and SIGXFSZ (a file-size limit,
// reported as a failed write instead) harmless.  The previous dispositions
// come back when the guard ends.
class SignalGuard {
public:
    SignalGuard();
    ~SignalGuard();
    SignalGuard(const SignalGuard &) = delete;
    SignalGuard &operator=(const SignalGuard &) = delete;
};

// Blocks the interrupting signals in the calling thread for its lifetime:
// worker threads start under it, so that only the main thread ever runs the
// handler.
class SignalsBlocked {
public:
    SignalsBlocked();
    ~SignalsBlocked();
    SignalsBlocked(const SignalsBlocked &) = delete;
    SignalsBlocked &operator=(const SignalsBlocked &) = delete;

private:
    sigset_t saved_;
};
