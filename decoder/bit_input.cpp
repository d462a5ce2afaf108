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

uint32_t read_bits(int n) {
    uint32_t bits = bit_input.bits;
    uint32_t count = bit_input.count;
    uint32_t result = 0;
    for (uint32_t want = (uint32_t)n; want > 0;) { // a byte's worth at a time
        if (count == 0) {
            bits = bits_fetch();
            count = 8;
        }
        uint32_t take = want < count ? want : count;
        count -= take;
        want -= take;
        result = result << take | (bits >> count & ((1u << take) - 1));
    }
    bit_input.bits = bits;
    bit_input.count = count;
    return result;
}
