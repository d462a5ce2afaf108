#include "signal_cleanup.h"

#include <atomic>
#include <climits>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace {

constexpr int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// Read by the handler, which may run on any thread: the path is complete
// whenever 'armed' is set.
char armed_path[PATH_MAX];
std::atomic<bool> armed{false};
std::atomic<bool> deferring{false};
std::atomic<int> pending{0};

void on_signal(int signal_number) {
    if (deferring.load()) {
        pending.store(signal_number);
        return;
    }
    if (armed.load())
        unlink(armed_path);
    std::signal(signal_number, SIG_DFL);
    raise(signal_number); // delivered with the default action once the handler returns
}

void install_handlers() {
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (int signal_number : CLEANUP_SIGNALS)
        sigaddset(&action.sa_mask, signal_number);
    for (int signal_number : CLEANUP_SIGNALS) {
        struct sigaction previous {};
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
            sigaction(signal_number, &action, nullptr);
    }
}

} // namespace

void remove_on_signal(const std::string &path) {
    install_handlers();
    armed.store(false);
    if (path.size() >= sizeof armed_path)
        return; // mkstemp could not have made it either
    std::memcpy(armed_path, path.c_str(), path.size() + 1);
    armed.store(true);
}

void disarm_signal_cleanup() { armed.store(false); }

SignalsHeld::SignalsHeld() {
    install_handlers();
    sigset_t held;
    sigemptyset(&held);
    for (int signal_number : CLEANUP_SIGNALS)
        sigaddset(&held, signal_number);
    pthread_sigmask(SIG_BLOCK, &held, &previous_);
}

SignalsHeld::~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

void defer_signals() {
    install_handlers();
    deferring.store(true);
}

int pending_signal() { return pending.load(); }

void end_by_signal(int signal_number) {
    deferring.store(false);
    std::signal(signal_number, SIG_DFL);
    raise(signal_number);
    _exit(128 + signal_number);
}
