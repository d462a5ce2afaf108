// The bit reader and the adaptive tree on their own. Tie-breaks of the tree
// are pinned by the encoder's recorded payloads; these check what those
// cannot: lazy fetching, the tree's invariants and its refusals.
#include <gtest/gtest.h>

#include <random>
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

struct Tree {
    Tree(int n, uint32_t max_weight, int escape_bits) { EXPECT_EQ(tree_create(&t, n, max_weight, escape_bits), 1); }
    ~Tree() { tree_destroy(&t); }
    Tree(const Tree &) = delete;
    uint32_t leaf_weight(int s) const { return t.nodes[t.leaf_index[s]].weight; }
    void add(int s) {
        ASSERT_EQ(tree_add_symbol(&t, s), 1);
        tree_update(&t, s);
    }
    AdaptiveTree t{};
};

// The sibling property and the link tables agree, everywhere.
void expect_consistent(const AdaptiveTree &t) {
    ASSERT_EQ(t.nodes[0].parent, -1);
    for (int i = 0; i < t.next_free; i++) {
        const HuffNode &node = t.nodes[i];
        if (i + 1 < t.next_free) {
            ASSERT_GE(node.weight, t.nodes[i + 1].weight) << "at node " << i;
        }
        if (node.is_leaf) {
            ASSERT_EQ(t.leaf_index[node.child], i);
            continue;
        }
        ASSERT_GT(node.child, i);
        ASSERT_EQ(t.nodes[node.child].parent, i);
        ASSERT_EQ(t.nodes[node.child + 1].parent, i);
        ASSERT_EQ(node.weight, t.nodes[node.child].weight + t.nodes[node.child + 1].weight);
    }
    ASSERT_EQ(t.nodes[t.leaf_index[t.escape_symbol]].weight, 1u);
}

TEST(AdaptiveTree, StaysConsistentThroughManyEscapesUpdatesAndRebuilds) {
    for (uint32_t max_weight : {8u, 64u, 1024u}) {
        Tree tree(LITERAL_ALPHABET, max_weight, LITERAL_ESCAPE_BITS);
        std::mt19937 random(max_weight);
        for (int step = 0; step < 20000; step++) {
            int s = (int)(random() % 64 == 0 ? random() % 512 : random() % 24);
            if (tree.t.leaf_index[s] == -1) {
                ASSERT_EQ(tree_add_symbol(&tree.t, s), 1);
            }
            tree_update(&tree.t, s);
            if (step % 97 == 0)
                expect_consistent(tree.t);
        }
        expect_consistent(tree.t);
        if (max_weight == LITERAL_MAX_WEIGHT) { // every leaf halves below it
            EXPECT_LE(tree.t.nodes[0].weight, max_weight);
        }
    }
}

TEST(AdaptiveTree, DistanceTreeRebuildsAtTheFirstUpdateAfterTheRootReachesMax) {
    Tree tree(DISTANCE_ALPHABET, DISTANCE_MAX_WEIGHT, DISTANCE_ESCAPE_BITS);
    tree.add(0);
    while (tree.t.nodes[0].weight < 256)
        tree_update(&tree.t, 0);
    EXPECT_EQ(tree.leaf_weight(0), 254u);
    tree_update(&tree.t, 0);
    EXPECT_EQ(tree.leaf_weight(0), 128u); // halved to 127, then counted
    EXPECT_EQ(tree.leaf_weight(30), 1u);
    EXPECT_EQ(tree.leaf_weight(31), 1u);
    EXPECT_EQ(tree.t.nodes[0].weight, 130u);
    expect_consistent(tree.t);
}

TEST(AdaptiveTree, RefusesASymbolThatIsAlreadyPresentOrOutsideTheAlphabet) {
    Tree tree(LITERAL_ALPHABET, LITERAL_MAX_WEIGHT, LITERAL_ESCAPE_BITS);
    tree.add(97);
    int before = tree.t.next_free;
    for (int s : {97, 512, 513, -1})
        EXPECT_EQ(tree_add_symbol(&tree.t, s), 0) << s;
    EXPECT_EQ(tree.t.next_free, before);
}

} // namespace
