// The command of the bundles in the end-to-end tests:
//   check.exe ORIGINAL_FOLDER REPORT EXIT_CODE ARGUMENTS...
// Checks what the extractor gave it: the arguments after EXIT_CODE (these
// two: "two words" and Grüße), its own path, its
// working folder against SFX_DIR, SFX_ORIGIN against SFX_EXPECT_ORIGIN, and
// every file under SFX_DIR against ORIGINAL_FOLDER, both ways, byte for byte.
// Writes "all good" or the problems found to REPORT, starts a copy of itself
// that adds "lingered" to it a moment later (the extractor must wait for that
// one too; it runs from outside the folder, and in another working folder,
// so nothing holds the folder up), and exits with EXIT_CODE.
#include <windows.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

using Files = std::map<std::wstring, bool>; // relative name: is a folder

static std::wstring long_form(const std::wstring &path) {
    return path.rfind(L"\\\\?\\", 0) == 0 ? path : L"\\\\?\\" + path;
}

static void walk(const std::wstring &root, const std::wstring &under, Files &files) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(long_form(root + under + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        bool folder = found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
        files[under + L"\\" + name] = folder;
        if (folder)
            walk(root, under + L"\\" + name, files);
    } while (FindNextFileW(find, &found));
    FindClose(find);
}

static bool read_file(const std::wstring &path, std::string &bytes) {
    HANDLE file = CreateFileW(long_form(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    char chunk[65536];
    DWORD got;
    bytes.clear();
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    CloseHandle(file);
    return true;
}

static std::wstring variable(const wchar_t *name) {
    wchar_t value[32768];
    DWORD n = GetEnvironmentVariableW(name, value, 32768);
    return n > 0 && n < 32768 ? std::wstring(value, n) : L"<unset>";
}

static std::string utf8(const std::wstring &text) {
    std::string out(text.size() * 3 + 1, '\0');
    out.resize(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), out.data(), (int)out.size(), nullptr, nullptr));
    return out;
}

int main() {
    int argc;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argc == 3 && std::wstring(argv[1]) == L"--linger") {
        Sleep(1500);
        if (FILE *out = _wfopen(argv[2], L"ab")) {
            std::fprintf(out, "lingered\n");
            std::fclose(out);
        }
        return 0;
    }
    if (argc < 4)
        return 99;
    std::vector<std::string> problems;
    auto expect = [&](bool holds, const std::string &what) {
        if (!holds)
            problems.push_back(what);
    };

    std::wstring expected = L"two words|Gr\u00fc\u00dfe|", got;
    for (int i = 4; i < argc; i++)
        got += std::wstring(argv[i]) + L"|";
    expect(got == expected, "arguments " + utf8(got) + ", want " + utf8(expected));

    std::wstring dir = variable(L"SFX_DIR");
    wchar_t here[MAX_PATH], module[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, here);
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    expect(lstrcmpiW(here, dir.c_str()) == 0, "working folder " + utf8(here) + ", SFX_DIR " + utf8(dir));
    expect(lstrcmpiW(argv[0], (dir + L"\\check.exe").c_str()) == 0, "argv[0] " + utf8(argv[0]));
    expect(lstrcmpiW(module, (dir + L"\\check.exe").c_str()) == 0, "module " + utf8(module));
    expect(variable(L"SFX_ORIGIN") == variable(L"SFX_EXPECT_ORIGIN"),
           "SFX_ORIGIN " + utf8(variable(L"SFX_ORIGIN")) + ", want " + utf8(variable(L"SFX_EXPECT_ORIGIN")));

    Files unpacked, original;
    walk(dir, L"", unpacked);
    walk(argv[1], L"", original);
    expect(!original.empty(), "the original folder is empty or missing");
    for (const auto &[name, folder] : original) {
        auto it = unpacked.find(name);
        std::string a, b;
        if (it == unpacked.end() || it->second != folder)
            expect(false, "missing: " + utf8(name));
        else if (!folder)
            expect(read_file(dir + name, a) && read_file(argv[1] + name, b) && a == b, "differs: " + utf8(name));
    }
    for (const auto &entry : unpacked)
        expect(original.count(entry.first), "extra: " + utf8(entry.first));

    if (FILE *out = _wfopen(argv[2], L"wb")) {
        if (problems.empty())
            std::fprintf(out, "all good: %zu names\n", original.size());
        for (const auto &problem : problems)
            std::fprintf(out, "%s\n", problem.c_str());
        std::fclose(out);
    }
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring copy = std::wstring(temp) + L"bundle-check-linger.exe";
    std::wstring line = L"\"" + copy + L"\" --linger \"" + argv[2] + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (CopyFileW(module, copy.c_str(), FALSE) &&
        CreateProcessW(copy.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, temp, &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    return _wtoi(argv[3]);
}
