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
    state().files[config.module_path] = file;
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
        "GetModuleFileNameA(4194304, 260)",
        "GetWindowsDirectoryA(260)",
        "GetTempFileNameA(\"C:\\WINDOWS\", \"ZRW\", 0)",
        "CreateFileA(\"" + module + "\", 2147483648, 3, null, 3, 128, null)",
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

// The stub gets the decoded bytes, then the module path byte for byte and its length.
TEST(LoaderSequence, TrailerCarriesTheModulePathAndItsLength) {
    const std::pair<std::string, std::string> paths[] = { // module, Windows directory
        {"C:\\Programme\\Pakete\\x.exe", "C:\\WINDOWS"},
        {"C:\\B\xfc" "cher\\Gr\xf6\xdf" "e.exe", "C:\\WIND\xd6WS"},
        {"C:\\" + std::string(250, 'x') + ".exe", "D:\\W"}, // a length of 257 takes both bytes
    };
    for (const auto &[module, windows] : paths) {
        standin::Config config;
        config.module_path = module;
        config.windows_directory = windows;
        run(config);
        std::string expected = "abc" + module + (char)module.size() + (char)(module.size() >> 8);
        EXPECT_EQ(std::string(state().launched_file.begin(), state().launched_file.end()), expected) << module;
        EXPECT_EQ(state().exit_code, 1) << module;
    }
}

TEST(LoaderSequence, FailuresShowOneBoxStartNothingAndExitZero) {
    const std::string ACCESS = "Der Zugriff auf eine Datei wurde vom System verweigert.";
    const std::string BAD_DATA = "Die Daten des SFX-Stubs sind fehlerhaft.";
    const std::string WRITE = "Die entpackte Datei kann nicht geschrieben werden.";
    static const size_t STUB_SIZE = 3 + standin::Config{}.module_path.size() + 2;
    enum Left { NONE, EMPTY, WHOLE };
    const struct {
        const char *what;
        std::function<void(standin::Config &)> configure;
        Bytes payload;
        std::string detail;
        Left temp_left;
        const char *not_called; // a call that must not have been made
        int allocations_left;
    } rows[] = {
        {"no memory for the literal tree", [](auto &c) { c.global_alloc_successes = 0; }, ABC_PAYLOAD,
         "Zuwenig Speicher.", NONE, "GetModuleFileNameA", 0},
        {"no memory for the distance tree", [](auto &c) { c.global_alloc_successes = 2; }, ABC_PAYLOAD,
         "Zuwenig Speicher.", NONE, "GetModuleFileNameA", 2},
        {"module path query fails", [](auto &c) { c.module_path_result = 0; }, ABC_PAYLOAD, ACCESS, NONE,
         "CreateFileA", 4},
        {"module path fills the buffer", [](auto &c) { c.module_path_result = 260; }, ABC_PAYLOAD, ACCESS, NONE,
         "CreateFileA", 4},
        {"Windows directory query fails", [](auto &c) { c.windows_directory_result = 0; }, ABC_PAYLOAD, ACCESS,
         NONE, "CreateFileA", 4},
        {"Windows directory too long", [](auto &c) { c.windows_directory_result = 300; }, ABC_PAYLOAD, ACCESS,
         NONE, "CreateFileA", 4},
        {"no temporary name", [](auto &c) { c.temp_name_fails = true; }, ABC_PAYLOAD, ACCESS, NONE,
         "CreateFileA", 4},
        {"own file unopenable", [](auto &c) { c.unopenable.insert(c.module_path); }, ABC_PAYLOAD, ACCESS, EMPTY,
         "SetFilePointer", 4},
        {"temporary file unopenable", [](auto &c) { c.unopenable.insert(standin::temp_path()); }, ABC_PAYLOAD,
         ACCESS, EMPTY, "SetFilePointer", 4},
        {"truncated", [](auto &) {}, {0x03, 0, 0, 0, 0x98, 0x43, 0x10}, BAD_DATA, NONE, "CreateProcessA", 0},
        {"short header", [](auto &) {}, {0x03, 0}, BAD_DATA, NONE, "CreateProcessA", 0},
        {"escaped twice", [](auto &) {}, {0x02, 0, 0, 0, 0x98, 0x43, 0x08}, BAD_DATA, NONE, "CreateProcessA", 0},
        {"read fails inside the payload", [](auto &c) { c.read_budget = 5; }, ABC_PAYLOAD, BAD_DATA, NONE,
         "CreateProcessA", 0},
        {"stub write fails", [](auto &c) { c.write_budget = 0; }, ABC_PAYLOAD, WRITE, NONE, "CreateProcessA", 0},
        {"path write fails, length fits", [](auto &c) { c.write_budget = 5; }, ABC_PAYLOAD, WRITE, NONE,
         "CreateProcessA", 0},
        {"length write fails", [](auto &c) { c.write_budget = (int64_t)STUB_SIZE - 2; }, ABC_PAYLOAD, WRITE, NONE,
         "CreateProcessA", 0},
        {"launch fails", [](auto &c) { c.create_process_fails = true; }, ABC_PAYLOAD, "Kann SFX-Stub nicht finden",
         WHOLE, "WaitForSingleObject", 0},
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
                                   [](auto &c) { return c.rfind("GetModuleFileNameA", 0) == 0; });
        ASSERT_NE(reread, calls.rend()) << row.what;
        calls.erase(std::prev(reread.base()), box);
        EXPECT_EQ(standin::calls_named("MessageBoxA"), box_for(row.detail)) << row.what;
        EXPECT_EQ(state().exit_code, 0) << row.what;
        EXPECT_EQ(standin::first_call(row.not_called), -1) << row.what;
        EXPECT_EQ(state().live_allocations, row.allocations_left) << row.what;
        auto temp = state().files.find(standin::temp_path());
        EXPECT_EQ(temp == state().files.end() ? NONE : temp->second.empty() ? EMPTY : WHOLE, row.temp_left)
            << row.what;
        if (row.temp_left == WHOLE) {
            EXPECT_EQ(temp->second.size(), STUB_SIZE);
        }
        if (row.temp_left == EMPTY) { // both opens are made
            EXPECT_EQ(standin::calls_named("CreateFileA").size(), 2u) << row.what;
        }
        if (standin::first_call("DeleteFileA") != -1) { // both files closed before the delete
            EXPECT_EQ(standin::calls_named("CloseHandle").size(), 2u) << row.what;
            EXPECT_LT(standin::first_call("CloseHandle"), standin::first_call("DeleteFileA")) << row.what;
        }
    }
}

TEST(LoaderSequence, StubStartsOnlyWhenItReadsBackAsThePackageRecordSays) {
    uint32_t table[256];
    sfx_crc32_table(table);
    const uint32_t abc = sfx_crc32_update(table, 0, "abc", 3), ab = sfx_crc32_update(table, 0, "ab", 2);
    const struct { // the stub's size and CRC-32 as recorded
        uint32_t size, crc;
        bool record_spoilt, writes_lost, starts;
    } cases[] = {{3, abc, false, false, true},      {3, abc, true, false, true} /* as without a record */,
                 {3, abc ^ 1, false, false, false}, {4, abc, false, false, false} /* more than was written */,
                 {2, ab, false, false, false} /* then more than the trailer */, {3, abc, false, true, false}};
    for (const auto &c : cases) {
        standin::Config config;
        config.writes_lost = c.writes_lost;
        Bytes file = loader_file(ABC_PAYLOAD);
        SfxRecord record{SFX_RECORD_VERSION, 0, c.size, c.crc, 0, 0, 0, 0};
        sfx_record_write(table, &record, &file[SFX_RECORD_OFFSET]);
        if (c.record_spoilt)
            file[SFX_RECORD_OFFSET + 9] ^= 1;
        run(config, file);
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        EXPECT_TRUE(state().exit_code == c.starts && (standin::first_call("CreateProcessA") >= 0) == c.starts);
        EXPECT_EQ(standin::calls_named("MessageBoxA"),
                  c.starts ? std::vector<std::string>{} : box_for("Die Daten des SFX-Stubs sind fehlerhaft."));
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
        return "CreateProcessW(null, \"\"" + temp + "\"" + tail + "\", null, null, 0, 48, null, null, ptr, ptr)";
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
