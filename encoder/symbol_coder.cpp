#include "symbol_coder.h"

#include <algorithm>
#include <new>

SymbolCoder::SymbolCoder(int alphabet, uint32_t max_weight, int escape_bits)
    : alphabet_(alphabet), depth_(2 * alphabet + 3) {
    if (!tree_create(&tree_, alphabet, max_weight, escape_bits))
        throw std::bad_alloc();
}

SymbolCoder::~SymbolCoder() { tree_destroy(&tree_); }

void write_tree_path(const AdaptiveTree &tree, int node, BitWriter &out) {
    // The path is read leaf to root and written back to front; capped
    // weights keep trees far shallower than 64 levels. Siblings always sit
    // at an odd index and the even one after it (the tree starts so, new
    // pairs are made at the end of the table and rebuilds pair from the
    // end), so a node's own index says which child it is.
    uint64_t bits = 0;
    int length = 0;
    for (; node != 0; node = tree.nodes[node].parent, length++)
        bits |= (uint64_t)(~node & 1) << length;
    if (length > 32) {
        length -= 32;
        out.put((uint32_t)(bits >> length), 32);
    }
    out.put((uint32_t)bits, length);
}

void SymbolCoder::encode(int symbol, BitWriter &out) {
    if (tree_.leaf_index[symbol] == -1) {
        write_tree_path(tree_, tree_.leaf_index[tree_.escape_symbol], out);
        out.put((uint32_t)symbol, tree_.escape_bits);
        tree_add_symbol(&tree_, symbol);
    } else {
        write_tree_path(tree_, tree_.leaf_index[symbol], out);
    }
    tree_update(&tree_, symbol);
}

void SymbolCoder::current_costs(std::vector<uint32_t> &costs) const {
    const HuffNode *nodes = tree_.nodes;
    depth_[0] = 0;
    for (int i = 0; i < tree_.next_free; i++) {
        if (!nodes[i].is_leaf)
            depth_[nodes[i].child] = depth_[nodes[i].child + 1] = depth_[i] + 1;
    }
    uint32_t escape = depth_[tree_.leaf_index[tree_.escape_symbol]] + (uint32_t)tree_.escape_bits;
    costs.resize(alphabet_ + 1);
    for (int s = 0; s <= alphabet_; s++)
        costs[s] = tree_.leaf_index[s] == -1 ? escape : depth_[tree_.leaf_index[s]];
}

void SymbolCoder::copy_model(const SymbolCoder &other) {
    std::copy_n(other.tree_.nodes, other.tree_.next_free, tree_.nodes);
    std::copy_n(other.tree_.leaf_index, alphabet_ + 2, tree_.leaf_index);
    std::copy_n(other.tree_.first_of_weight, tree_.max_weight + 1, tree_.first_of_weight);
    tree_.next_free = other.tree_.next_free;
}
