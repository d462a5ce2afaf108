#pragma once
#include <windows.h>

// Starts the program at 'path' and waits for it to end: 1, with its exit code
// in 'exit_code', or 0 when it could not be started. Without 'arguments' the
// command line is the path alone; with them, the path in quotes, then, unless
// they are empty, a space and the arguments as they stand.
int launch_stub_and_wait(const char *path, const wchar_t *arguments, int show_state, DWORD *exit_code);
