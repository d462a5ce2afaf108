#include "adaptive_tree.h"

#include "bit_input.h"
#include "decoder_io.h"

int tree_create(AdaptiveTree *tree, int n, uint32_t max_weight, int escape_bits) {
    // A record ahead of node 0 weighs more than any node, so that every node
    // has one ahead of it; the leaf index and the run leaders share a block.
    HuffNode *block = (HuffNode *)mem_alloc((uint32_t)(2 * n + 4) * sizeof(HuffNode));
    tree->nodes = block ? block + 1 : 0;
    tree->leaf_index = (int32_t *)mem_alloc(((uint32_t)n + 2 + max_weight + 1) * sizeof(int32_t));
    if (!tree->nodes || !tree->leaf_index) {
        tree_destroy(tree);
        return 0;
    }
    tree->first_of_weight = tree->leaf_index + n + 2;
    tree->escape_bits = escape_bits;
    tree->max_weight = max_weight;
    tree->escape_symbol = n + 1;

    HuffNode *nodes = tree->nodes;
    nodes[-1].weight = 0xFFFFFFFFu;
    // Field by field: a whole-node constant would cost the loader a data section.
    nodes[0].weight = 2;
    nodes[0].parent = -1;
    nodes[0].is_leaf = 0;
    nodes[0].child = 1;
    nodes[1] = HuffNode{1, 0, 1, n};
    nodes[2] = HuffNode{1, 0, 1, n + 1};
    tree->next_free = 3;
    tree->first_of_weight[2] = 0;
    tree->first_of_weight[1] = 1;
    for (int s = 0; s < n; s++)
        tree->leaf_index[s] = -1;
    tree->leaf_index[n] = 1;
    tree->leaf_index[n + 1] = 2;
    return 1;
}

void tree_destroy(AdaptiveTree *tree) {
    if (tree->nodes)
        mem_free(tree->nodes - 1);
    if (tree->leaf_index)
        mem_free(tree->leaf_index);
    tree->nodes = 0;
    tree->leaf_index = 0;
    tree->first_of_weight = 0;
}

int tree_decode(AdaptiveTree *tree) {
    const HuffNode *nodes = tree->nodes;
    uint32_t bits = bit_input.bits;
    uint32_t count = bit_input.count;
    int node = 0;
    while (!nodes[node].is_leaf) {
        if (count == 0) {
            bits = bits_fetch();
            count = 8;
        }
        count--;
        node = nodes[node].child + (int)(bits >> count & 1);
    }
    bit_input.bits = bits;
    bit_input.count = count;
    int s = nodes[node].child;
    if (s == tree->escape_symbol) {
        s = (int)read_bits(tree->escape_bits);
        if (bits_exhausted())
            return TREE_TRUNCATED;
        if (!tree_add_symbol(tree, s))
            return TREE_MALFORMED;
    } else if (bits_exhausted()) {
        return TREE_TRUNCATED;
    }
    tree_update(tree, s);
    return s;
}

int tree_add_symbol(AdaptiveTree *tree, int s) {
    if (s < 0 || s >= tree->escape_symbol - 1 || tree->leaf_index[s] != -1)
        return 0;
    HuffNode *nodes = tree->nodes;
    int last = tree->next_free - 1;
    int moved = tree->next_free;
    int added = tree->next_free + 1;
    tree->next_free += 2;

    nodes[moved] = nodes[last];
    nodes[moved].parent = last;
    tree->leaf_index[nodes[moved].child] = moved;

    nodes[last].child = moved;
    nodes[last].is_leaf = 0;

    nodes[added] = HuffNode{0, last, 1, s};
    tree->leaf_index[s] = added;
    // The moved leaf continues the run of its weight; the new one may start
    // the run of weight 0.
    if (nodes[moved].weight != 0)
        tree->first_of_weight[0] = added;
    return 1;
}

// Points whatever hangs below a node with these fields at position 'to'.
static inline void repoint_below(AdaptiveTree *tree, int32_t is_leaf, int32_t child, int to) {
    if (is_leaf) {
        tree->leaf_index[child] = to;
    } else {
        tree->nodes[child].parent = to;
        tree->nodes[child + 1].parent = to;
    }
}

// Exchanges what hangs at positions i and j, apart from the weights; each
// position keeps its parent.
static inline void exchange_below(AdaptiveTree *tree, int i, int j) {
    HuffNode *a = &tree->nodes[i];
    HuffNode *b = &tree->nodes[j];
    int32_t a_leaf = a->is_leaf, a_child = a->child;
    int32_t b_leaf = b->is_leaf, b_child = b->child;
    repoint_below(tree, a_leaf, a_child, j);
    repoint_below(tree, b_leaf, b_child, i);
    a->is_leaf = b_leaf;
    a->child = b_child;
    b->is_leaf = a_leaf;
    b->child = a_child;
}

void tree_swap(AdaptiveTree *tree, int i, int j) {
    exchange_below(tree, i, j);
    uint32_t w = tree->nodes[i].weight;
    tree->nodes[i].weight = tree->nodes[j].weight;
    tree->nodes[j].weight = w;
}

// Each node on the path to the root gains 1. Nodes are sorted by weight, so
// the ones ahead of it that it now outweighs are exactly the run of its
// former weight: unless it leads that run already (the node ahead of it is
// heavier), it changes places with the run's leader, whose index
// first_of_weight holds. It then ends the run of its new weight.
void tree_update(AdaptiveTree *tree, int s) {
    HuffNode *nodes = tree->nodes;
    int32_t *first = tree->first_of_weight;
    if (nodes[0].weight == tree->max_weight)
        tree_rebuild(tree);
    int cur = tree->leaf_index[s];
    do {
        HuffNode *node = &nodes[cur];
        uint32_t w = node->weight;
        uint32_t ahead = node[-1].weight;
        if (ahead == w) {
            int leader = first[w];
            exchange_below(tree, cur, leader);
            cur = leader;
            node = &nodes[cur];
            ahead = node[-1].weight;
        }
        first[w] = cur + 1; // stale if the run of w is now empty
        node->weight = w + 1;
        if (ahead != w + 1)
            first[w + 1] = cur;
        cur = node->parent;
    } while (cur != -1);
}

// Halves the counts and builds a fresh Huffman tree over the same leaves.
//
// The tree is the one the pairing below would make: take the sorted live
// nodes, pair the last two (the lightest) under a new internal node placed
// ahead of every node of its weight, and repeat. That is the two-queue
// construction: the leaves, lightest first, and the internal nodes in the
// order they are made, which is by non-decreasing weight; on equal weights
// the leaf goes first. Nodes are paired from the end of the table, so the
// m-th node paired lands at last - m and internal node t (made t-th) has
// its children at last - 2t - 1 and last - 2t; the root lands at 0, and
// the last node is a leaf.
//
// Pass 1 gathers the halved leaves, in order, at the top of the table.
// Pass 2 runs the two queues on weights alone; internal node t's weight goes
// into the parent field of the leaf at last - t, unused until pass 3 sets it.
// Pass 3 merges both queues from the heaviest end into their final places,
// internal nodes first on equal weights. It writes position p only after
// reading everything stored there, and a parent field only after reading
// the weight kept in it. Once the internal nodes are placed, the remaining
// leaves are already where they belong.
void tree_rebuild(AdaptiveTree *tree) {
    HuffNode *nodes = tree->nodes;
    int last = tree->next_free - 1;

    int j = last;
    for (int i = last; i >= 0; i--) {
        if (nodes[i].is_leaf) {
            nodes[j].weight = (nodes[i].weight + 1) / 2;
            nodes[j].child = nodes[i].child;
            j--;
        }
    }
    int first_leaf = j + 1;
    int internal_count = first_leaf; // one fewer than the leaves

    // Past either queue's end stands a weight no real node reaches; there are
    // always two real nodes to pair.
    const uint32_t BEYOND = 0xFFFFFFFFu;
    nodes[first_leaf - 1].weight = BEYOND;
    int leaf = last;  // the lightest leaf not yet paired
    int queued = 0;   // the lightest internal node not yet paired
    for (int t = 0; t < internal_count; t++) {
        nodes[last - t].parent = (int32_t)BEYOND;
        uint32_t sum = 0;
        for (int pick = 0; pick < 2; pick++) {
            uint32_t leaf_weight = nodes[leaf].weight;
            uint32_t internal_weight = (uint32_t)nodes[last - queued].parent;
            if (leaf_weight <= internal_weight) {
                sum += leaf_weight;
                leaf--;
            } else {
                sum += internal_weight;
                queued++;
            }
        }
        nodes[last - t].parent = (int32_t)sum;
    }

    int32_t *first = tree->first_of_weight;
    int32_t *leaf_index = tree->leaf_index;
    uint32_t previous = BEYOND;
    leaf = first_leaf; // the heaviest leaf not yet placed
    int t = internal_count - 1; // the heaviest internal node not yet placed
    for (int p = 0; p <= last; p++) {
        HuffNode *node = &nodes[p];
        uint32_t weight = nodes[leaf].weight; // the last node is a leaf, so one is left
        if (t >= 0 && (uint32_t)nodes[last - t].parent >= weight) {
            int child = last - 2 * t - 1;
            weight = (uint32_t)nodes[last - t].parent;
            node->is_leaf = 0;
            node->child = child;
            nodes[child].parent = p;
            nodes[child + 1].parent = p;
            t--;
        } else { // once the internal nodes are placed, p is leaf
            node->is_leaf = 1;
            node->child = nodes[leaf].child;
            leaf_index[node->child] = p;
            leaf++;
        }
        node->weight = weight;
        if (weight != previous)
            first[weight] = p;
        previous = weight;
    }
    nodes[0].parent = -1;
}
