#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "host/file_layer.h"
#include "host/loader_main.h"
#include "host/start_error.h"
#include "include/sfx_package.h"
#include "standin/win32_standin.h"

namespace {

using Bytes = std::vector<uint8_t>;
using standin::state;

const Bytes ABC_PAYLOAD{0x03, 0, 0, 0, 0x98, 0x43, 0x10, 0x63};

// Some image bytes, zeros up to 32768, then the payload.
Bytes loader_file(const Bytes &payload) {
    Bytes file(32768, 0);
    for (int i = 0; i < 600; i++)
        file[i] = (uint8_t)(i * 7);
    file.insert(file.end(), payload.begin(), payload.end());
    return file;
}

void run(standin::Config config = {}, const Bytes &file = loader_file(ABC_PAYLOAD)) {
    standin::reset(config);
    state().files[config.wide_module_path.empty() ? config.module_path : standin::key_of(config.wide_module_path)] = file;
    loader_entry();
}

std::vector<std::string> box_for(const std::string &detail) {
    return {"MessageBoxA(null, \"Fehler : " + detail + "\r\nSFX kann nicht gestartet werden\", null, 16)"};
}

TEST(LoaderSequence, SuccessfulRunCallsEverythingWithTheDescribedArguments) {
    run();
    const std::string module = state().config.module_path;
    const std::string temp = standin::temp_path();
    std::vector<std::string> expected_in_order{
        "GetModuleHandleA(\"KERNEL32.DLL\")",
        "GetProcAddress(28672, \"SetDefaultDllDirectories\")",
        "SetDefaultDllDirectories(2048)",
        "CreateWindowExA(0, \"EDIT\", \"\", 13565952, 0, 0, 0, 0, null, null, 4194304, null)",
        "PostMessageA(4096, 0, 0, 0)",
        "GetMessageA(ptr, 4096, 0, 0)",
        "DestroyWindow(4096)",
        "GetModuleFileNameW(4194304, 32768)",
        "GetWindowsDirectoryA(260)",
        "GetTempFileNameA(\"C:\\WINDOWS\", \"ZRW\", 0)",
        "CreateFileW(\"" + module + "\", 2147483648, 3, null, 3, 128, null)",
        "CreateFileA(\"" + temp + "\", 1073741824, 3, null, 2, 128, null)",
        "SetFilePointer(256, 32768, null, 0)",
        "CreateProcessA(\"" + temp + "\", \"" + temp + "\", null, null, 0, 48, null, null, ptr, ptr)",
        "WaitForSingleObject(8192, 4294967295)",
        "DeleteFileA(\"" + temp + "\")",
        "ExitProcess(1)",
    };
    EXPECT_EQ(state().calls.front(), expected_in_order.front()); // before anything else
    size_t at = 0;
    for (const std::string &call : state().calls)
        if (at < expected_in_order.size() && call == expected_in_order[at])
            at++;
    EXPECT_EQ(at, expected_in_order.size()) << "missing or out of order: " << expected_in_order[std::min(at, expected_in_order.size() - 1)];
    EXPECT_EQ(standin::first_call("SetDllDirectoryA"), -1);

    EXPECT_EQ(standin::calls_named("GlobalAlloc").size(), 4u);
    for (const std::string &call : standin::calls_named("GlobalAlloc"))
        EXPECT_EQ(call.rfind("GlobalAlloc(0, ", 0), 0u) << call;
    EXPECT_EQ(state().live_allocations, 0);
    EXPECT_TRUE(standin::calls_named("MessageBoxA").empty());
    EXPECT_EQ(state().files.count(temp), 0u);

    const STARTUPINFOA &startup = state().launch_startup;
    EXPECT_EQ(startup.cb, sizeof(STARTUPINFOA));
    EXPECT_EQ(startup.dwFlags, 0x81u);
    EXPECT_EQ(startup.wShowWindow, 5);
    EXPECT_EQ(startup.lpDesktop, nullptr);
}

// The stub gets the decoded bytes, then the trailer: the module path in the
// ANSI code page where it spells it exactly and it fits, else its short
// form, else the closest form; then its length.
TEST(LoaderSequence, TrailerCarriesTheModulePathAndItsLength) {
    const std::wstring LONG_NAME = std::wstring(300, L'x') + L".exe";
    const std::string LONG = std::string(300, 'x') + ".exe";
    const struct {
        std::wstring module, short_name; // the file's short path, where it has one
        std::string windows, trailer, opened; // opened: the path CreateFileW takes, when not the module's
    } rows[] = {
        {L"C:\\Programme\\Pakete\\x.exe", L"C:\\PROGRA~1\\PAKETE\\x.exe", "C:\\WINDOWS", "C:\\Programme\\Pakete\\x.exe", ""},
        {L"C:\\B\xfc" L"cher\\Gr\xf6\xdf" L"e.exe", L"", "C:\\WIND\xd6WS", "C:\\B\xfc" "cher\\Gr\xf6\xdf" "e.exe", ""},
        {L"C:\\" + std::wstring(250, L'x') + L".exe", L"", "D:\\W", "C:\\" + std::string(250, 'x') + ".exe", ""}, // 257
        {L"C:\\\u0141ukasz \u30c7\u30fc\u30bf\\x.exe", L"C:\\UKASZ~1\\x.exe", "C:\\WINDOWS", "C:\\UKASZ~1\\x.exe", ""},
        {L"C:\\\u0141ukasz\\x.exe", L"", "C:\\WINDOWS", "C:\\Lukasz\\x.exe", ""}, // no short names: the look-alike
        {L"C:\\a\\" + LONG_NAME, L"\\\\?\\C:\\A\\XXXXXX~1.EXE", "C:\\WINDOWS", "C:\\A\\XXXXXX~1.EXE",
         "\\\\?\\C:\\a\\" + LONG},
        {L"\\\\srv\\share\\" + LONG_NAME, L"\\\\?\\UNC\\srv\\share\\XXXXXX~1.EXE", "C:\\WINDOWS",
         "\\\\srv\\share\\XXXXXX~1.EXE", "\\\\?\\UNC\\srv\\share\\" + LONG},
        {L"C:\\a\\" + LONG_NAME, L"", "C:\\WINDOWS", "\\\\?\\C:\\a\\" + LONG, "\\\\?\\C:\\a\\" + LONG},
        {L"\\\\.\\C:\\a\\" + LONG_NAME, L"", "C:\\WINDOWS", "\\\\.\\C:\\a\\" + LONG, ""}, // a device path stays one
    };
    for (const auto &row : rows) {
        standin::Config config;
        config.wide_module_path = row.module;
        config.windows_directory = row.windows;
        std::wstring opened = row.opened.empty() ? row.module : std::wstring(row.opened.begin(), row.opened.end());
        if (!row.short_name.empty())
            config.short_names[opened] = row.short_name;
        standin::reset(config);
        state().files[standin::key_of(opened)] = loader_file(ABC_PAYLOAD);
        loader_entry();
        const std::string &t = row.trailer;
        std::string expected = "abc" + t + (char)t.size() + (char)(t.size() >> 8);
        EXPECT_EQ(std::string(state().launched_file.begin(), state().launched_file.end()), expected) << t;
        EXPECT_EQ(state().exit_code, 1) << t;
    }
}

// Where the Windows directory denies the file (whether the call then returns
// 0, as Windows does, or a number, as Wine does), the stub goes to the
// user's temporary folder, by its 8.3 path where the ANSI code page lacks
// letters of the long one, and is run and deleted there.
TEST(LoaderSequence, StubGoesToTheTemporaryFolderWhereTheWindowsDirectoryIsDenied) {
    const std::pair<std::wstring, std::string> folders[] = { // the temporary folder, the form that names it
        {L"C:\\Users\\anna\\Temp\\", "C:\\Users\\anna\\Temp\\"},
        {L"C:\\Users\\\u0141ukasz\\Temp\\", "C:\\Users\\UKASZ~1\\Temp\\"},
    };
    for (int result : {0, 0x1A2B})
        for (const auto &[folder, ansi] : folders) {
            standin::Config config;
            config.windows_denied = result;
            config.temp_folder = folder;
            config.short_names[folder] = std::wstring(ansi.begin(), ansi.end());
            run(config);
            const std::string temp = ansi + config.temp_name;
            EXPECT_EQ(standin::calls_named("CreateProcessA"),
                      std::vector<std::string>{"CreateProcessA(\"" + temp + "\", \"" + temp +
                                               "\", null, null, 0, 48, null, null, ptr, ptr)"});
            // 0: the system picks a name no file has yet, so that loaders
            // started at once never write over each other's stub.
            EXPECT_EQ(standin::calls_named("GetTempFileNameA"),
                      (std::vector<std::string>{"GetTempFileNameA(\"C:\\WINDOWS\", \"ZRW\", 0)",
                                                "GetTempFileNameA(\"" + ansi + "\", \"ZRW\", 0)"}));
            EXPECT_EQ(state().exit_code, 1);
            EXPECT_EQ(state().files.size(), 1u) << "a temporary file is left";
        }
}

TEST(LoaderSequence, FailuresShowOneBoxStartNothingAndExitZero) {
    const std::string ACCESS = "Der Zugriff auf eine Datei wurde vom System verweigert.";
    const std::string BAD_DATA = "Die Daten des SFX-Stubs sind fehlerhaft.";
    const std::string WRITE = "Die entpackte Datei kann nicht geschrieben werden.";
    static const size_t STUB_SIZE = 3 + standin::Config{}.module_path.size() + 2;
    const struct {
        const char *what;
        std::function<void(standin::Config &)> configure;
        Bytes payload;
        std::string detail;
        const char *not_called; // a call that must not have been made
        int allocations_left;
    } rows[] = {
        {"no memory for the literal tree", [](auto &c) { c.global_alloc_successes = 0; }, ABC_PAYLOAD,
         "Zuwenig Speicher.", "GetModuleFileNameW", 0},
        {"no memory for the distance tree", [](auto &c) { c.global_alloc_successes = 2; }, ABC_PAYLOAD,
         "Zuwenig Speicher.", "GetModuleFileNameW", 2},
        {"module path query fails", [](auto &c) { c.module_path_result = 0; }, ABC_PAYLOAD, ACCESS,
         "CreateFileA", 4},
        {"module path fills the buffer", [](auto &c) { c.module_path_result = 32768; }, ABC_PAYLOAD, ACCESS,
         "CreateFileA", 4},
        {"Windows directory query fails", [](auto &c) { c.windows_directory_result = 0; }, ABC_PAYLOAD, ACCESS,
         "CreateFileA", 4},
        {"Windows directory too long", [](auto &c) { c.windows_directory_result = 300; }, ABC_PAYLOAD, ACCESS,
         "CreateFileA", 4},
        {"no temporary name", [](auto &c) { c.temp_name_fails = true; }, ABC_PAYLOAD, ACCESS,
         "CreateFileA", 4},
        {"Windows directory denied, no temporary folder", [](auto &c) { c.windows_denied = 0, c.temp_folder.clear(); },
         ABC_PAYLOAD, ACCESS, "CreateFileA", 4},
        {"Windows directory denied, temporary folder unspellable",
         [](auto &c) { c.windows_denied = 0x1A2B, c.temp_folder = L"C:\\\u0141\\"; }, ABC_PAYLOAD, ACCESS,
         "CreateFileA", 4},
        {"own file unopenable", [](auto &c) { c.unopenable.insert(c.module_path); }, ABC_PAYLOAD, ACCESS,
         "SetFilePointer", 4},
        {"temporary file unopenable", [](auto &c) { c.unopenable.insert(standin::temp_path()); }, ABC_PAYLOAD,
         ACCESS, "SetFilePointer", 4},
        {"truncated", [](auto &) {}, {0x03, 0, 0, 0, 0x98, 0x43, 0x10}, BAD_DATA, "CreateProcessA", 0},
        {"short header", [](auto &) {}, {0x03, 0}, BAD_DATA, "CreateProcessA", 0},
        {"escaped twice", [](auto &) {}, {0x02, 0, 0, 0, 0x98, 0x43, 0x08}, BAD_DATA, "CreateProcessA", 0},
        {"read fails inside the payload", [](auto &c) { c.read_budget = 5; }, ABC_PAYLOAD, BAD_DATA,
         "CreateProcessA", 0},
        {"stub write fails", [](auto &c) { c.write_budget = 0; }, ABC_PAYLOAD, WRITE, "CreateProcessA", 0},
        {"path write fails, length fits", [](auto &c) { c.write_budget = 5; }, ABC_PAYLOAD, WRITE,
         "CreateProcessA", 0},
        {"length write fails", [](auto &c) { c.write_budget = (int64_t)STUB_SIZE - 2; }, ABC_PAYLOAD, WRITE,
         "CreateProcessA", 0},
        {"launch fails", [](auto &c) { c.create_process_fails = true; }, ABC_PAYLOAD, "Kann SFX-Stub nicht finden",
         "WaitForSingleObject", 0},
    };
    for (const auto &row : rows) {
        standin::Config config;
        row.configure(config);
        run(config, loader_file(row.payload));
        // Before its box the loader reads its record's flags afresh (module
        // path, open, read, close): not a step of the sequence checked here.
        auto &calls = state().calls;
        auto box = std::find_if(calls.begin(), calls.end(), [](auto &c) { return c.rfind("MessageBoxA", 0) == 0; });
        auto reread = std::find_if(std::make_reverse_iterator(box), calls.rend(),
                                   [](auto &c) { return c.rfind("GetModuleFileNameW", 0) == 0; });
        ASSERT_NE(reread, calls.rend()) << row.what;
        calls.erase(std::prev(reread.base()), box);
        EXPECT_EQ(standin::calls_named("MessageBoxA"), box_for(row.detail)) << row.what;
        EXPECT_EQ(state().exit_code, 0) << row.what;
        EXPECT_EQ(standin::first_call(row.not_called), -1) << row.what;
        EXPECT_EQ(state().live_allocations, row.allocations_left) << row.what;
        EXPECT_EQ(state().files.size(), 1u) << row.what << ": a temporary file is left";
    }
}

TEST(LoaderSequence, StubStartsOnlyWhenItReadsBackAsThePackageRecordSays) {
    uint32_t table[256];
    sfx_crc32_table(table);
    const uint32_t abc = sfx_crc32_update(table, 0, "abc", 3), ab = sfx_crc32_update(table, 0, "ab", 2);
    const struct { // the stub's size and CRC-32 as recorded
        uint32_t size, crc;
        bool record_spoilt, writes_lost, starts, read_denied = false;
    } cases[] = {{3, abc, false, false, true},      {3, abc, true, false, true} /* as without a record */,
                 {3, abc ^ 1, false, false, false}, {4, abc, false, false, false} /* more than was written */,
                 {2, ab, false, false, false} /* then more than the trailer */, {3, abc, false, true, false},
                 {3, abc, false, false, false, true}};
    for (const auto &c : cases) {
        standin::Config config;
        config.writes_lost = c.writes_lost;
        if (c.read_denied)
            config.unreadable.insert(standin::temp_path());
        Bytes file = loader_file(ABC_PAYLOAD);
        SfxRecord record{SFX_RECORD_VERSION, 0, c.size, c.crc, 0, 0, 0, 0};
        sfx_record_write(table, &record, &file[SFX_RECORD_OFFSET]);
        if (c.record_spoilt)
            file[SFX_RECORD_OFFSET + 9] ^= 1;
        run(config, file);
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        EXPECT_TRUE(state().exit_code == c.starts && (standin::first_call("CreateProcessA") >= 0) == c.starts);
        EXPECT_EQ(standin::calls_named("MessageBoxA"),
                  c.starts ? std::vector<std::string>{}
                           : box_for(c.read_denied ? "Der Zugriff auf eine Datei wurde vom System verweigert."
                                                   : "Die Daten des SFX-Stubs sind fehlerhaft."));
        EXPECT_EQ(state().files.count(standin::temp_path()), 0u);
    }
}

// The record's flags: the stub's exit code, the loader's arguments after the
// stub's quoted path, no box. Without them, as above: the path alone, exit 1.
TEST(LoaderSequence, RecordFlagsPassExitCodeAndArgumentsAndSilenceTheBox) {
    uint32_t table[256];
    sfx_crc32_table(table);
    const std::string temp = standin::temp_path();
    const std::string LAUNCH_A = "CreateProcessA(\"" + temp + "\", \"" + temp + "\", null, null, 0, 48, null, null, ptr, ptr)";
    auto launch_w = [&](const std::string &tail) {
        return "CreateProcessW(null, \"\"" + temp + "\"" + tail + "\", null, null, 1, 32, null, null, ptr, ptr)";
    };
    const Bytes TRUNCATED{0x03, 0, 0, 0, 0x98, 0x43, 0x10};
    const struct {
        uint32_t flags;
        std::wstring command_line;
        Bytes payload;
        bool temp_name_fails;
        std::string launch; // the launch call, or "" for none
        bool box;
        uint32_t exit_code;
    } rows[] = {
        {SFX_FLAG_PASS_EXIT_CODE, L"setup.exe /S", ABC_PAYLOAD, false, LAUNCH_A, false, 7},
        {SFX_FLAG_PASS_ARGUMENTS, L"\"C:\\a b\\setup.exe\"  /S --foo \"bar baz\" ", ABC_PAYLOAD, false,
         launch_w(" /S --foo \"bar baz\" "), false, 1},
        {SFX_FLAG_PASS_ARGUMENTS, L"\"setup.exe\"", ABC_PAYLOAD, false, launch_w(""), false, 1},
        {SFX_FLAG_PASS_EXIT_CODE, L"", TRUNCATED, false, "", true, 0x2000000D},
        {SFX_FLAG_PASS_EXIT_CODE | SFX_FLAG_SILENT, L"", TRUNCATED, false, "", false, 0x2000000D},
        {SFX_FLAG_SILENT, L"", ABC_PAYLOAD, true, "", false, 0}, // before the sequence read the record
        {SFX_FLAG_PASS_EXIT_CODE, L"", ABC_PAYLOAD, true, "", true, 0x20000005},
        // The silent switch first, for a file that takes its arguments: no box.
        {SFX_FLAG_PASS_EXIT_CODE | SFX_FLAG_PASS_ARGUMENTS, L"\"setup.exe\" /SFX:Silent /S", TRUNCATED, false, "",
         false, 0x2000000D},
        {SFX_FLAG_PASS_EXIT_CODE | SFX_FLAG_PASS_ARGUMENTS, L"\"setup.exe\" /sfx:silentx", TRUNCATED, false, "", true,
         0x2000000D},
        {SFX_FLAG_PASS_EXIT_CODE, L"\"setup.exe\" /sfx:silent", TRUNCATED, false, "", true, 0x2000000D},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE("row " + std::to_string(&row - rows));
        standin::Config config;
        config.command_line = row.command_line;
        config.stub_exit_code = 7;
        config.temp_name_fails = row.temp_name_fails;
        Bytes file = loader_file(row.payload);
        SfxRecord record{SFX_RECORD_VERSION, row.flags, 3, sfx_crc32_update(table, 0, "abc", 3), 0, 0, 0, 0};
        sfx_record_write(table, &record, &file[SFX_RECORD_OFFSET]);
        run(config, file);
        std::vector<std::string> launches = standin::calls_named("CreateProcessA");
        for (const std::string &call : standin::calls_named("CreateProcessW"))
            launches.push_back(call);
        EXPECT_EQ(launches, row.launch.empty() ? std::vector<std::string>{} : std::vector<std::string>{row.launch});
        EXPECT_EQ(standin::calls_named("MessageBoxA").size(), row.box ? 1u : 0u);
        EXPECT_EQ(state().exit_code, (int64_t)row.exit_code);
    }
}

TEST(LoaderSequence, DllSearchFallsBackOnOlderSystems) {
    standin::Config older;
    older.has_set_default_dll_directories = false;
    run(older);
    EXPECT_EQ(state().calls[2], "GetProcAddress(28672, \"SetDllDirectoryA\")");
    EXPECT_EQ(state().calls[3], "SetDllDirectoryA(\"\")");
    EXPECT_EQ(state().exit_code, 1);

    standin::Config oldest = older;
    oldest.has_set_dll_directory = false;
    run(oldest);
    EXPECT_EQ(standin::first_call("SetDllDirectoryA"), -1);
    EXPECT_EQ(standin::first_call("SetDefaultDllDirectories"), -1);
    EXPECT_EQ(state().exit_code, 1);
}

TEST(StartError, TextsForEveryCode) {
    const std::pair<int, std::string> cases[] = {
        {2, "Kann SFX-Stub nicht finden"},
        {5, "Der Zugriff auf eine Datei wurde vom System verweigert."},
        {8, "Zuwenig Speicher."},
        {13, "Die Daten des SFX-Stubs sind fehlerhaft."},
        {29, "Die entpackte Datei kann nicht geschrieben werden."},
        {99, ""},
    };
    for (const auto &[code, detail] : cases) {
        standin::reset();
        show_start_error(code);
        EXPECT_EQ(standin::calls_named("MessageBoxA"), box_for(detail)) << code;
    }
}

} // namespace
