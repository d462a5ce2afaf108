#pragma once
// Payloads made of exactly the steps a test asks for, including ones no
// encoder would write, coded with the encoder's own pieces.
#include <cstdint>
#include <vector>

#include "encoder/step_writer.h"

class PayloadBuilder {
  public:

    void literal(uint8_t byte);
    // A match as the format counts it: the length includes the distance bonus.
    void match(uint32_t length, uint32_t distance);
    // Codes symbol s through one of the trees, as an encoder would.
    void symbol(bool distance_tree, int s);
    // The escape code followed by 's', without touching the model: a symbol
    // escaped twice, as no encoder would write it.
    void raw_escape(bool distance_tree, int s);

    // Count header (default: the bytes produced) and the bits, zero-padded.
    std::vector<uint8_t> finish() { return finish((int32_t)produced_); }
    std::vector<uint8_t> finish(int32_t count);

  private:
    SymbolCoder &coder(bool distance_tree) {
        return distance_tree ? steps_.distance_coder() : steps_.literal_coder();
    }

    std::vector<uint8_t> bits_;
    StepWriter steps_{bits_};
    uint32_t produced_ = 0;
};

// The bytes 'steps' produce by plain LZ77 expansion from a zero-filled history.
struct Step {
    bool is_match;
    uint8_t byte;
    uint32_t length, distance;
};
std::vector<uint8_t> expand_steps(const std::vector<Step> &steps);
std::vector<uint8_t> build_payload(const std::vector<Step> &steps);
