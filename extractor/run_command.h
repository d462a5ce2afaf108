#pragma once
#include <windows.h>

// Starts 'application' with 'command_line' (which the system may change) in
// 'directory' and waits until it and every process it started have ended:
// 1 with its exit code, or 0 when it could not be started. With
// 'wait_for_all' 0, only the command itself is waited for. A program that
// must run elevated is started through the shell, which asks for it (without
// the shell's error boxes when 'silent'); then only it is waited for.
int run_command(const wchar_t *application, wchar_t *command_line, const wchar_t *directory, int silent,
                int wait_for_all, DWORD *exit_code);
