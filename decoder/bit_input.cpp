#include "bit_input.h"

#include "decoder_io.h"

BitInput bit_input;

void bits_reset() {
    bit_input.current = 0;
    bit_input.mask = 0x80;
    bit_input.exhausted = 0;
}

int bits_exhausted() { return bit_input.exhausted; }

int bits_fetch() {
    uint8_t byte;
    if (bit_input.exhausted || file_read(&byte, 1, payload_in) != 1) {
        bit_input.exhausted = 1;
        return 0;
    }
    bit_input.current = byte;
    return 1;
}

uint32_t read_bits(int n) {
    uint32_t result = 0;
    if (n == 0)
        return 0;
    for (uint32_t v = 1u << (n - 1); v != 0; v >>= 1) {
        if (bit_input.mask == 0x80 && !bits_fetch())
            return 0;
        if (bit_input.current & bit_input.mask)
            result |= v;
        bit_input.mask >>= 1;
        if (bit_input.mask == 0)
            bit_input.mask = 0x80;
    }
    return result;
}
