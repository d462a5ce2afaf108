// The command of the bundles in the end-to-end tests:
//   check.exe ORIGINAL_FOLDER REPORT EXIT_CODE "two words" Grüße [SFX_EXPECT_EXTRA]
// Checks the arguments after EXIT_CODE, its own path and working folder
// against SFX_DIR, SFX_ORIGIN against SFX_EXPECT_ORIGIN, and every file and
// folder under SFX_DIR against ORIGINAL_FOLDER, both ways, byte for byte.
// Writes "all good" or the problems to REPORT, starts a copy of itself that
// adds "lingered" a moment later (the extractor must wait for it too; it runs
// outside the folder, in another working folder and on no console, so nothing
// holds the folder up, not even a console host started there; it waits for
// the file SFX_LINGER_UNTIL names, where set), and exits with EXIT_CODE.
#include <windows.h>

#include <cstdio>
#include <map>
#include <string>

using std::wstring;

// Relative name: the file's bytes, or "/" for a folder.
static void walk(const wstring &root, const wstring &under, std::map<wstring, std::string> &tree) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((L"\\\\?\\" + root + under + L"\\*").c_str(), &found);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &found)) {
        wstring name = under + L"\\" + found.cFileName;
        if (found.cFileName == wstring(L".") || found.cFileName == wstring(L".."))
            continue;
        std::string &bytes = tree[name] = "/";
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            walk(root, name, tree);
            continue;
        }
        HANDLE file = CreateFileW((L"\\\\?\\" + root + name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        char chunk[65536];
        DWORD got;
        for (bytes.clear(); ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0;)
            bytes.append(chunk, got);
        CloseHandle(file);
    }
    FindClose(find);
}

static wstring variable(const wchar_t *name) {
    static wchar_t value[32768];
    DWORD n = GetEnvironmentVariableW(name, value, 32768);
    return n > 0 && n < 32768 ? wstring(value, n) : L"<unset>";
}

int main() {
    int argc;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    FILE *report = argc >= 3 ? _wfopen(argv[2], argc == 3 ? L"ab" : L"wb") : nullptr;
    if (argc == 3 && report && wstring(argv[1]) == L"--linger") {
        // A moment, or until the test lets it go where it names a file for that.
        wstring release = variable(L"SFX_LINGER_UNTIL");
        if (release == L"<unset>")
            Sleep(1500);
        else
            for (int i = 0; i < 600 && GetFileAttributesW(release.c_str()) == INVALID_FILE_ATTRIBUTES; i++)
                Sleep(100);
        std::fprintf(report, "lingered\n");
        return 0;
    }
    if (argc < 4 || !report)
        return 99;
    wstring problems, dir = variable(L"SFX_DIR"), got;
    auto expect = [&](bool holds, const wstring &what) { problems += holds ? L"" : what + L"\n"; };
    for (int i = 4; i < argc; i++)
        got += wstring(argv[i]) + L"|";
    wstring extra = variable(L"SFX_EXPECT_EXTRA"); // what the packed file was given, '|' after each
    expect(got == L"two words|Gr\u00fc\u00dfe|" + (extra == L"<unset>" ? L"" : extra), L"arguments " + got);
    wchar_t here[MAX_PATH], module[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, here);
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    expect(lstrcmpiW(here, dir.c_str()) == 0, L"working folder " + wstring(here) + L", SFX_DIR " + dir);
    expect(lstrcmpiW(argv[0], (dir + L"\\check.exe").c_str()) == 0, L"argv[0] " + wstring(argv[0]));
    expect(lstrcmpiW(module, (dir + L"\\check.exe").c_str()) == 0, L"module " + wstring(module));
    expect(variable(L"SFX_ORIGIN") == variable(L"SFX_EXPECT_ORIGIN"), L"SFX_ORIGIN " + variable(L"SFX_ORIGIN"));

    std::map<wstring, std::string> unpacked, original;
    walk(dir, L"", unpacked);
    walk(argv[1], L"", original);
    expect(!original.empty(), L"the original folder is empty or missing");
    for (const auto &[name, bytes] : original)
        expect(unpacked.count(name) && unpacked[name] == bytes, L"missing or different: " + name);
    for (const auto &entry : unpacked)
        expect(original.count(entry.first), L"extra: " + entry.first);

    if (problems.empty())
        std::fprintf(report, "all good: %zu names\n", original.size());
    std::string text(problems.size() * 3, '\0');
    text.resize(WideCharToMultiByte(CP_UTF8, 0, problems.data(), (int)problems.size(), text.data(), (int)text.size(),
                                    nullptr, nullptr));
    std::fputs(text.c_str(), report);
    std::fclose(report);

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    wstring copy = wstring(temp) + L"bundle-check-linger.exe", line = L"\"" + copy + L"\" --linger \"" + argv[2] + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (CopyFileW(module, copy.c_str(), FALSE) &&
        CreateProcessW(copy.c_str(), line.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, temp, &startup,
                       &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    return _wtoi(argv[3]);
}
