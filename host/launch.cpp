#include "launch.h"

#include <windows.h>

#include "file_layer.h"

int launch_and_wait(const char *path, int show_state) {
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
    if (!CreateProcessA(path, command_line, 0, 0, FALSE, CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS, 0, 0,
                        &startup, &process))
        return 0;
    WaitForSingleObject(process.hProcess, INFINITE);
    return 1;
}
