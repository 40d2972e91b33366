// Child processes of a run (the LAZ decoder) that must not outlive it.
//
// Their process ids are kept in a fixed array of atomics, the only kind of
// state an asynchronous signal handler may touch, so that an interrupt
// (SIGINT, SIGTERM, SIGHUP) can kill them before the process ends.
// Remembering and forgetting never allocate or lock.  A child is forgotten
// before it is reaped, so that no signal can reach a process that took a
// reaped child's id.
#pragma once

#include <sys/types.h>

// Records `pid`; false when the array is full (a child that cannot be
// accounted for should not be left running).
bool remember_child(pid_t pid);
void forget_child(pid_t pid);
// Sends SIGKILL to every child remembered.  Async-signal-safe.
void kill_children();
// Waits for every child remembered to end and forgets it: for a process
// about to end, so that no zombie outlives it for whoever waits on its
// children (GNU parallel does).  Async-signal-safe.
void reap_children();
