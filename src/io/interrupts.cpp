#include "io/interrupts.h"

#include <unistd.h>

#include <atomic>
#include <csignal>

#include "base/failure.h"
#include "io/child_processes.h"

namespace {

std::atomic<const char *> g_temporaries[kMaxTemporaries];

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void remove_temporaries_and_stop(int signal_number) {
    // A LAZ decoder never outlives the run, not even as a zombie.
    kill_children();
    for (auto &slot : g_temporaries)
        if (const char *path = slot.load()) ::unlink(path);
    reap_children();
    // End as the signal itself would, so that the caller (a shell, a batch
    // script) sees the interrupt.
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

struct sigaction g_saved_actions[3];
struct sigaction g_saved_pipe, g_saved_xfsz;

}  // namespace

void remember_temporary(const char *path) {
    for (auto &slot : g_temporaries) {
        const char *expected = nullptr;
        if (slot.compare_exchange_strong(expected, path)) return;
    }
    fail("More than %zu output files at once", kMaxTemporaries);
}

void forget_temporary(const char *path) {
    for (auto &slot : g_temporaries) {
        const char *expected = path;
        if (slot.compare_exchange_strong(expected, nullptr)) return;
    }
}

SignalGuard::SignalGuard() {
    struct sigaction action {};
    action.sa_handler = remove_temporaries_and_stop;
    sigemptyset(&action.sa_mask);
    for (int s : kInterrupts) sigaddset(&action.sa_mask, s);
    for (int i = 0; i < 3; ++i) sigaction(kInterrupts[i], &action, &g_saved_actions[i]);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &g_saved_pipe);
    sigaction(SIGXFSZ, &ignore, &g_saved_xfsz);
}

SignalGuard::~SignalGuard() {
    for (int i = 0; i < 3; ++i) sigaction(kInterrupts[i], &g_saved_actions[i], nullptr);
    sigaction(SIGPIPE, &g_saved_pipe, nullptr);
    sigaction(SIGXFSZ, &g_saved_xfsz, nullptr);
}

SignalsBlocked::SignalsBlocked() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kInterrupts) sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, &saved_);
}

SignalsBlocked::~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
