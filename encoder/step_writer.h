#pragma once
#include <cstdint>
#include <vector>

#include "bit_writer.h"
#include "decoder/payload_format.h"
#include "symbol_coder.h"

// Codes literals and matches into a payload's bit string.
class StepWriter {
  public:
    explicit StepWriter(std::vector<uint8_t> &out)
        : bits_(out), literals_(LITERAL_ALPHABET, LITERAL_MAX_WEIGHT, LITERAL_ESCAPE_BITS),
          distances_(DISTANCE_ALPHABET, DISTANCE_MAX_WEIGHT, DISTANCE_ESCAPE_BITS) {}

    void literal(uint8_t byte) { literals_.encode(byte, bits_); }
    void match(uint32_t length, uint32_t distance);
    void finish() { bits_.flush(); }

    // Bit costs of every literal/length symbol and every distance class now.
    void current_costs(std::vector<uint32_t> &literal_costs, std::vector<uint32_t> &distance_costs) const {
        literals_.current_costs(literal_costs);
        distances_.current_costs(distance_costs);
    }

    void copy_model(const StepWriter &other) {
        literals_.copy_model(other.literals_);
        distances_.copy_model(other.distances_);
    }

    // For writing steps outside the usual shapes.
    BitWriter &bits() { return bits_; }
    SymbolCoder &literal_coder() { return literals_; }
    SymbolCoder &distance_coder() { return distances_; }

  private:
    BitWriter bits_;
    SymbolCoder literals_;
    SymbolCoder distances_;
};

// The distance class of a distance, and the length symbol of a match.
int distance_class(uint32_t distance);
inline int length_symbol(uint32_t length, uint32_t distance) {
    return (int)(length - length_bonus(distance)) + 254;
}
