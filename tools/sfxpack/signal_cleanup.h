#pragma once
#include <string>

// While armed, SIGINT, SIGTERM and SIGHUP remove the named file, then end the
// process as the signal would have. A signal that was ignored when the first
// file was armed (nohup) stays ignored. One file at a time.
void remove_on_signal(const std::string &path);
void disarm_signal_cleanup();
