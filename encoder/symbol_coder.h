#pragma once
#include <cstdint>
#include <vector>

#include "bit_writer.h"
#include "decoder/adaptive_tree.h"

// The bits of the path from the root to 'node', root first.
void write_tree_path(const AdaptiveTree &tree, int node, BitWriter &out);

// Writes symbols as paths through the decoder's own adaptive tree, then
// updates it exactly as the decoder will after reading them.
class SymbolCoder {
  public:
    SymbolCoder(int alphabet, uint32_t max_weight, int escape_bits);
    ~SymbolCoder();
    SymbolCoder(const SymbolCoder &) = delete;
    SymbolCoder &operator=(const SymbolCoder &) = delete;

    void encode(int symbol, BitWriter &out);
    // What each symbol 0..alphabet would cost in bits right now, escapes included.
    void current_costs(std::vector<uint32_t> &costs) const;
    const AdaptiveTree &tree() const { return tree_; }
    // Takes over another coder's model state (same alphabet), to try steps out.
    void copy_model(const SymbolCoder &other);

  private:

    AdaptiveTree tree_{};
    int alphabet_;
    mutable std::vector<uint32_t> depth_;
};
