#pragma once
// Control and records of the Win32 stand-in: a tiny in-memory file system,
// a log of every call with its arguments, and faults to inject.
#include <windows.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace standin {

const HINSTANCE INSTANCE = (HINSTANCE)0x400000;
const HMODULE KERNEL32 = (HMODULE)0x7000;
const HWND WINDOW = (HWND)0x1000;
const HANDLE PROCESS = (HANDLE)0x2000;

struct Config {
    std::string module_path = "C:\\Users\\anna\\setup.exe";
    std::string windows_directory = "C:\\WINDOWS";
    std::string temp_name = "ZRW1A2B.TMP";
    std::wstring wide_module_path;         // what GetModuleFileNameW gives; empty: module_path
    int64_t module_path_result = -1;       // what GetModuleFileNameW returns; -1: the length
    int64_t windows_directory_result = -1; // likewise for GetWindowsDirectoryA
    bool temp_name_fails = false;
    int64_t windows_denied = -1;           // >= 0: GetTempFileNameA there fails with access denied, returns this
    std::wstring temp_folder = L"C:\\Users\\anna\\Temp\\"; // GetTempPathW; empty: it fails
    std::map<std::wstring, std::wstring> short_names; // GetShortPathNameW; others have no short form
    int global_alloc_successes = -1;       // then GlobalAlloc fails; -1: never
    std::set<std::string> unopenable;      // CreateFileA fails with access denied
    std::set<std::string> unreadable;      // CreateFileA for reading fails with access denied
    int64_t read_budget = -1;              // bytes ReadFile gives before failing; -1: all
    int64_t write_budget = -1;             // bytes WriteFile takes before failing; -1: all
    bool writes_lost = false;              // WriteFile reports success and stores nothing
    bool create_process_fails = false;
    std::wstring command_line = L"\"C:\\Users\\anna\\setup.exe\" /ignored"; // GetCommandLineW's
    DWORD stub_exit_code = 0;
    bool has_set_default_dll_directories = true;
    bool has_set_dll_directory = true;
};

struct State {
    Config config;
    std::map<std::string, std::vector<uint8_t>> files;
    std::vector<std::string> calls; // "Name(arg, arg, ...)", in order
    std::vector<uint8_t> launched_file; // the program file as CreateProcessA found it
    STARTUPINFOA launch_startup{};
    int live_allocations = 0;
    int64_t exit_code = -1;
};

State &state();
// A fresh state with the given configuration.
void reset(const Config &config = {});
// The recorded calls whose name is 'name', in order.
std::vector<std::string> calls_named(const std::string &name);
// The index of the first recorded call with this name, or -1.
int first_call(const std::string &name);
std::string temp_path();
// A wide path as a file's key: the ANSI code page here is Latin-1, other
// characters as UTF-8, which no ANSI path can name.
std::string key_of(const std::wstring &path);

} // namespace standin
