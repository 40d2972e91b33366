#include "io/child_processes.h"

#include <signal.h>

#include <atomic>

namespace {

constexpr int kMaxChildren = 8;
std::atomic<pid_t> g_children[kMaxChildren];

}  // namespace

void remember_child(pid_t pid) {
    for (auto &slot : g_children) {
        pid_t expected = 0;
        if (slot.compare_exchange_strong(expected, pid)) return;
    }
}

void forget_child(pid_t pid) {
    for (auto &slot : g_children) {
        pid_t expected = pid;
        if (slot.compare_exchange_strong(expected, 0)) return;
    }
}

void kill_children() {
    for (auto &slot : g_children)
        if (const pid_t pid = slot.load(); pid > 0) kill(pid, SIGKILL);
}
