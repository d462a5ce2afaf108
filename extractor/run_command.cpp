#include "run_command.h"

#include <shellapi.h>

#include "host/command_line.h"

enum {
    CHECK_EVERY_MS = 100,
    ELEVATION_REQUIRED = 740, // ERROR_ELEVATION_REQUIRED, which MinGW's headers lack
};

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

typedef BOOL(WINAPI *ShellExecuteExWFn)(SHELLEXECUTEINFOW *);

// A program whose manifest asks for administrator rights cannot be created
// by CreateProcessW (740): the shell starts it, and the system asks the user
// to allow it. Found at run time, so no extraction loads the shell for
// nothing. The process, or 0.
static HANDLE start_elevated(const wchar_t *application, const wchar_t *command_line, const wchar_t *directory,
                             int silent) {
    HMODULE shell = LoadLibraryW(L"shell32.dll");
    ShellExecuteExWFn execute = shell ? (ShellExecuteExWFn)(void *)GetProcAddress(shell, "ShellExecuteExW") : 0;
    if (!execute)
        return 0;
    SHELLEXECUTEINFOW info;
    for (unsigned i = 0; i < sizeof info; i++)
        ((char *)&info)[i] = 0;
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | (silent ? SEE_MASK_FLAG_NO_UI : 0);
    info.lpVerb = L"runas";
    info.lpFile = application;
    info.lpParameters = command_line_arguments(command_line);
    info.lpDirectory = directory;
    info.nShow = SW_SHOWNORMAL;
    return execute(&info) ? info.hProcess : 0;
}

static void wait_for_process(HANDLE process, DWORD *exit_code) {
    WaitForSingleObject(process, INFINITE);
    *exit_code = 1;
    GetExitCodeProcess(process, exit_code);
    CloseHandle(process);
}

int run_command(const wchar_t *application, wchar_t *command_line, const wchar_t *directory, int silent,
                int wait_for_all, DWORD *exit_code) {
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
    if (!CreateProcessW(application, command_line, 0, 0, TRUE, CREATE_SUSPENDED, 0, directory, &startup, &process)) {
        // An elevated process cannot join this job: only it is waited for.
        HANDLE elevated = GetLastError() == ELEVATION_REQUIRED
                              ? start_elevated(application, command_line, directory, silent)
                              : 0;
        if (!elevated)
            return 0;
        wait_for_process(elevated, exit_code);
        return 1;
    }
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
    wait_for_process(process.hProcess, exit_code);
    // Installers often hand over to a process of their own and end: the
    // folder stays until that one, and whatever it started, has ended too.
    if (in_job && wait_for_all)
        wait_for_job(job, port);
    if (port)
        CloseHandle(port);
    if (job)
        CloseHandle(job);
    return 1;
}
