#include <gtest/gtest.h>

#include <vector>

#include "decoder/bit_input.h"
#include "portable/portable_io.h"

namespace {

// Puts the bit reader over 'bytes' for the life of the fixture.
class BitInputTest : public ::testing::Test {
  protected:
    void open(std::vector<uint8_t> bytes) {
        bytes_ = std::move(bytes);
        payload_in = memory_reader_open(bytes_.data(), bytes_.size());
        bits_reset();
    }
    int32_t fetched() { return file_seek(payload_in, 0, 1); }
    void TearDown() override {
        if (payload_in != FILE_INVALID)
            file_close(payload_in);
        payload_in = FILE_INVALID;
    }
    std::vector<uint8_t> bytes_;
};

TEST_F(BitInputTest, ReadsMostSignificantBitFirstAcrossBytes) {
    open({0x98, 0x43});
    EXPECT_EQ(read_bits(1), 1u);
    EXPECT_EQ(read_bits(9), 97u);
    EXPECT_EQ(read_bits(2), 0u);
    EXPECT_EQ(bit_input.mask, 0x08);
    EXPECT_EQ(bit_input.current, 0x43u);
    EXPECT_FALSE(bits_exhausted());
}

TEST_F(BitInputTest, FetchesLazilyOnlyWhenABytesFirstBitIsNeeded) {
    open({0xFF, 0x80, 0x00});
    EXPECT_EQ(read_bits(0), 0u);
    EXPECT_EQ(fetched(), 0);
    EXPECT_EQ(bit_input.mask, 0x80);

    EXPECT_EQ(read_bits(8), 0xFFu);
    EXPECT_EQ(fetched(), 1); // the byte ran out, but the next is not fetched yet
    EXPECT_EQ(read_bits(0), 0u);
    EXPECT_EQ(fetched(), 1);

    EXPECT_EQ(read_bits(9), 0x100u); // all of 0x80 and the top bit of 0x00
    EXPECT_EQ(fetched(), 3);
    EXPECT_EQ(bit_input.mask, 0x40);
}

TEST_F(BitInputTest, WideReadsSpanSeveralBytes) {
    open({0x12, 0x34, 0x56, 0x78, 0x9A});
    EXPECT_EQ(read_bits(4), 0x1u);
    EXPECT_EQ(read_bits(29), (0x2345678u << 1) | 1u);
    EXPECT_EQ(read_bits(3), 0x1u);
}

TEST_F(BitInputTest, EndOfInputIsReportedInsteadOfRepeatingTheLastByte) {
    open({0xA5});
    EXPECT_EQ(read_bits(8), 0xA5u);
    EXPECT_FALSE(bits_exhausted());
    EXPECT_EQ(read_bits(8), 0u);
    EXPECT_TRUE(bits_exhausted());
    EXPECT_EQ(read_bits(1), 0u);
    EXPECT_TRUE(bits_exhausted());
    bits_reset();
    EXPECT_FALSE(bits_exhausted());
}

TEST_F(BitInputTest, EmptyInputIsExhaustedAtTheFirstBit) {
    open({});
    EXPECT_EQ(read_bits(1), 0u);
    EXPECT_TRUE(bits_exhausted());
}

} // namespace
