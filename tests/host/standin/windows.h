// Just enough of the Win32 API for host/ to compile on Linux, against the
// recording stand-in of win32_standin.cpp.
#pragma once
#include <stddef.h>
#include <stdint.h>

#define WINAPI
typedef void *HANDLE;
typedef HANDLE HINSTANCE, HWND, HMODULE, HGLOBAL;
typedef uint32_t DWORD;
typedef int BOOL;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef unsigned UINT;
typedef int32_t LONG;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef const char *LPCSTR;
typedef char *LPSTR;
typedef wchar_t WCHAR; // 32 bits here, which host/ never relies on
typedef const WCHAR *LPCWSTR;
typedef WCHAR *LPWSTR;
typedef intptr_t (*FARPROC)();

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    LONG x, y;
};

struct STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved, lpDesktop, lpTitle;
    DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
    WORD wShowWindow, cbReserved2;
    BYTE *lpReserved2;
    HANDLE hStdInput, hStdOutput, hStdError;
};

struct STARTUPINFOW {
    DWORD cb;
    LPWSTR lpReserved, lpDesktop, lpTitle;
    DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
    WORD wShowWindow, cbReserved2;
    BYTE *lpReserved2;
    HANDLE hStdInput, hStdOutput, hStdError;
};

#define MAX_PATH 260

struct FILETIME {
    DWORD dwLowDateTime, dwHighDateTime;
};

struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime, ftLastAccessTime, ftLastWriteTime;
    DWORD nFileSizeHigh, nFileSizeLow, dwReserved0, dwReserved1;
    char cFileName[MAX_PATH];
    char cAlternateFileName[14];
};

struct PROCESS_INFORMATION {
    HANDLE hProcess, hThread;
    DWORD dwProcessId, dwThreadId;
};

#define FALSE 0
#define TRUE 1
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 1u
#define FILE_SHARE_WRITE 2u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u
#define GMEM_FIXED 0u
#define SW_SHOW 5
#define SW_SHOWDEFAULT 10
#define STARTF_USESHOWWINDOW 0x01u
#define STARTF_FORCEOFFFEEDBACK 0x80u
#define STARTF_USESTDHANDLES 0x100u
#define STD_INPUT_HANDLE ((DWORD)-10)
#define CREATE_NEW_CONSOLE 0x10u
#define NORMAL_PRIORITY_CLASS 0x20u
#define INFINITE 0xFFFFFFFFu
#define WS_OVERLAPPEDWINDOW 0x00CF0000u
#define WM_NULL 0u
#define MB_ICONERROR 0x10u
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x800u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define CP_ACP 0u
#define WC_NO_BEST_FIT_CHARS 0x400u

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, void *security, DWORD disposition, DWORD attributes,
                   HANDLE template_file);
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, void *security, DWORD disposition, DWORD attributes,
                   HANDLE template_file);
BOOL ReadFile(HANDLE file, void *buffer, DWORD size, DWORD *done, void *overlapped);
BOOL WriteFile(HANDLE file, const void *buffer, DWORD size, DWORD *done, void *overlapped);
DWORD SetFilePointer(HANDLE file, LONG distance, LONG *high, DWORD method);
BOOL CloseHandle(HANDLE handle);
BOOL DeleteFileA(LPCSTR path);
DWORD GetLastError();
void SetLastError(DWORD error);
HGLOBAL GlobalAlloc(UINT flags, size_t size);
HGLOBAL GlobalFree(HGLOBAL memory);
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
DWORD GetShortPathNameW(LPCWSTR path, LPWSTR buffer, DWORD size);
DWORD GetTempPathW(DWORD size, LPWSTR buffer);
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR text, int length, LPSTR buffer, int size,
                        LPCSTR default_char, BOOL *used_default);
UINT GetWindowsDirectoryA(LPSTR buffer, UINT size);
UINT GetTempFileNameA(LPCSTR directory, LPCSTR prefix, UINT unique, LPSTR buffer);
LPSTR lstrcpyA(LPSTR dst, LPCSTR src);
LPSTR lstrcatA(LPSTR dst, LPCSTR src);
int lstrlenA(LPCSTR s);
BOOL CreateProcessA(LPCSTR application, LPSTR command_line, void *process_security, void *thread_security,
                    BOOL inherit, DWORD flags, void *environment, LPCSTR directory, STARTUPINFOA *startup,
                    PROCESS_INFORMATION *process);
BOOL CreateProcessW(const wchar_t *application, LPWSTR command_line, void *process_security, void *thread_security,
                    BOOL inherit, DWORD flags, void *environment, const wchar_t *directory, STARTUPINFOW *startup,
                    PROCESS_INFORMATION *process);
BOOL GetExitCodeProcess(HANDLE process, DWORD *code);
HANDLE GetStdHandle(DWORD which);
void GetSystemTimeAsFileTime(FILETIME *now);
HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA *found);
BOOL FindNextFileA(HANDLE search, WIN32_FIND_DATAA *found);
BOOL FindClose(HANDLE search);
LPWSTR GetCommandLineW();
int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR text, int length, LPWSTR out, int size);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
void ExitProcess(UINT code);
HMODULE GetModuleHandleA(LPCSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
LPSTR GetCommandLineA();
void GetStartupInfoA(STARTUPINFOA *startup);
HWND CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR title, DWORD style, int x, int y, int width,
                     int height, HWND parent, void *menu, HINSTANCE instance, void *param);
BOOL PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
BOOL GetMessageA(MSG *message, HWND window, UINT first, UINT last);
BOOL DestroyWindow(HWND window);
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
