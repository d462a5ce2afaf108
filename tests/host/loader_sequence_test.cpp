#include <gtest/gtest.h>

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
const Bytes TRUNCATED_PAYLOAD{0x03, 0, 0, 0, 0x98, 0x43, 0x10};
const Bytes ESCAPED_TWICE_PAYLOAD{0x02, 0, 0, 0, 0x98, 0x43, 0x08};

const std::string CLOSING = "\r\nSFX kann nicht gestartet werden";

// A loader file: some image bytes, zeros up to 32768, then the payload.
Bytes loader_file(const Bytes &payload) {
    Bytes file(32768, 0);
    for (int i = 0; i < 600; i++)
        file[i] = (uint8_t)(i * 7);
    file.insert(file.end(), payload.begin(), payload.end());
    return file;
}

class LoaderSequence : public ::testing::Test {
  protected:
    void run(const Bytes &payload = ABC_PAYLOAD, standin::Config config = {}) {
        standin::reset(config);
        state().files[config.module_path] = loader_file(payload);
        loader_entry();
    }
    bool temp_exists() { return state().files.count(standin::temp_path()) > 0; }
};

std::vector<std::string> messages() { return standin::calls_named("MessageBoxA"); }

std::string message_call(const std::string &detail) {
    return "MessageBoxA(null, \"Fehler : " + detail + CLOSING + "\", null, 16)";
}

TEST_F(LoaderSequence, SuccessfulRunCallsEverythingWithTheDescribedArguments) {
    run();
    const std::string module = state().config.module_path;
    const std::string temp = standin::temp_path();
    std::vector<std::string> expected_in_order{
        "CreateWindowExA(0, \"EDIT\", \"\", 13565952, 0, 0, 0, 0, null, null, 4194304, null)",
        "PostMessageA(4096, 0, 0, 0)",
        "GetMessageA(ptr, 4096, 0, 0)",
        "DestroyWindow(4096)",
        "GetModuleFileNameA(ptr, 260)",
        "GetWindowsDirectoryA(260)",
        "GetTempFileNameA(\"C:\\WINDOWS\", \"ZRW\", 0)",
        "CreateFileA(\"" + module + "\", 2147483648, 3, null, 3, 128, null)",
        "CreateFileA(\"" + temp + "\", 1073741824, 3, null, 2, 128, null)",
        "SetFilePointer(ptr, 32768, null, 0)",
        "CreateProcessA(\"" + temp + "\", \"" + temp + "\", null, null, 0, 48, null, null, ptr, ptr)",
        "WaitForSingleObject(8192, 4294967295)",
        "DeleteFileA(\"" + temp + "\")",
        "ExitProcess(1)",
    };
    size_t at = 0;
    for (const std::string &call : state().calls)
        if (at < expected_in_order.size() && call == expected_in_order[at])
            at++;
    EXPECT_EQ(at, expected_in_order.size()) << "missing or out of order: " << expected_in_order[std::min(at, expected_in_order.size() - 1)];

    EXPECT_EQ(standin::calls_named("GlobalAlloc").size(), 4u);
    for (const std::string &call : standin::calls_named("GlobalAlloc"))
        EXPECT_EQ(call.rfind("GlobalAlloc(0, ", 0), 0u) << call;
    EXPECT_EQ(state().live_allocations, 0);
    EXPECT_TRUE(messages().empty());
    EXPECT_FALSE(temp_exists());
}

TEST_F(LoaderSequence, StubGetsDecodedBytesThenTheModulePathAndItsLength) {
    standin::Config config;
    config.module_path = "C:\\Programme\\Pakete\\x.exe"; // 25 characters
    ASSERT_EQ(config.module_path.size(), 25u);
    run(ABC_PAYLOAD, config);
    Bytes expected{'a', 'b', 'c'};
    expected.insert(expected.end(), config.module_path.begin(), config.module_path.end());
    expected.push_back(0x19);
    expected.push_back(0x00);
    EXPECT_EQ(state().launched_file, expected);

    const STARTUPINFOA &startup = state().launch_startup;
    EXPECT_EQ(startup.cb, sizeof(STARTUPINFOA));
    EXPECT_EQ(startup.dwFlags, 0x81u);
    EXPECT_EQ(startup.wShowWindow, 5);
    EXPECT_EQ(startup.lpDesktop, nullptr);
}

TEST_F(LoaderSequence, NonAsciiModulePathIsAppendedByteForByte) {
    standin::Config config;
    config.module_path = "C:\\B\xfc" "cher\\Gr\xf6\xdf" "e.exe";
    run(ABC_PAYLOAD, config);
    const Bytes &file = state().launched_file;
    ASSERT_EQ(file.size(), 3 + config.module_path.size() + 2);
    EXPECT_EQ(std::string(file.begin() + 3, file.end() - 2), config.module_path);
}

TEST_F(LoaderSequence, OutOfMemoryShowsCodeEightAndSkipsDestroy) {
    for (int successes : {0, 2}) { // the literal tree fails, or only the distance tree
        standin::Config config;
        config.global_alloc_successes = successes;
        run(ABC_PAYLOAD, config);
        EXPECT_EQ(messages(), std::vector<std::string>{message_call("Zuwenig Speicher.")});
        EXPECT_EQ(state().exit_code, 0);
        EXPECT_EQ(standin::first_call("GetModuleFileNameA"), -1);
        EXPECT_EQ(standin::first_call("GetTempFileNameA"), -1);
        // tree_create released what it got; the literal tree stays when only the distance tree failed.
        EXPECT_EQ(state().live_allocations, successes);
    }
}

TEST_F(LoaderSequence, UnopenableFilesShowCodeFiveAndLeaveTheEmptyTempFile) {
    for (bool module_fails : {true, false}) {
        standin::Config config;
        config.unopenable.insert(module_fails ? config.module_path : standin::temp_path());
        run(ABC_PAYLOAD, config);
        EXPECT_EQ(standin::calls_named("CreateFileA").size(), 2u); // both opens are made
        EXPECT_EQ(messages(),
                  std::vector<std::string>{message_call("Der Zugriff auf eine Datei wurde vom System verweigert.")});
        EXPECT_EQ(state().exit_code, 0);
        EXPECT_TRUE(temp_exists());
        EXPECT_TRUE(state().files[standin::temp_path()].empty());
        EXPECT_EQ(standin::first_call("CreateProcessA"), -1);
    }
}

TEST_F(LoaderSequence, StubStartsOnlyWhenItReadsBackAsThePackageRecordSays) {
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
        SfxRecord record{c.size, c.crc, 0, 0, 0, 0};
        sfx_record_write(table, &record, &file[SFX_RECORD_OFFSET]);
        if (c.record_spoilt)
            file[SFX_RECORD_OFFSET + 9] ^= 1;
        standin::reset(config);
        state().files[config.module_path] = file;
        loader_entry();
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        EXPECT_TRUE(state().exit_code == c.starts && (standin::first_call("CreateProcessA") >= 0) == c.starts);
        EXPECT_EQ(messages(), std::vector<std::string>(!c.starts, message_call("Die Daten des SFX-Stubs sind fehlerhaft.")));
        EXPECT_FALSE(temp_exists());
    }
}

TEST_F(LoaderSequence, FailedLaunchShowsCodeTwoAndLeavesTheCompleteStub) {
    standin::Config config;
    config.create_process_fails = true;
    run(ABC_PAYLOAD, config);
    EXPECT_EQ(messages(), std::vector<std::string>{message_call("Kann SFX-Stub nicht finden")});
    EXPECT_EQ(state().exit_code, 0);
    ASSERT_TRUE(temp_exists());
    EXPECT_EQ(state().files[standin::temp_path()].size(), 3 + config.module_path.size() + 2);
    EXPECT_EQ(standin::first_call("WaitForSingleObject"), -1);
}

TEST_F(LoaderSequence, DamagedPayloadIsNeverStarted) {
    for (const Bytes &payload : {TRUNCATED_PAYLOAD, ESCAPED_TWICE_PAYLOAD, Bytes{0x03, 0}}) {
        run(payload);
        EXPECT_EQ(messages(), std::vector<std::string>{message_call("Die Daten des SFX-Stubs sind fehlerhaft.")});
        EXPECT_EQ(state().exit_code, 0);
        EXPECT_EQ(standin::first_call("CreateProcessA"), -1);
        EXPECT_FALSE(temp_exists());
        EXPECT_EQ(standin::calls_named("CloseHandle").size(), 2u);
        EXPECT_LT(standin::first_call("CloseHandle"), standin::first_call("DeleteFileA"));
    }
}

TEST_F(LoaderSequence, FailedWritesAreCodeTwentyNineTrailerIncluded) {
    const int64_t path_length = (int64_t)standin::Config{}.module_path.size();
    for (int64_t budget : {(int64_t)0, (int64_t)3, 3 + path_length}) { // the stub, the path, its length
        standin::Config config;
        config.write_budget = budget;
        run(ABC_PAYLOAD, config);
        EXPECT_EQ(messages(),
                  std::vector<std::string>{message_call("Die entpackte Datei kann nicht geschrieben werden.")})
            << "budget " << budget;
        EXPECT_EQ(state().exit_code, 0);
        EXPECT_EQ(standin::first_call("CreateProcessA"), -1);
        EXPECT_FALSE(temp_exists());
    }
}

TEST_F(LoaderSequence, FailedOrTruncatedPathQueriesAreCodeFive) {
    auto configure = [](int which, int64_t result) {
        standin::Config config;
        if (which == 0)
            config.module_path_result = result;
        else if (which == 1)
            config.windows_directory_result = result;
        else
            config.temp_name_fails = true;
        return config;
    };
    for (int which = 0; which < 3; which++)
        for (int64_t result : {0, 260, 300}) {
            if (which == 2 && result != 0)
                continue;
            run(ABC_PAYLOAD, configure(which, result));
            EXPECT_EQ(messages(),
                      std::vector<std::string>{message_call("Der Zugriff auf eine Datei wurde vom System verweigert.")});
            EXPECT_EQ(standin::first_call("CreateFileA"), -1);
            EXPECT_EQ(state().exit_code, 0);
        }
}

TEST_F(LoaderSequence, DllSearchIsRestrictedBeforeAnythingElse) {
    run();
    ASSERT_GE(state().calls.size(), 3u);
    EXPECT_EQ(state().calls[0], "GetModuleHandleA(\"KERNEL32.DLL\")");
    EXPECT_EQ(state().calls[1], "GetProcAddress(28672, \"SetDefaultDllDirectories\")");
    EXPECT_EQ(state().calls[2], "SetDefaultDllDirectories(2048)");
    EXPECT_LT(2, standin::first_call("CreateWindowExA"));
    EXPECT_EQ(standin::first_call("SetDllDirectoryA"), -1);

    standin::Config older;
    older.has_set_default_dll_directories = false;
    run(ABC_PAYLOAD, older);
    EXPECT_EQ(state().calls[2], "GetProcAddress(28672, \"SetDllDirectoryA\")");
    EXPECT_EQ(state().calls[3], "SetDllDirectoryA(\"\")");
    EXPECT_EQ(state().exit_code, 1);

    standin::Config oldest = older;
    oldest.has_set_dll_directory = false;
    run(ABC_PAYLOAD, oldest);
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
        EXPECT_EQ(messages(), std::vector<std::string>{message_call(detail)}) << code;
    }
}

} // namespace
