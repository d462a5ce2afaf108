#pragma once
#include <windows.h>

// The whole loader: unpack the payload at offset 32768 of this executable to
// a temporary program, append the origin trailer, run it, wait, delete it.
// 1 when the program was run, 0 after an error message.
int loader_main(HINSTANCE instance, HINSTANCE previous, char *command_line, int show_state);

// The process entry point: restricts DLL loading, then runs loader_main and
// exits with its result.
extern "C" void loader_entry();
