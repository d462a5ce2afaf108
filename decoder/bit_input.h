// MSB-first bit reader over payload_in, fetching one byte only when its
// first bit is needed.
#pragma once
#include <stdint.h>

struct BitInput {
    uint32_t bits;     // the last byte fetched; its low 'count' bits are yet to deliver
    uint32_t count;    // 0 to 8
    uint8_t exhausted; // a fetch found no byte; all further bits read as 0
};

extern BitInput bit_input;

void bits_reset();
// The next n bits (0..32), first bit read most significant.
uint32_t read_bits(int n);
// Whether the stream ran out; a payload that got here is truncated.
int bits_exhausted();
// The next input byte, or 0 (marking the input exhausted) when there is none.
uint32_t bits_fetch();
