#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "host/file_layer.h"
#include "standin/win32_standin.h"

namespace {

using standin::state;
using Bytes = std::vector<uint8_t>;

TEST(FileLayer, ModesOtherThanLowerCaseRAndWAreRefusedWithoutASystemCall) {
    for (const char *mode : {"Rb", "Wb", "a", "", "+r"}) {
        standin::reset();
        state().files["C:\\f"] = {1};
        file_error = 0;
        EXPECT_EQ(file_open("C:\\f", mode), INVALID_HANDLE_VALUE) << mode;
        EXPECT_EQ(file_error, -99);
        EXPECT_TRUE(state().calls.empty());
    }
}

TEST(FileLayer, OpenReadWriteSeekAndTheirErrors) {
    standin::reset();
    state().files["C:\\old"] = {1, 2, 3, 4};
    HANDLE out = file_open("C:\\old", "wb");
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(state().files["C:\\old"].empty()); // "wb" truncates
    EXPECT_EQ(file_write("xyz", 3, out), 3);
    EXPECT_EQ(file_close(out), 0);

    HANDLE in = file_open("C:\\old", "r");
    char buffer[8] = {};
    EXPECT_EQ(file_seek(in, 1, 0), 1);
    EXPECT_EQ(file_read(buffer, 8, in), 2);
    EXPECT_STREQ(buffer, "yz");
    EXPECT_EQ(file_read(buffer, 8, in), 0); // end of file is no error
    EXPECT_EQ(file_error, 0);
    EXPECT_EQ(file_seek(in, -1, 2), 2);
    EXPECT_EQ(file_seek(in, -5, 1), -1);
    EXPECT_NE(file_error, 0);
    EXPECT_EQ(file_seek(in, 0, 1), 2); // success clears the error
    EXPECT_EQ(file_error, 0);
    EXPECT_EQ(file_close(in), 0);
    EXPECT_EQ(file_close(in), -1);

    EXPECT_EQ(file_open("C:\\missing", "rb"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(file_error, 2);
}

TEST(FileLayer, DeleteReportsTheSystemCodeAndKeepsErrorOnSuccess) {
    standin::reset();
    state().files["C:\\f"] = {};
    file_error = 77;
    EXPECT_EQ(file_delete("C:\\f"), 0u);
    EXPECT_EQ(file_error, 77);
    EXPECT_EQ(file_delete("C:\\f"), 2u);
    EXPECT_EQ(file_error, 2);
}

TEST(FileLayer, ByteRoutinesMatchTheStandardOnes) {
    for (int shift : {-5, -1, 0, 1, 5, 40}) {
        std::vector<uint8_t> ours(80), theirs(80);
        std::iota(ours.begin(), ours.end(), 0);
        theirs = ours;
        uint8_t *src = ours.data() + 10, *dst = ours.data() + 10 + shift;
        EXPECT_EQ(mem_move(dst, src, 20), dst);
        std::memmove(theirs.data() + 10 + shift, theirs.data() + 10, 20);
        EXPECT_EQ(ours, theirs) << "shift " << shift;
    }
    char text[8];
    EXPECT_EQ(str_copy(text, "abc"), text);
    EXPECT_STREQ(text, "abc");
    EXPECT_EQ(mem_fill(text, 0x141, 3), text);
    EXPECT_EQ(std::string(text, 4), std::string("AAA\0", 4));
}

TEST(FileLayer, HeapGoesThroughGlobalAlloc) {
    standin::reset();
    void *p = mem_alloc(100);
    ASSERT_NE(p, nullptr);
    mem_free(p);
    EXPECT_EQ(state().calls, (std::vector<std::string>{"GlobalAlloc(0, 100)", "GlobalFree(ptr)"}));
}

} // namespace
