#include "run_command.h"

enum { CHECK_EVERY_MS = 100 };

// Whether no process of the job runs any more.
static int job_empty(HANDLE job) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting;
    return !QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting, 0) ||
           accounting.ActiveProcesses == 0;
}

// Waits until the job's last process has ended. The job's port says so the
// moment it happens; the count is still looked at now and then, for a
// system that posts no such message.
static void wait_for_job(HANDLE job, HANDLE port) {
    while (!job_empty(job)) {
        DWORD message;
        ULONG_PTR key;
        LPOVERLAPPED overlapped;
        if (port && GetQueuedCompletionStatus(port, &message, &key, &overlapped, CHECK_EVERY_MS)) {
            if (message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO)
                return;
        } else if (!port) {
            Sleep(CHECK_EVERY_MS);
        }
    }
}

int run_command(const wchar_t *application, wchar_t *command_line, const wchar_t *directory, DWORD *exit_code) {
    STARTUPINFOW startup;
    for (unsigned i = 0; i < sizeof startup; i++)
        ((char *)&startup)[i] = 0;
    startup.cb = sizeof startup;
    // The command gets the caller's standard handles, where there are any,
    // so a console installer's output reaches the caller's redirection.
    HANDLE *standard = &startup.hStdInput;
    for (DWORD which = 0; which < 3; which++)
        if ((standard[which] = GetStdHandle(STD_INPUT_HANDLE - which)) != 0)
            startup.dwFlags |= STARTF_USESTDHANDLES;
    PROCESS_INFORMATION process;
    // Under Wine the first program that asks for the desktop starts the
    // process that keeps it, which stays for good: in the command's job, it
    // would hold the wait below forever. The extractor asks first.
    GetDesktopWindow();
    // Suspended until it is in the job, so nothing it starts escapes the wait.
    if (!CreateProcessW(application, command_line, 0, 0, TRUE, CREATE_SUSPENDED, 0, directory, &startup, &process))
        return 0;
    HANDLE job = CreateJobObjectW(0, 0);
    HANDLE port = job ? CreateIoCompletionPort(INVALID_HANDLE_VALUE, 0, 0, 1) : 0;
    if (port) {
        JOBOBJECT_ASSOCIATE_COMPLETION_PORT association = {job, port};
        if (!SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &association,
                                     sizeof association)) {
            CloseHandle(port);
            port = 0;
        }
    }
    int in_job = job && AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    *exit_code = 1;
    GetExitCodeProcess(process.hProcess, exit_code);
    CloseHandle(process.hProcess);
    // Installers often hand over to a process of their own and end: the
    // folder stays until that one, and whatever it started, has ended too.
    if (in_job)
        wait_for_job(job, port);
    if (port)
        CloseHandle(port);
    if (job)
        CloseHandle(job);
    return 1;
}
