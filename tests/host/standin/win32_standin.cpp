#include "win32_standin.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <sstream>

namespace standin {
namespace {

State current;
DWORD last_error;

struct OpenFile {
    std::string path;
    size_t position = 0;
};
std::map<HANDLE, OpenFile> open_files;
intptr_t next_handle = 0x100;

// Strings quoted, numbers and the stand-in's own small handles as numbers,
// real addresses as "ptr".
std::string show(const char *s) { return s ? '"' + std::string(s) + '"' : "null"; }
std::string show(const wchar_t *s) { // ASCII is all the tests use
    return s ? show(std::string(s, s + std::wcslen(s)).c_str()) : "null";
}
std::string show(const void *p) {
    return !p ? "null" : (uintptr_t)p < 0x1000000 ? std::to_string((uintptr_t)p) : "ptr";
}
template <typename T> std::string show(T v) requires std::is_integral_v<T> { return std::to_string(v); }

template <typename... Args> void record(const char *name, const Args &...args) {
    std::ostringstream text;
    text << name << "(";
    [[maybe_unused]] const char *separator = "";
    ((text << separator << show(args), separator = ", "), ...);
    text << ")";
    current.calls.push_back(text.str());
}

BOOL fail(DWORD error) {
    last_error = error;
    return FALSE;
}

BOOL WINAPI set_default_dll_directories(DWORD flags) {
    record("SetDefaultDllDirectories", flags);
    return TRUE;
}

BOOL WINAPI set_dll_directory(LPCSTR path) {
    record("SetDllDirectoryA", path);
    return TRUE;
}

// Takes 'size' bytes from a budget (-1: unlimited); false when they do not fit.
bool spend(int64_t &budget, size_t size) {
    if (budget >= 0 && budget < (int64_t)size)
        return false;
    if (budget >= 0)
        budget -= (int64_t)size;
    return true;
}

UINT copy_path(const std::string &path, int64_t result, LPSTR buffer, DWORD size) {
    std::strncpy(buffer, path.c_str(), size);
    if (size > 0)
        buffer[size - 1] = 0;
    return result >= 0 ? (UINT)result : (UINT)path.size();
}

} // namespace

State &state() { return current; }

static std::set<uint8_t *> allocations; // GlobalAlloc blocks not yet freed

void reset(const Config &config) {
    // What the last run left allocated is released as its process would be.
    for (uint8_t *block : allocations)
        delete[] block;
    allocations.clear();
    current = State{};
    current.config = config;
    open_files.clear();
    next_handle = 0x100;
    last_error = 0;
}

static bool is_call_of(const std::string &call, const std::string &name) {
    return call.compare(0, name.size() + 1, name + "(") == 0;
}

std::vector<std::string> calls_named(const std::string &name) {
    std::vector<std::string> found;
    std::copy_if(current.calls.begin(), current.calls.end(), std::back_inserter(found),
                 [&](const std::string &call) { return is_call_of(call, name); });
    return found;
}

int first_call(const std::string &name) {
    auto found = std::find_if(current.calls.begin(), current.calls.end(),
                              [&](const std::string &call) { return is_call_of(call, name); });
    return found == current.calls.end() ? -1 : (int)(found - current.calls.begin());
}

std::string temp_path() { return current.config.windows_directory + "\\" + current.config.temp_name; }

} // namespace standin

using namespace standin;

static HANDLE open_file(const std::string &path, DWORD disposition) {
    if (current.config.unopenable.count(path))
        return fail(5), INVALID_HANDLE_VALUE;
    auto file = current.files.find(path);
    if (disposition == OPEN_EXISTING && file == current.files.end())
        return fail(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
    if (disposition == CREATE_ALWAYS)
        current.files[path].clear();
    HANDLE handle = (HANDLE)next_handle++;
    open_files[handle] = {path};
    return handle;
}

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, void *security, DWORD disposition, DWORD attributes,
                   HANDLE template_file) {
    record("CreateFileA", path, access, share, security, disposition, attributes, template_file);
    if ((access & GENERIC_READ) && current.config.unreadable.count(path))
        return fail(5), INVALID_HANDLE_VALUE;
    return open_file(path, disposition);
}

BOOL ReadFile(HANDLE handle, void *buffer, DWORD size, DWORD *done, void *) {
    auto open = open_files.find(handle);
    if (open == open_files.end())
        return fail(6);
    const std::vector<uint8_t> &bytes = current.files[open->second.path];
    size_t take = open->second.position >= bytes.size() ? 0 : std::min<size_t>(size, bytes.size() - open->second.position);
    if (!spend(current.config.read_budget, take))
        return fail(23); // ERROR_CRC
    if (take)
        std::memcpy(buffer, bytes.data() + open->second.position, take);
    open->second.position += take;
    *done = (DWORD)take;
    return TRUE;
}

BOOL WriteFile(HANDLE handle, const void *buffer, DWORD size, DWORD *done, void *) {
    auto open = open_files.find(handle);
    if (open == open_files.end())
        return fail(6);
    if (!spend(current.config.write_budget, size))
        return *done = 0, fail(112); // ERROR_DISK_FULL
    if (current.config.writes_lost)
        return *done = size, TRUE;
    std::vector<uint8_t> &bytes = current.files[open->second.path];
    bytes.resize(std::max(bytes.size(), open->second.position + size));
    std::memcpy(bytes.data() + open->second.position, buffer, size);
    open->second.position += size;
    *done = size;
    return TRUE;
}

DWORD SetFilePointer(HANDLE handle, LONG distance, LONG *high, DWORD method) {
    record("SetFilePointer", handle, distance, high, method);
    auto open = open_files.find(handle);
    if (open == open_files.end())
        return fail(6), INVALID_SET_FILE_POINTER;
    int64_t base = method == FILE_BEGIN ? 0 : method == FILE_CURRENT ? (int64_t)open->second.position
                                                                   : (int64_t)current.files[open->second.path].size();
    if (base + distance < 0)
        return fail(131), INVALID_SET_FILE_POINTER;
    open->second.position = (size_t)(base + distance);
    return (DWORD)open->second.position;
}

BOOL CloseHandle(HANDLE handle) {
    record("CloseHandle", handle);
    return open_files.erase(handle) ? TRUE : fail(6);
}

BOOL DeleteFileA(LPCSTR path) {
    record("DeleteFileA", path);
    for (const auto &open : open_files)
        if (open.second.path == path)
            return fail(32); // ERROR_SHARING_VIOLATION: opened without FILE_SHARE_DELETE
    return current.files.erase(path) ? TRUE : fail(ERROR_FILE_NOT_FOUND);
}

DWORD GetLastError() { return last_error; }

HGLOBAL GlobalAlloc(UINT flags, size_t size) {
    record("GlobalAlloc", flags, size);
    int &successes = current.config.global_alloc_successes;
    if (successes == 0)
        return fail(8), nullptr;
    if (successes > 0)
        successes--;
    current.live_allocations++;
    return *allocations.insert(new uint8_t[size]).first;
}

HGLOBAL GlobalFree(HGLOBAL memory) {
    record("GlobalFree", memory);
    current.live_allocations--;
    allocations.erase((uint8_t *)memory);
    delete[] (uint8_t *)memory;
    return nullptr;
}

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    record("GetWindowsDirectoryA", size);
    return copy_path(current.config.windows_directory, current.config.windows_directory_result, buffer, size);
}

UINT GetTempFileNameA(LPCSTR directory, LPCSTR prefix, UINT unique, LPSTR buffer) {
    record("GetTempFileNameA", directory, prefix, unique);
    const Config &config = current.config;
    if (config.temp_name_fails)
        return fail(ERROR_FILE_NOT_FOUND), 0;
    if (config.windows_denied >= 0 && directory == config.windows_directory) // Wine returns a number all the same
        return fail(ERROR_ACCESS_DENIED), (UINT)config.windows_denied;
    std::string path = directory;
    std::strcpy(buffer, (path + (path.back() == '\\' ? "" : "\\") + config.temp_name).c_str());
    current.files[buffer]; // the system creates the file, empty
    last_error = 0;
    return 0x1A2B;
}

LPSTR lstrcpyA(LPSTR dst, LPCSTR src) { return std::strcpy(dst, src); }
LPSTR lstrcatA(LPSTR dst, LPCSTR src) { return std::strcat(dst, src); }
int lstrlenA(LPCSTR s) { return (int)std::strlen(s); }

BOOL CreateProcessA(LPCSTR application, LPSTR command_line, void *process_security, void *thread_security,
                    BOOL inherit, DWORD flags, void *environment, LPCSTR directory, STARTUPINFOA *startup,
                    PROCESS_INFORMATION *process) {
    record("CreateProcessA", application, command_line, process_security, thread_security, inherit,
           flags, environment, directory, startup, process);
    current.launch_startup = *startup;
    if (current.config.create_process_fails)
        return fail(ERROR_FILE_NOT_FOUND);
    current.launched_file = current.files[application];
    process->hProcess = PROCESS;
    return TRUE;
}

BOOL CreateProcessW(const wchar_t *application, LPWSTR command_line, void *process_security, void *thread_security,
                    BOOL inherit, DWORD flags, void *environment, const wchar_t *directory, STARTUPINFOW *startup,
                    PROCESS_INFORMATION *process) {
    record("CreateProcessW", application, command_line, process_security, thread_security, inherit, flags,
           environment, directory, startup, process);
    std::memcpy(&current.launch_startup, startup, sizeof *startup);
    if (current.config.create_process_fails)
        return fail(ERROR_FILE_NOT_FOUND);
    std::wstring line = command_line, program = line.substr(1, line.find('"', 1) - 1);
    current.launched_file = current.files[std::string(program.begin(), program.end())];
    process->hProcess = PROCESS;
    return TRUE;
}

BOOL GetExitCodeProcess(HANDLE process, DWORD *code) {
    record("GetExitCodeProcess", process);
    *code = current.config.stub_exit_code;
    return TRUE;
}

// No standard handles, and no earlier temporary stubs to find.
HANDLE GetStdHandle(DWORD) { return nullptr; }
void GetSystemTimeAsFileTime(FILETIME *now) { *now = {}; }
HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA *) {
    record("FindFirstFileA", pattern);
    return INVALID_HANDLE_VALUE;
}
BOOL FindNextFileA(HANDLE, WIN32_FIND_DATAA *) { return FALSE; }
BOOL FindClose(HANDLE) { return TRUE; }

LPWSTR GetCommandLineW() {
    record("GetCommandLineW");
    return current.config.command_line.data();
}

int MultiByteToWideChar(UINT, DWORD, LPCSTR text, int length, LPWSTR out, int size) {
    std::string in = length < 0 ? std::string(text) + '\0' : std::string(text, (size_t)length);
    if ((int)in.size() > size)
        return 0;
    std::copy(in.begin(), in.end(), out);
    return (int)in.size();
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    record("WaitForSingleObject", handle, milliseconds);
    return 0;
}

void ExitProcess(UINT code) {
    record("ExitProcess", code);
    current.exit_code = code;
}

HMODULE GetModuleHandleA(LPCSTR name) {
    record("GetModuleHandleA", name);
    return name ? KERNEL32 : INSTANCE;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    record("GetProcAddress", module, name);
    if (std::strcmp(name, "SetDefaultDllDirectories") == 0 && current.config.has_set_default_dll_directories)
        return (FARPROC)(void *)set_default_dll_directories;
    if (std::strcmp(name, "SetDllDirectoryA") == 0 && current.config.has_set_dll_directory)
        return (FARPROC)(void *)set_dll_directory;
    return nullptr;
}

LPSTR GetCommandLineA() {
    static char command_line[] = "\"C:\\Users\\anna\\setup.exe\" /ignored";
    record("GetCommandLineA");
    return command_line;
}

void GetStartupInfoA(STARTUPINFOA *startup) {
    record("GetStartupInfoA");
    *startup = STARTUPINFOA{};
    startup->cb = sizeof *startup;
}

HWND CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR title, DWORD style, int x, int y, int width,
                     int height, HWND parent, void *menu, HINSTANCE instance, void *param) {
    record("CreateWindowExA", ex_style, class_name, title, style, x, y, width, height, parent, menu, instance, param);
    return WINDOW;
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    record("PostMessageA", window, message, wparam, lparam);
    return TRUE;
}

BOOL GetMessageA(MSG *message, HWND window, UINT first, UINT last) {
    record("GetMessageA", message, window, first, last);
    *message = MSG{window, WM_NULL, 0, 0, 0, 0, 0};
    return TRUE;
}

BOOL DestroyWindow(HWND window) {
    record("DestroyWindow", window);
    return TRUE;
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    record("MessageBoxA", owner, text, caption, type);
    return 1;
}

std::string standin::key_of(const std::wstring &path) {
    std::string key;
    for (wchar_t c : path) { // beyond Latin-1 as "<number>", which no ANSI path here holds
        if (c >= 0x100)
            key.append("<").append(std::to_string(c));
        key += c < 0x100 ? (char)c : '>';
    }
    return key;
}

static std::wstring widen(const std::string &ansi) { return std::wstring(ansi.begin(), ansi.end()); }

// Copies 'text' with its terminator if it fits: its length, else the size it needs.
static DWORD copy_wide(const std::wstring &text, LPWSTR buffer, DWORD size) {
    if (text.size() >= size)
        return (DWORD)text.size() + 1;
    std::wcscpy(buffer, text.c_str());
    return (DWORD)text.size();
}

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, void *security, DWORD disposition, DWORD attributes,
                   HANDLE template_file) {
    record("CreateFileW", key_of(path).c_str(), access, share, security, disposition, attributes, template_file);
    return open_file(key_of(path), disposition);
}

void SetLastError(DWORD error) { last_error = error; }

DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
    record("GetModuleFileNameW", module, size);
    const Config &config = current.config;
    DWORD length = copy_wide(config.wide_module_path.empty() ? widen(config.module_path) : config.wide_module_path,
                             buffer, size);
    return config.module_path_result >= 0 ? (DWORD)config.module_path_result : length;
}

DWORD GetShortPathNameW(LPCWSTR path, LPWSTR buffer, DWORD size) {
    record("GetShortPathNameW", key_of(path).c_str(), size);
    auto found = current.config.short_names.find(path);
    return copy_wide(found == current.config.short_names.end() ? std::wstring(path) : found->second, buffer, size);
}

DWORD GetTempPathW(DWORD size, LPWSTR buffer) {
    record("GetTempPathW", size);
    if (current.config.temp_folder.empty())
        return fail(ERROR_FILE_NOT_FOUND), 0;
    return copy_wide(current.config.temp_folder, buffer, size);
}

// Latin-1 as the ANSI code page; of the rest only Ł has a look-alike.
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR text, int length, LPSTR buffer, int size,
                        LPCSTR default_char, BOOL *used_default) {
    std::string out;
    for (; *text; text++) {
        bool look_alike = *text == L'Ł' && !(flags & WC_NO_BEST_FIT_CHARS);
        out += *text < 0x100 ? (char)*text : look_alike ? 'L' : '?';
        if (*text >= 0x100 && !look_alike && used_default)
            *used_default = TRUE;
    }
    if (code_page != CP_ACP || length != -1 || default_char || (int)out.size() >= size)
        return fail(ERROR_INSUFFICIENT_BUFFER), 0;
    std::strcpy(buffer, out.c_str());
    return (int)out.size() + 1;
}
