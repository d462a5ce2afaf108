#pragma once
#include <string>

// While armed, SIGINT, SIGTERM and SIGHUP remove the named file, then end the
// process as the signal would have. A signal that was ignored when the first
// file was armed (nohup) stays ignored. One file at a time.
void remove_on_signal(const std::string &path);
void disarm_signal_cleanup();

// For work that cleans up after itself (a folder being extracted): from now
// on the signals only set what pending_signal() returns, 0 until one comes;
// the work stops, cleans up, then calls end_by_signal().
void defer_signals();
int pending_signal();
[[noreturn]] void end_by_signal(int signal_number);
