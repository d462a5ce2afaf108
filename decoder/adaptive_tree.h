// Adaptive Huffman model. Encoder and decoder run these same steps in
// lockstep, so every tie-break here is part of the payload format.
#pragma once
#include <stdint.h>

struct HuffNode {
    uint32_t weight;
    int32_t parent;  // -1 for the root
    int32_t is_leaf;
    int32_t child;   // internal: first child (second is child + 1); leaf: symbol
};

struct AdaptiveTree {
    int32_t escape_bits;
    uint32_t max_weight;
    int32_t escape_symbol; // n + 1; n itself is the reserved symbol
    int32_t *leaf_index;   // n + 2 entries: leaf of each symbol, or -1
    int32_t next_free;     // nodes in use
    HuffNode *nodes;       // 2n + 3 entries
    // max_weight + 1 entries, in leaf_index's block: for each weight some
    // node has, the lowest index of a node of that weight (the leader of its
    // run); entries of weights no node has are stale and never read.
    int32_t *first_of_weight;
};

// tree_decode's results besides a symbol.
enum {
    TREE_TRUNCATED = -1, // the bit stream ended inside the code
    TREE_MALFORMED = -2, // an escape named a symbol that cannot enter
};

// max_weight must be at least n + 2, so that halved weights sum below it.
int tree_create(AdaptiveTree *tree, int n, uint32_t max_weight, int escape_bits);
void tree_destroy(AdaptiveTree *tree);

// Reads one code from the bit input and updates the model: a symbol 0..n,
// or TREE_TRUNCATED / TREE_MALFORMED.
int tree_decode(AdaptiveTree *tree);

// Splits the last leaf to make room for s. Returns 0, changing nothing, when
// s is outside the alphabet or already in the tree: accepting it twice would
// let a hostile stream grow the tree past its tables.
int tree_add_symbol(AdaptiveTree *tree, int s);
void tree_update(AdaptiveTree *tree, int s);
// Exchanges the subtrees at i and j, weights included; each position keeps
// its parent. The run leaders stay right only for nodes of equal weight,
// the only ones tree_update exchanges.
void tree_swap(AdaptiveTree *tree, int i, int j);
void tree_rebuild(AdaptiveTree *tree);
