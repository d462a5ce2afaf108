#include <gtest/gtest.h>

#include <bitset>
#include <random>
#include <string>
#include <vector>

#include "decoder/adaptive_tree.h"
#include "decoder/bit_input.h"
#include "decoder/payload_format.h"
#include "portable/portable_io.h"
#include "support/test_memory.h"

namespace {

struct Tree {
    Tree(int n, uint32_t max_weight, int escape_bits) {
        EXPECT_EQ(tree_create(&t, n, max_weight, escape_bits), 1);
    }
    ~Tree() { tree_destroy(&t); }
    Tree(const Tree &) = delete;
    const HuffNode &node(int i) const { return t.nodes[i]; }
    uint32_t leaf_weight(int s) const { return t.nodes[t.leaf_index[s]].weight; }
    void add(int s) {
        ASSERT_EQ(tree_add_symbol(&t, s), 1);
        tree_update(&t, s);
    }
    AdaptiveTree t{};
};

Tree literal_model() { return {LITERAL_ALPHABET, LITERAL_MAX_WEIGHT, LITERAL_ESCAPE_BITS}; }

// The sibling property and the link tables agree, everywhere.
void expect_consistent(const AdaptiveTree &t) {
    ASSERT_EQ(t.nodes[0].parent, -1);
    ASSERT_TRUE(t.nodes[t.next_free - 1].is_leaf);
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

// The code of symbol s as a string of 0s and 1s, root first.
std::string code_of(const AdaptiveTree &t, int s) {
    std::string code;
    for (int i = t.leaf_index[s]; i != 0; i = t.nodes[i].parent)
        code.insert(code.begin(), i == t.nodes[t.nodes[i].parent].child ? '0' : '1');
    return code;
}

// Feeds tree_decode from a string of 0s and 1s.
class BitString {
  public:
    explicit BitString(const std::string &bits) : bytes_((bits.size() + 7) / 8) {
        for (size_t i = 0; i < bits.size(); i++)
            if (bits[i] == '1')
                bytes_[i / 8] |= (uint8_t)(0x80 >> (i % 8));
        payload_in = memory_reader_open(bytes_.data(), bytes_.size());
        bits_reset();
    }
    ~BitString() { file_close(payload_in); }

  private:
    std::vector<uint8_t> bytes_;
};

std::string bits9(int value) { return std::bitset<9>(value).to_string(); }

std::string joined(std::initializer_list<std::string> parts) {
    std::string all;
    for (const std::string &part : parts)
        all += part;
    return all;
}

TEST(AdaptiveTree, FreshTreeCodesReservedAsZeroAndEscapeAsOne) {
    for (auto [n, bits] : {std::pair{512, 9}, std::pair{30, 4}}) {
        Tree tree(n, 1024, bits);
        EXPECT_EQ(code_of(tree.t, n), "0");
        EXPECT_EQ(code_of(tree.t, n + 1), "1");
        BitString input("0");
        EXPECT_EQ(tree_decode(&tree.t), n);
    }
}

TEST(AdaptiveTree, WorkedExampleAddingNinetySevenThenNinetyEight) {
    Tree tree = literal_model();
    BitString input(joined({"1", bits9(97), "00", bits9(98)}));

    ASSERT_EQ(tree_decode(&tree.t), 97);
    EXPECT_EQ(tree.node(0).weight, 3u);
    EXPECT_FALSE(tree.node(1).is_leaf);
    EXPECT_EQ(tree.node(1).weight, 2u);
    EXPECT_EQ(tree.node(2).child, 512);
    EXPECT_EQ(tree.node(3).child, 513);
    EXPECT_EQ(tree.node(4).child, 97);
    EXPECT_EQ(code_of(tree.t, 513), "00");
    EXPECT_EQ(code_of(tree.t, 97), "01");
    EXPECT_EQ(code_of(tree.t, 512), "1");

    ASSERT_EQ(tree_decode(&tree.t), 98);
    EXPECT_EQ(tree.node(1).weight, 2u);
    EXPECT_EQ(tree.node(2).weight, 2u);
    EXPECT_EQ(tree.node(3).child, 513);
    EXPECT_EQ(tree.node(4).child, 512);
    EXPECT_EQ(tree.node(5).child, 97);
    EXPECT_EQ(tree.node(6).child, 98);
    EXPECT_EQ(code_of(tree.t, 513), "00");
    EXPECT_EQ(code_of(tree.t, 512), "01");
    EXPECT_EQ(code_of(tree.t, 97), "10");
    EXPECT_EQ(code_of(tree.t, 98), "11");
    expect_consistent(tree.t);
}

TEST(AdaptiveTree, UpdateSwapsWithTheFirstNodeOfTheFormerWeight) {
    Tree tree = literal_model();
    tree.add(97);
    tree.add(98);
    // Nodes 3, 4 and 5 all weigh 1; symbol 98 at node 6 overtakes all three.
    tree_update(&tree.t, 98);
    EXPECT_EQ(tree.t.leaf_index[98], 3);
    EXPECT_EQ(tree.t.leaf_index[513], 6);
    EXPECT_EQ(code_of(tree.t, 98), "00");
    EXPECT_EQ(code_of(tree.t, 513), "11");
    expect_consistent(tree.t);
}

TEST(AdaptiveTree, DistanceTreeRebuildsAtTheFirstUpdateAfterTheRootReachesMax) {
    Tree tree(DISTANCE_ALPHABET, DISTANCE_MAX_WEIGHT, DISTANCE_ESCAPE_BITS);
    tree.add(0);
    while (tree.node(0).weight < 256)
        tree_update(&tree.t, 0);
    EXPECT_EQ(tree.leaf_weight(0), 254u);
    tree_update(&tree.t, 0);
    EXPECT_EQ(tree.leaf_weight(0), 128u); // halved to 127, then counted
    EXPECT_EQ(tree.leaf_weight(30), 1u);
    EXPECT_EQ(tree.leaf_weight(31), 1u);
    EXPECT_EQ(tree.node(0).weight, 130u);
    expect_consistent(tree.t);
}

TEST(AdaptiveTree, RebuildPlacesAnInternalNodeAheadOfALeafOfEqualWeight) {
    Tree tree(LITERAL_ALPHABET, 1024, LITERAL_ESCAPE_BITS);
    tree.add(97);
    for (int i = 0; i < 3; i++)
        tree_update(&tree.t, 97); // 97 weighs 4, the other two leaves 1
    tree_rebuild(&tree.t);
    EXPECT_FALSE(tree.node(1).is_leaf);
    EXPECT_EQ(tree.node(1).weight, 2u);
    EXPECT_TRUE(tree.node(2).is_leaf);
    EXPECT_EQ(tree.node(2).child, 97);
    EXPECT_EQ(tree.node(2).weight, 2u);
    EXPECT_EQ(tree.node(0).parent, -1);
    expect_consistent(tree.t);
}

TEST(AdaptiveTree, RebuildRightAfterAnEscapeKeepsTheNewLeafLastAtZero) {
    Tree tree(LITERAL_ALPHABET, 4, LITERAL_ESCAPE_BITS);
    tree.add(97);
    tree_update(&tree.t, 97); // root reaches 4
    ASSERT_EQ(tree_add_symbol(&tree.t, 98), 1);
    tree_rebuild(&tree.t);
    EXPECT_EQ(tree.t.leaf_index[98], tree.t.next_free - 1);
    EXPECT_EQ(tree.leaf_weight(98), 0u);

    Tree same(LITERAL_ALPHABET, 4, LITERAL_ESCAPE_BITS);
    same.add(97);
    tree_update(&same.t, 97);
    same.add(98); // this update runs the rebuild itself
    EXPECT_EQ(same.leaf_weight(98), 1u);
    expect_consistent(same.t);
}

TEST(AdaptiveTree, RefusesASymbolThatIsAlreadyPresentOrOutsideTheAlphabet) {
    Tree tree = literal_model();
    tree.add(97);
    int before = tree.t.next_free;
    EXPECT_EQ(tree_add_symbol(&tree.t, 97), 0);
    EXPECT_EQ(tree_add_symbol(&tree.t, 512), 0);
    EXPECT_EQ(tree_add_symbol(&tree.t, 513), 0);
    EXPECT_EQ(tree_add_symbol(&tree.t, -1), 0);
    EXPECT_EQ(tree.t.next_free, before);

    BitString input(joined({"00", bits9(97)}));
    EXPECT_EQ(tree_decode(&tree.t), TREE_MALFORMED);
}

TEST(AdaptiveTree, DecodeReportsAStreamEndingInsideACode) {
    Tree tree = literal_model();
    BitString input(joined({"1", bits9(97).substr(0, 7)})); // 7 of 9 bits
    EXPECT_EQ(tree_decode(&tree.t), TREE_TRUNCATED);
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
            EXPECT_LE(tree.node(0).weight, max_weight);
        }
    }
}

TEST(AdaptiveTree, CreateReleasesWhatItGotWhenAnAllocationFails) {
    for (int successes : {0, 1}) {
        test_memory::fail_after(successes);
        AdaptiveTree t{};
        EXPECT_EQ(tree_create(&t, 512, 1024, 9), 0);
        test_memory::fail_after(-1);
        EXPECT_EQ(test_memory::live_blocks(), 0);
    }
    {
        Tree tree = literal_model();
        EXPECT_EQ(test_memory::live_blocks(), 2);
    }
    EXPECT_EQ(test_memory::live_blocks(), 0);
}

} // namespace
