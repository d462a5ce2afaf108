#include "bit_input.h"

#include "decoder_io.h"

BitInput bit_input;

void bits_reset() {
    bit_input.bits = 0;
    bit_input.count = 0;
    bit_input.exhausted = 0;
}

int bits_exhausted() { return bit_input.exhausted; }

uint32_t bits_fetch() {
    uint8_t byte;
    if (bit_input.exhausted || file_read(&byte, 1, payload_in) != 1) {
        bit_input.exhausted = 1;
        return 0;
    }
    return byte;
}

// Up to 24 bits at a time, so that the bits still owed plus one more byte
// always fit the 32-bit accumulator.
static uint32_t read_up_to_24(uint32_t n) {
    uint32_t bits = bit_input.bits;
    uint32_t count = bit_input.count;
    while (count < n) {
        bits = bits << 8 | bits_fetch();
        count += 8;
    }
    count -= n;
    bit_input.bits = bits;
    bit_input.count = count;
    return bits >> count & ((1u << n) - 1);
}

uint32_t read_bits(int n) {
    if (n > 24) {
        uint32_t high = read_up_to_24((uint32_t)n - 16);
        return high << 16 | read_up_to_24(16);
    }
    return read_up_to_24((uint32_t)n);
}
