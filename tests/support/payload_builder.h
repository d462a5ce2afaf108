#pragma once
// A deliberately small payload writer for decoder tests: it codes exactly the
// steps it is told, using the decoder's own tree model for the codes.
#include <cstdint>
#include <vector>

#include "decoder/adaptive_tree.h"

class PayloadBuilder {
  public:
    PayloadBuilder();
    ~PayloadBuilder();
    PayloadBuilder(const PayloadBuilder &) = delete;
    PayloadBuilder &operator=(const PayloadBuilder &) = delete;

    void literal(uint8_t byte);
    // A match as the format counts it: the length includes the distance bonus.
    void match(uint32_t length, uint32_t distance);
    // Codes symbol s through one of the trees, as an encoder would.
    void symbol(bool distance_tree, int s) { put_symbol(distance_tree ? distances_ : literals_, s); }
    // The escape code followed by 's', without touching the model: a symbol
    // escaped twice, as no encoder would write it.
    void raw_escape(bool distance_tree, int s);

    uint32_t produced() const { return produced_; }
    // Count header (default: the bytes produced) and the bits, zero-padded.
    std::vector<uint8_t> finish() const { return finish((int32_t)produced_); }
    std::vector<uint8_t> finish(int32_t count) const;

  private:
    void put_bits(uint32_t value, int n);
    void put_path(const AdaptiveTree &tree, int node);
    void put_symbol(AdaptiveTree &tree, int s);

    AdaptiveTree literals_{};
    AdaptiveTree distances_{};
    std::vector<bool> bits_;
    uint32_t produced_ = 0;
};

// The bytes 'ops' produce by plain LZ77 expansion from a zero-filled history.
struct Step {
    bool is_match;
    uint8_t byte;
    uint32_t length, distance;
};
std::vector<uint8_t> expand_steps(const std::vector<Step> &steps);
std::vector<uint8_t> build_payload(const std::vector<Step> &steps);
