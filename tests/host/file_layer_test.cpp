#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "host/file_layer.h"
#include "standin/win32_standin.h"

namespace {

using standin::state;

// Each call's result and what it leaves in file_error, in order on one file.
TEST(FileLayer, ResultsAndErrorCodes) {
    standin::reset();
    state().files["C:\\f"] = {1, 2, 3, 4};
    HANDLE handle = INVALID_HANDLE_VALUE;
    auto opened = [&](const char *path, const char *mode) {
        handle = file_open(path, mode);
        return handle == INVALID_HANDLE_VALUE ? -1 : 1;
    };
    char buffer[8] = {};
    const struct {
        const char *what;
        std::function<int64_t()> call;
        int64_t result;
        int32_t error; // 77: left as it was
    } rows[] = {
        {"mode Rb", [&] { return opened("C:\\f", "Rb"); }, -1, FILE_ERR_BAD_MODE},
        {"mode a", [&] { return opened("C:\\f", "a"); }, -1, FILE_ERR_BAD_MODE},
        {"mode +r", [&] { return opened("C:\\f", "+r"); }, -1, FILE_ERR_BAD_MODE},
        {"open wb truncates", [&] { return opened("C:\\f", "wb") + (int64_t)state().files["C:\\f"].size(); }, 1, 0},
        {"write", [&] { return file_write("xyz", 3, handle); }, 3, 0},
        {"close", [&] { return file_close(handle); }, 0, 0},
        {"open r", [&] { return opened("C:\\f", "r"); }, 1, 0},
        {"seek from the start", [&] { return file_seek(handle, 1, 0); }, 1, 0},
        {"read", [&] { return file_read(buffer, 8, handle) + 10 * std::strcmp(buffer, "yz"); }, 2, 0},
        {"read at the end", [&] { return file_read(buffer, 8, handle); }, 0, 0},
        {"seek from the end", [&] { return file_seek(handle, -1, 2); }, 2, 0},
        {"seek before the start", [&] { return file_seek(handle, -5, 1); }, -1, 131},
        {"seek from here", [&] { return file_seek(handle, 0, 1); }, 2, 0},
        {"close", [&] { return file_close(handle); }, 0, 0},
        {"close again", [&] { return file_close(handle); }, -1, 6},
        {"read a closed handle", [&] { return file_read(buffer, 1, handle); }, -1, 6},
        {"write a closed handle", [&] { return file_write("x", 1, handle); }, -1, 6},
        {"open a missing file", [&] { return opened("C:\\missing", "rb"); }, -1, 2},
        {"delete", [&] { return file_delete("C:\\f"); }, 0, 77},
        {"delete a missing file", [&] { return file_delete("C:\\f"); }, 2, 2},
    };
    for (const auto &row : rows) {
        file_error = 77;
        EXPECT_EQ(row.call(), row.result) << row.what;
        EXPECT_EQ(file_error, row.error) << row.what;
    }
    EXPECT_EQ(standin::calls_named("CreateFileA").size(), 3u); // bad modes make no call
}

// Byte-at-a-time reads (the decoder's) cost one ReadFile per buffer, and
// the bytes, positions and errors are those of unbuffered reads: after a
// seek, across two files read in turn, and when the system fails midway.
TEST(FileLayer, ReadsAheadWithoutChangingWhatIsRead) {
    standin::reset();
    std::vector<uint8_t> a(40000), b(100, 0xB0);
    for (size_t i = 0; i < a.size(); i++)
        a[i] = (uint8_t)(i * 7 + i / 256);
    state().files["C:\\a"] = a;
    state().files["C:\\b"] = b;
    HANDLE fa = file_open("C:\\a", "rb"), fb = file_open("C:\\b", "rb");
    uint8_t byte = 0;
    bool same = true;
    for (size_t i = 0; i < a.size(); i++)
        same = same && file_read(&byte, 1, fa) == 1 && byte == a[i];
    EXPECT_TRUE(same);
    EXPECT_EQ(file_read(&byte, 1, fa), 0);
    EXPECT_LE(standin::calls_named("ReadFile").size(), 5u);

    EXPECT_EQ(file_seek(fa, 100, 0), 100);
    EXPECT_EQ(file_read(&byte, 1, fa), 1);
    EXPECT_EQ(byte, a[100]);
    EXPECT_EQ(file_seek(fa, 0, 1), 101); // what was read, not what the buffer holds
    EXPECT_EQ(file_read(&byte, 1, fb), 1);
    EXPECT_EQ(byte, 0xB0);
    EXPECT_EQ(file_read(&byte, 1, fa), 1);
    EXPECT_EQ(byte, a[101]);
    file_close(fa);
    file_close(fb);

    standin::reset();
    state().files["C:\\a"] = a;
    state().config.read_budget = 0;
    fa = file_open("C:\\a", "rb");
    file_error = 0;
    EXPECT_EQ(file_read(&byte, 1, fa), -1);
    EXPECT_EQ(file_error, 23);
    file_close(fa);
}

// Up to and with the terminator, nothing after it; ANSI paths hold bytes
// above 0x7F, negative where char is signed.
TEST(FileLayer, StringCopyStopsAtTheTerminator) {
    const struct {
        std::string source, copied; // copied: the first bytes of "xxxxxxxx" after the copy
    } rows[] = {
        {std::string("ab\0\1c", 5), std::string("ab\0x", 4)},
        {"C:\\\xfc" "ch", std::string("C:\\\xfc" "ch\0x", 8)},
    };
    for (const auto &row : rows) {
        char text[] = "xxxxxxxx";
        EXPECT_EQ(str_copy(text, row.source.c_str()), text);
        EXPECT_EQ(std::string(text, row.copied.size()), row.copied) << row.source;
    }
}

} // namespace
