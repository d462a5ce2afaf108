#include "branch_split.h"

#include "include/sfx_package.h"

int split_flags_start(SplitFlags *flags, const uint8_t *bytes, uint32_t size) {
    if (size < SPLIT_RANGE_END)
        return 0;
    flags->bytes = bytes;
    flags->size = size;
    flags->at = SPLIT_RANGE_END;
    flags->range = 0xFFFFFFFF;
    flags->code = (uint32_t)bytes[1] << 24 | (uint32_t)bytes[2] << 16 | (uint32_t)bytes[3] << 8 | bytes[4];
    return bytes[0] == 0;
}

int split_flags_next(SplitFlags *flags, uint16_t *probability) {
    uint32_t bound = (flags->range >> SPLIT_PROBABILITY_BITS) * *probability;
    int bit = flags->code >= bound;
    if (bit) {
        flags->code -= bound;
        flags->range -= bound;
    } else
        flags->range = bound;
    split_adapt(probability, bit);
    if (flags->range < SPLIT_TOP) {
        if (flags->at == flags->size)
            return -1;
        flags->range <<= 8;
        flags->code = flags->code << 8 | flags->bytes[flags->at++];
    }
    return bit;
}

void split_writer_start(SplitFlagWriter *writer, void (*put)(void *context, uint8_t byte), void *context) {
    writer->low = 0;
    writer->range = 0xFFFFFFFF;
    writer->cache = 0;
    writer->pending = 1;
    writer->put = put;
    writer->context = context;
}

// Sends the top byte of 'low' on, or holds it while a carry may still reach it.
static void shift_low(SplitFlagWriter *writer) {
    if ((uint32_t)writer->low < 0xFF000000u || writer->low >> 32 != 0) {
        uint8_t carry = (uint8_t)(writer->low >> 32), byte = writer->cache;
        for (; writer->pending > 0; writer->pending--, byte = 0xFF)
            writer->put(writer->context, (uint8_t)(byte + carry));
        writer->cache = (uint8_t)(writer->low >> 24);
    }
    writer->pending++;
    writer->low = (writer->low & 0x00FFFFFF) << 8;
}

void split_writer_bit(SplitFlagWriter *writer, uint16_t *probability, int bit) {
    uint32_t bound = (writer->range >> SPLIT_PROBABILITY_BITS) * *probability;
    if (bit) {
        writer->low += bound;
        writer->range -= bound;
    } else
        writer->range = bound;
    split_adapt(probability, bit);
    if (writer->range < SPLIT_TOP) {
        writer->range <<= 8;
        shift_low(writer);
    }
}

void split_writer_finish(SplitFlagWriter *writer) {
    for (int i = 0; i < SPLIT_RANGE_END; i++)
        shift_low(writer);
}

uint32_t relative_convert(RelativeState *state, uint8_t *bytes, uint32_t size, int encode) {
    uint32_t at = 0;
    while (size - at >= RELATIVE_LOOK) {
        uint32_t operand = relative_operand(bytes + at);
        if (operand == 0) {
            if (bytes[at] == 'M' && bytes[at + 1] == 'Z' && bytes[at + 2] == 0x90)
                state->base = state->position + at;
            at++;
            continue;
        }
        uint8_t *p = bytes + at + operand;
        at += operand + 4;
        uint32_t end = (uint32_t)(state->position + at - state->base);
        sfx_put32(p, encode ? split_absolute(sfx_get32(p), end) : split_relative(sfx_get32(p), end));
    }
    state->position += at;
    return at;
}
