// The bit reader and the adaptive tree on their own. The tree's every step
// and tie-break is pinned by the encoder's recorded payloads; these check
// what those cannot: lazy fetching, and symbols no payload can name.
#include <gtest/gtest.h>

#include <vector>

#include "decoder/adaptive_tree.h"
#include "decoder/bit_input.h"
#include "decoder/payload_format.h"
#include "portable/portable_io.h"

namespace {

// Puts the bit reader over 'bytes' for the life of the object.
struct BitSource {
    explicit BitSource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {
        payload_in = memory_reader_open(bytes_.data(), bytes_.size());
        bits_reset();
    }
    ~BitSource() { file_close(payload_in); }
    int32_t fetched() { return file_seek(payload_in, 0, 1); }
    std::vector<uint8_t> bytes_;
};

TEST(BitInput, ReadsMostSignificantBitFirstFetchingEachByteOnlyWhenNeeded) {
    BitSource input({0x98, 0x43, 0x56, 0x78, 0x9A});
    EXPECT_EQ(read_bits(0), 0u);
    EXPECT_EQ(input.fetched(), 0);
    EXPECT_EQ(read_bits(1), 1u);
    EXPECT_EQ(read_bits(7), 0x18u);
    EXPECT_EQ(input.fetched(), 1); // the byte ran out, but the next is not fetched yet
    EXPECT_EQ(read_bits(29), 0x43u << 21 | 0x56u << 13 | 0x78u << 5 | 0x9Au >> 3);
    EXPECT_EQ(input.fetched(), 5);
    EXPECT_FALSE(bits_exhausted());
    EXPECT_EQ(read_bits(3), 0x2u);
    EXPECT_FALSE(bits_exhausted());
    EXPECT_EQ(read_bits(8), 0u);
    EXPECT_TRUE(bits_exhausted());
    bits_reset();
    EXPECT_FALSE(bits_exhausted());
}

TEST(AdaptiveTree, RefusesASymbolThatIsAlreadyPresentOrOutsideTheAlphabet) {
    AdaptiveTree tree{};
    ASSERT_EQ(tree_create(&tree, LITERAL_ALPHABET, LITERAL_MAX_WEIGHT, LITERAL_ESCAPE_BITS), 1);
    ASSERT_EQ(tree_add_symbol(&tree, 97), 1);
    int before = tree.next_free;
    for (int s : {97, 512, 513, -1})
        EXPECT_EQ(tree_add_symbol(&tree, s), 0) << s;
    EXPECT_EQ(tree.next_free, before);
    tree_destroy(&tree);
}

} // namespace
