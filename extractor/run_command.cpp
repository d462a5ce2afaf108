#include "run_command.h"

enum { POLL_MS = 100 };

int run_command(const wchar_t *application, wchar_t *command_line, const wchar_t *directory, DWORD *exit_code) {
    STARTUPINFOW startup;
    for (unsigned i = 0; i < sizeof startup; i++)
        ((char *)&startup)[i] = 0;
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    // Suspended until it is in the job, so nothing it starts escapes the wait.
    if (!CreateProcessW(application, command_line, 0, 0, FALSE, CREATE_SUSPENDED, 0, directory, &startup, &process))
        return 0;
    HANDLE job = CreateJobObjectW(0, 0);
    int in_job = job && AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    *exit_code = 1;
    GetExitCodeProcess(process.hProcess, exit_code);
    CloseHandle(process.hProcess);
    // Installers often hand over to a process of their own and end: the
    // folder stays until that one, and whatever it started, has ended too.
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting;
    while (in_job &&
           QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting, 0) &&
           accounting.ActiveProcesses > 0)
        Sleep(POLL_MS);
    if (job)
        CloseHandle(job);
    return 1;
}
