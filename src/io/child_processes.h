// Child processes of a run (the LAZ decoder) that must not outlive it.
//
// Their process ids are kept in a fixed array of atomics, the only kind of
// state an asynchronous signal handler may touch, so that an interrupt
// (SIGINT, SIGTERM, SIGHUP) can kill them before the process ends.
#pragma once

#include <sys/types.h>

void remember_child(pid_t pid);
void forget_child(pid_t pid);
// Sends SIGKILL to every child remembered.  Async-signal-safe.
void kill_children();
