#include "launch.h"

#include <windows.h>

#include "file_layer.h"

// The stub's command line: the longest the system takes, with room for the
// path before it. Static memory costs the file nothing.
static wchar_t wide_line[MAX_PATH + 3 + 32768];

// The stub's path is in the system's ANSI code page; the arguments may hold
// any character, so this start goes through the wide call: '"' path '"',
// then ' ' and the arguments. The system takes the program from the quoted
// full path and nowhere else. The two start-up records differ only in the
// type of their strings, all null here.
// A file that takes arguments is run by other programs as a tool: its stub
// gets the caller's standard handles, where there are any, and no console of
// its own is asked for, so a console stub's output reaches the caller's
// redirection; started by a double-click, there are none and the system
// gives a console stub a console as it always did.
static BOOL create_with_arguments(const char *path, const wchar_t *arguments, STARTUPINFOA *startup,
                                  PROCESS_INFORMATION *process) {
    HANDLE *standard = &startup->hStdInput;
    for (DWORD which = 0; which < 3; which++)
        if ((standard[which] = GetStdHandle(STD_INPUT_HANDLE - which)) != 0)
            startup->dwFlags |= STARTF_USESTDHANDLES;
    wchar_t *at = wide_line;
    *at++ = '"';
    // Any bytes convert in the ANSI code page, and the path fits: n > 0.
    at += MultiByteToWideChar(CP_ACP, 0, path, -1, at, MAX_PATH) - 1;
    *at++ = '"';
    if (*arguments)
        *at++ = ' ';
    while (*arguments) // a tail of the loader's own command line: shorter than 32768
        *at++ = *arguments++;
    *at = 0;
    return CreateProcessW(0, wide_line, 0, 0, TRUE, NORMAL_PRIORITY_CLASS, 0, 0, (STARTUPINFOW *)startup, process);
}

int launch_stub_and_wait(const char *path, const wchar_t *arguments, int show_state, DWORD *exit_code) {
    char command_line[512];
    str_copy(command_line, path);

    STARTUPINFOA startup;
    mem_fill(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_FORCEOFFFEEDBACK;
    startup.wShowWindow = (WORD)show_state;
    PROCESS_INFORMATION process;
    mem_fill(&process, 0, sizeof process);

    // The path is also the application name, so an unquoted path with spaces
    // cannot make the system start some other program on the way.
    if (arguments ? !create_with_arguments(path, arguments, &startup, &process)
                  : !CreateProcessA(path, command_line, 0, 0, FALSE, CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS, 0, 0,
                                    &startup, &process))
        return 0;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, exit_code);
    return 1;
}
