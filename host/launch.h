#pragma once
#include <windows.h>

// Starts the program at 'path' (its path alone as the command line) and waits
// for it to end: 1, or 0 when it could not be started.
int launch_and_wait(const char *path, int show_state);

// As launch_and_wait; with 'arguments' the command line is the path in quotes,
// then, unless they are empty, a space and the arguments as they stand. The
// program's exit code is stored in 'exit_code'.
int launch_stub_and_wait(const char *path, const wchar_t *arguments, int show_state, DWORD *exit_code);
