#include "adaptive_tree.h"

#include "bit_input.h"
#include "decoder_io.h"

int tree_create(AdaptiveTree *tree, int n, uint32_t max_weight, int escape_bits) {
    tree->nodes = (HuffNode *)mem_alloc((uint32_t)(2 * n + 3) * sizeof(HuffNode));
    tree->leaf_index = (int32_t *)mem_alloc((uint32_t)(n + 2) * sizeof(int32_t));
    if (!tree->nodes || !tree->leaf_index) {
        tree_destroy(tree);
        return 0;
    }
    tree->escape_bits = escape_bits;
    tree->max_weight = max_weight;
    tree->escape_symbol = n + 1;

    HuffNode *nodes = tree->nodes;
    nodes[0] = HuffNode{2, -1, 0, 1};
    nodes[1] = HuffNode{1, 0, 1, n};
    nodes[2] = HuffNode{1, 0, 1, n + 1};
    tree->next_free = 3;
    for (int s = 0; s < n; s++)
        tree->leaf_index[s] = -1;
    tree->leaf_index[n] = 1;
    tree->leaf_index[n + 1] = 2;
    return 1;
}

void tree_destroy(AdaptiveTree *tree) {
    if (tree->nodes)
        mem_free(tree->nodes);
    if (tree->leaf_index)
        mem_free(tree->leaf_index);
    tree->nodes = 0;
    tree->leaf_index = 0;
}

int tree_decode(AdaptiveTree *tree) {
    const HuffNode *nodes = tree->nodes;
    int node = 0;
    while (!nodes[node].is_leaf)
        node = nodes[node].child + (int)read_bit();
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
    return 1;
}

// The lowest index in 0..limit whose node weighs less than w. Nodes before
// 'limit' are sorted by non-increasing weight, so this is the first node of
// the run that ends at 'limit'; runs of equal weights can be long, hence the
// binary search.
static int first_lighter(const HuffNode *nodes, int limit, uint32_t w) {
    if (limit == 0 || nodes[limit - 1].weight >= w)
        return limit;
    if (limit < 8 || nodes[limit - 8].weight >= w) { // short runs are the common case
        while (limit > 0 && nodes[limit - 1].weight < w)
            limit--;
        return limit;
    }
    int low = 0, high = limit - 1; // nodes[high] is lighter than w
    while (low < high) {
        int mid = low + (high - low) / 2;
        if (nodes[mid].weight < w)
            high = mid;
        else
            low = mid + 1;
    }
    return low;
}

void tree_update(AdaptiveTree *tree, int s) {
    HuffNode *nodes = tree->nodes;
    if (nodes[0].weight == tree->max_weight)
        tree_rebuild(tree);
    for (int cur = tree->leaf_index[s]; cur != -1; cur = nodes[cur].parent) {
        uint32_t w = ++nodes[cur].weight;
        int target = first_lighter(nodes, cur, w);
        if (target != cur) {
            tree_swap(tree, cur, target);
            cur = target;
        }
    }
}

// Points whatever hangs below the record now at 'from' at position 'to'.
static void repoint_below(AdaptiveTree *tree, int from, int to) {
    HuffNode *node = &tree->nodes[from];
    if (node->is_leaf) {
        tree->leaf_index[node->child] = to;
    } else {
        tree->nodes[node->child].parent = to;
        tree->nodes[node->child + 1].parent = to;
    }
}

void tree_swap(AdaptiveTree *tree, int i, int j) {
    repoint_below(tree, i, j);
    repoint_below(tree, j, i);
    HuffNode *a = &tree->nodes[i];
    HuffNode *b = &tree->nodes[j];
    HuffNode saved = *a;
    a->weight = b->weight;
    a->is_leaf = b->is_leaf;
    a->child = b->child;
    b->weight = saved.weight;
    b->is_leaf = saved.is_leaf;
    b->child = saved.child;
}

void tree_rebuild(AdaptiveTree *tree) {
    HuffNode *nodes = tree->nodes;
    int last = tree->next_free - 1;

    // Gather the leaves at the top end with halved weights, in order.
    int j = last;
    for (int i = last; i >= 0; i--) {
        if (nodes[i].is_leaf) {
            nodes[j] = nodes[i];
            nodes[j].weight = (nodes[j].weight + 1) / 2;
            j--;
        }
    }

    // Pair from the top down; each new internal node goes behind every
    // heavier node and ahead of every node of equal or smaller weight.
    for (int i = last - 1; j >= 0; i -= 2, j--) {
        uint32_t w = nodes[i].weight + nodes[i + 1].weight;
        int k = j + 1;
        while (nodes[k].weight > w)
            k++;
        k--;
        mem_move(&nodes[j], &nodes[j + 1], (uint32_t)(k - j) * sizeof(HuffNode));
        nodes[k].weight = w;
        nodes[k].child = i;
        nodes[k].is_leaf = 0;
    }

    for (int i = last; i >= 0; i--) {
        if (nodes[i].is_leaf) {
            tree->leaf_index[nodes[i].child] = i;
        } else {
            nodes[nodes[i].child].parent = i;
            nodes[nodes[i].child + 1].parent = i;
        }
    }
}
