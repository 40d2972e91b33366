#include "io/child_processes.h"

#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>

namespace {

constexpr int kMaxChildren = 16;
std::atomic<pid_t> g_children[kMaxChildren];
static_assert(std::atomic<pid_t>::is_always_lock_free, "a signal handler reads the array");

}  // namespace

bool remember_child(pid_t pid) {
    if (pid <= 0) return false;
    for (auto &slot : g_children) {
        pid_t expected = 0;
        if (slot.compare_exchange_strong(expected, pid)) return true;
    }
    return false;
}

void forget_child(pid_t pid) {
    if (pid <= 0) return;
    for (auto &slot : g_children) {
        pid_t expected = pid;
        if (slot.compare_exchange_strong(expected, 0)) return;
    }
}

void kill_children() {
    for (auto &slot : g_children)
        if (const pid_t pid = slot.load(); pid > 0) kill(pid, SIGKILL);
}

void reap_children() {
    for (auto &slot : g_children)
        if (const pid_t pid = slot.exchange(0); pid > 0)
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
}
