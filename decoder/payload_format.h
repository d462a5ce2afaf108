// Constants and small rules of the payload format, shared by decoder and encoder.
#pragma once
#include <stdint.h>

enum {
    PAYLOAD_OFFSET = 32768,  // where the payload starts in the loader's file
    PAYLOAD_HEADER_SIZE = 4, // signed 32-bit little-endian output count
    WINDOW_SIZE = 8192,
    WINDOW_MASK = WINDOW_SIZE - 1,

    LITERAL_ALPHABET = 512,  // bytes 0-255, length codes 256-511, reserved 512
    LITERAL_MAX_WEIGHT = 1024,
    LITERAL_ESCAPE_BITS = 9,
    FIRST_LENGTH_SYMBOL = 256,
    LAST_LENGTH_SYMBOL = 512, // the reserved symbol doubles as the longest length

    DISTANCE_ALPHABET = 30,
    DISTANCE_MAX_WEIGHT = 256,
    DISTANCE_ESCAPE_BITS = 4,

    MIN_BASE_LENGTH = 2,
    MAX_BASE_LENGTH = LAST_LENGTH_SYMBOL - 254,
};

// Extra bits that follow distance class k.
static inline int distance_extra_bits(int k) { return k >= 2 ? k - 1 : 0; }

// Class 0 is distance 1; class k >= 1 covers 2^(k-1)+1 .. 2^k.
static inline uint32_t distance_from_class(int k, uint32_t extra) {
    return k == 0 ? 1u : (1u << (k - 1)) + extra + 1u;
}

// Far matches must be longer to pay for their distance bits.
static inline uint32_t length_bonus(uint32_t distance) {
    return (distance > 256u ? 1u : 0u) + (distance > 8191u ? 1u : 0u);
}

static inline uint32_t match_length(int length_symbol, uint32_t distance) {
    return (uint32_t)(length_symbol - 254) + length_bonus(distance);
}
