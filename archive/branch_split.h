// The split branch conversion: the 4-byte operand of each CALL (E8) and JMP
// (E9) the coder chooses is taken out of the tar stream, its relative target
// made absolute (the operand plus the offset in the stream of the byte after
// it) and stored big-endian in a stream of its own. What is left of the code
// then matches itself across libraries that share code at different places,
// and the targets match one another. One flag per E8 or E9 byte that has 4
// bytes after it says whether its operand was taken: an adaptive bit in a
// range-coded stream, its probability chosen by the byte before an E8, one
// for all E9. Which operands to take is the coder's choice; the reader just
// follows the flags.
//
// Shared by the bundle's reader and its encoder; plain procedures, no C runtime.
#pragma once
#include <stdint.h>

enum {
    SPLIT_CONTEXTS = 257,           // 256 for E8, by the byte before it; 1 for E9
    SPLIT_PROBABILITY_BITS = 11,
    SPLIT_MOVE_BITS = 5,
    SPLIT_TOP = 1 << 24,
    SPLIT_RANGE_END = 5,             // a flag stream's least size: the coder's flush
    SPLIT_ADDRESS_PROPERTIES = 108,  // the target stream's LZMA: lc 0, lp 2, pb 2
    SPLIT_TARGETS_MAX = 1 << 26,     // the most target bytes a bundle may hold
    SPLIT_HEADER_SIZE = 20,
};

struct SplitModel {
    uint16_t probability[SPLIT_CONTEXTS]; // of a 0: the operand left in place
};

static inline void split_model_init(SplitModel *model) {
    for (int i = 0; i < SPLIT_CONTEXTS; i++)
        model->probability[i] = 1 << (SPLIT_PROBABILITY_BITS - 1);
}

// Whether 'byte' opens a branch whose flag is coded: E8 or E9 with at least
// 4 bytes after it in the stream.
static inline int split_is_branch(uint8_t byte, uint64_t bytes_after) {
    return (byte == 0xE8 || byte == 0xE9) && bytes_after >= 4;
}

static inline uint32_t split_context(uint8_t byte, uint8_t previous) { return byte == 0xE8 ? previous : 256; }

static inline void split_adapt(uint16_t *probability, int bit) {
    if (bit)
        *probability -= (uint16_t)(*probability >> SPLIT_MOVE_BITS);
    else
        *probability += (uint16_t)(((1 << SPLIT_PROBABILITY_BITS) - *probability) >> SPLIT_MOVE_BITS);
}

// The target stored for an operand ending at 'end' (the offset of the next
// byte), and the operand back from it.
static inline uint32_t split_absolute(uint32_t relative, uint64_t end) { return relative + (uint32_t)end; }
static inline uint32_t split_relative(uint32_t absolute, uint64_t end) { return absolute - (uint32_t)end; }

// The flags' range decoder over a whole flag stream held in memory.
struct SplitFlags {
    const uint8_t *bytes;
    uint32_t size, at;
    uint32_t range, code;
};

// 0 when the stream is too short or does not start as the coder starts it.
int split_flags_start(SplitFlags *flags, const uint8_t *bytes, uint32_t size);
// The next flag, 0 or 1; -1 when the stream runs out.
int split_flags_next(SplitFlags *flags, uint16_t *probability);

// The range coder that makes a flag stream: its bytes go to 'put'.
struct SplitFlagWriter {
    uint64_t low;
    uint32_t range;
    uint8_t cache;
    uint64_t pending; // bytes held back: the cache and the 0xFF bytes after it
    void (*put)(void *context, uint8_t byte);
    void *context;
};

void split_writer_start(SplitFlagWriter *writer, void (*put)(void *context, uint8_t byte), void *context);
void split_writer_bit(SplitFlagWriter *writer, uint16_t *probability, int bit);
void split_writer_finish(SplitFlagWriter *writer);
