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

// With the x86-64 variant (bundle filter 3), the tar stream first has the
// 32-bit displacement of each instruction that addresses memory relative to
// the next one (RIP) made absolute: the operand plus the offset of the byte
// after it from the last program's start (the bytes MZ 0x90), else from the
// stream's. Code that reads the same data or calls the same imported function
// from many places then repeats itself, and so do like programs. Taken are
// CALL and JMP through memory (FF 15, FF 25), the common 64-bit moves, loads
// of addresses, arithmetic and compares (a REX.W prefix, the opcode, a ModRM
// byte of mode 0 and register 5) and SSE moves and arithmetic (0F, the
// opcode, such a ModRM byte; 66, F2 or F3 before them or not). Where one is
// taken the scan goes on after its operand. Each place looked at reads only
// bytes no operand taken before or after it covers (the four-byte forms' ModRM
// only behind 0F, where no FF 15 can start), so the decoder, which sees them
// as the encoder did, takes the same ones. A place is looked at only with 8
// bytes from it to the stream's end.
enum { RELATIVE_LOOK = 8 };

struct RelativeState {
    uint64_t position; // of the next byte given
    uint64_t base;     // where the last program began
};

static inline int relative_sse(uint8_t op) {
    switch (op) {
    case 0x10: case 0x11: case 0x28: case 0x29: case 0x2E: case 0x2F: case 0x51: case 0x54: case 0x57: case 0x58:
    case 0x59: case 0x5C: case 0x5D: case 0x5E: case 0x5F: case 0x6F: case 0x7F: case 0xB6: case 0xB7:
        return 1;
    }
    return 0;
}

// Where the operand of an instruction taken starts, from 'at' (2 to 4), or 0.
static inline uint32_t relative_operand(const uint8_t *at) {
    if (at[0] == 0xFF && (at[1] == 0x15 || at[1] == 0x25))
        return 2;
    if (at[0] == 0x0F && (at[2] & 0xC7) == 0x05 && relative_sse(at[1]))
        return 3;
    if ((at[0] == 0x66 || at[0] == 0xF2 || at[0] == 0xF3) && at[1] == 0x0F && (at[3] & 0xC7) == 0x05 && relative_sse(at[2]))
        return 4;
    if ((at[0] & 0xF8) != 0x48 || (at[2] & 0xC7) != 0x05)
        return 0;
    switch (at[1]) {
    case 0x03: case 0x0B: case 0x23: case 0x2B: case 0x33: case 0x39: case 0x3B: case 0x85: case 0x89: case 0x8B: case 0x8D:
    case 0x63: case 0x83: case 0xC7: case 0x01: case 0x29: case 0x31: case 0x09: case 0x21:
        return 3;
    }
    return 0;
}

// Applies (with 'encode') or undoes the conversion in place over the next
// 'size' bytes of the stream: the count of bytes now final. The rest, at
// most RELATIVE_LOOK - 1, must be given again at the front of the next piece;
// at the stream's end they stay as they are.
uint32_t relative_convert(RelativeState *state, uint8_t *bytes, uint32_t size, int encode);

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
