#pragma once
#include <cstdint>
#include <vector>

// MSB-first bit string, the mirror of the decoder's bit input.
class BitWriter {
  public:
    explicit BitWriter(std::vector<uint8_t> &out) : out_(out) {}
    // The low n bits of value (n <= 32), most significant first.
    void put(uint32_t value, int n) {
        pending_ = pending_ << n | (value & (uint32_t)((1ull << n) - 1));
        pending_bits_ += n;
        while (pending_bits_ >= 8) {
            pending_bits_ -= 8;
            out_.push_back((uint8_t)(pending_ >> pending_bits_));
        }
    }
    // Pads the last byte with zero bits.
    void flush() {
        if (pending_bits_ > 0)
            out_.push_back((uint8_t)(pending_ << (8 - pending_bits_)));
        pending_ = 0;
        pending_bits_ = 0;
    }

  private:
    std::vector<uint8_t> &out_;
    uint64_t pending_ = 0; // fewer than 8 bits between calls, in the low bits
    int pending_bits_ = 0;
};
