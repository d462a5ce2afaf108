// MSB-first bit reader over payload_in, fetching one byte only when its
// first bit is needed.
#pragma once
#include <stdint.h>

struct BitInput {
    uint32_t current;  // last fetched byte, in the low 8 bits
    uint8_t mask;      // next bit of current to deliver
    uint8_t exhausted; // a fetch found no byte; all further bits read as 0
};

extern BitInput bit_input;

void bits_reset();
// The next n bits (0..32), first bit read most significant.
uint32_t read_bits(int n);
// Whether the stream ran out; a payload that got here is truncated.
int bits_exhausted();
// Loads the next byte into current; 0 when there is none.
int bits_fetch();

// read_bits(1), inline for the tree walk.
static inline uint32_t read_bit() {
    if (bit_input.mask == 0x80 && !bits_fetch())
        return 0;
    uint32_t bit = (bit_input.current & bit_input.mask) != 0;
    bit_input.mask >>= 1;
    if (bit_input.mask == 0)
        bit_input.mask = 0x80;
    return bit;
}
