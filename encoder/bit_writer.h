#pragma once
#include <cstdint>
#include <vector>

// MSB-first bit string, the mirror of the decoder's bit input.
class BitWriter {
  public:
    explicit BitWriter(std::vector<uint8_t> &out) : out_(out) {}
    // The low n bits of value (n <= 32), most significant first.
    void put(uint32_t value, int n) {
        for (int i = n - 1; i >= 0; i--)
            put_bit((value >> i) & 1u);
    }
    void put_bit(uint32_t bit) {
        pending_ = (uint8_t)(pending_ << 1 | bit);
        if (++pending_bits_ == 8) {
            out_.push_back(pending_);
            pending_ = 0;
            pending_bits_ = 0;
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
    uint8_t pending_ = 0;
    int pending_bits_ = 0;
};
