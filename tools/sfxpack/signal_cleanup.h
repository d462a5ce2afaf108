#pragma once
#include <csignal>
#include <string>

// While armed, SIGINT, SIGTERM and SIGHUP remove the named file, then end the
// process as the signal would have. A signal that was ignored when the first
// file was armed (nohup) stays ignored. One file at a time.
void remove_on_signal(const std::string &path);
void disarm_signal_cleanup();

// Holds SIGINT, SIGTERM and SIGHUP back (with the handlers in place) while a
// file is created and its path armed, so none can end the process between
// the two; one that came meanwhile is delivered when this ends. The tool has
// one thread while it creates its output.
class SignalsHeld {
public:
    SignalsHeld();
    ~SignalsHeld();
    SignalsHeld(const SignalsHeld &) = delete;
    SignalsHeld &operator=(const SignalsHeld &) = delete;

private:
    sigset_t previous_;
};

// For work that cleans up after itself (a folder being extracted): from now
// on the signals only set what pending_signal() returns, 0 until one comes;
// the work stops, cleans up, then calls end_by_signal().
void defer_signals();
int pending_signal();
[[noreturn]] void end_by_signal(int signal_number);
