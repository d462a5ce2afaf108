#include "coded_reader.h"

#include <string.h>

#include "LzmaDec.h"

#include "decoder/decoder_io.h"

static void *lzma_alloc(void *, size_t size) { return size <= UINT32_MAX ? mem_alloc((uint32_t)size) : 0; }
static void lzma_free(void *, void *address) { mem_free(address); }
static ISzAlloc allocator = {lzma_alloc, lzma_free};

void x86_init(X86State *state) {
    state->position = 0;
    state->prev_mask = 0;
    state->prev_pos = (uint32_t)-5;
}

static int is_sign_byte(uint8_t b) { return b == 0 || b == 0xFF; }

// The conversion of relative CALL (E8) and JMP (E9) targets to absolute ones
// and back, as xz and 7-Zip define it.
uint32_t x86_convert(X86State *state, uint8_t *bytes, uint32_t size, int encode) {
    static const uint8_t allowed[8] = {1, 1, 1, 0, 1, 0, 0, 0};
    static const uint32_t bit_number[8] = {0, 1, 2, 2, 3, 3, 3, 3};
    if (size < 5)
        return 0;
    uint32_t now = state->position, prev_mask = state->prev_mask, prev_pos = state->prev_pos;
    if (now - prev_pos > 5)
        prev_pos = now - 5;
    uint32_t at = 0;
    while (at <= size - 5) {
        uint8_t b = bytes[at];
        if (b != 0xE8 && b != 0xE9) {
            at++;
            continue;
        }
        uint32_t offset = now + at - prev_pos;
        prev_pos = now + at;
        if (offset > 5)
            prev_mask = 0;
        else
            for (uint32_t i = 0; i < offset; i++)
                prev_mask = (prev_mask & 0x77) << 1;
        b = bytes[at + 4];
        if (is_sign_byte(b) && allowed[(prev_mask >> 1) & 7] && (prev_mask >> 1) < 0x10) {
            uint32_t src = (uint32_t)b << 24 | (uint32_t)bytes[at + 3] << 16 | (uint32_t)bytes[at + 2] << 8 | bytes[at + 1];
            uint32_t dest;
            for (;;) {
                dest = encode ? src + (now + at + 5) : src - (now + at + 5);
                if (prev_mask == 0)
                    break;
                uint32_t i = bit_number[prev_mask >> 1];
                if (!is_sign_byte((uint8_t)(dest >> (24 - i * 8))))
                    break;
                src = dest ^ ((1u << (32 - i * 8)) - 1);
            }
            bytes[at + 4] = (uint8_t)~(((dest >> 24) & 1) - 1);
            bytes[at + 3] = (uint8_t)(dest >> 16);
            bytes[at + 2] = (uint8_t)(dest >> 8);
            bytes[at + 1] = (uint8_t)dest;
            at += 5;
            prev_mask = 0;
        } else {
            at++;
            prev_mask |= 1;
            if (is_sign_byte(b))
                prev_mask |= 0x10;
        }
    }
    state->prev_mask = prev_mask;
    state->prev_pos = prev_pos;
    state->position = now + at;
    return at;
}

CodedResult coded_reader_open(CodedReader *reader, const BundleHeader *header, uint32_t max_dictionary,
                              int (*take)(void *context, const uint8_t *bytes, uint32_t size), void *context) {
    CLzmaDec *lzma = (CLzmaDec *)mem_alloc(sizeof(CLzmaDec));
    reader->lzma = lzma;
    reader->left = header->archive_size;
    reader->filter = header->filter;
    x86_init(&reader->x86);
    reader->held = 0;
    reader->take = take;
    reader->context = context;
    reader->finished = 0;
    reader->error = CODED_NO_MEMORY;
    // A dictionary larger than the whole stream is never reached into, so the
    // stream's size is enough; LZMA's least is 4 KiB.
    uint32_t size = header->dictionary;
    if (header->archive_size < size)
        size = header->archive_size < BUNDLE_DICTIONARY_MIN ? (uint32_t)BUNDLE_DICTIONARY_MIN : (uint32_t)header->archive_size;
    if (!lzma)
        return reader->error;
    LzmaDec_Construct(lzma);
    if (header->codec != BUNDLE_CODEC_LZMA || size > max_dictionary)
        return reader->error;
    uint8_t properties[LZMA_PROPS_SIZE] = {(uint8_t)header->properties, (uint8_t)header->dictionary,
                                           (uint8_t)(header->dictionary >> 8), (uint8_t)(header->dictionary >> 16),
                                           (uint8_t)(header->dictionary >> 24)};
    if (LzmaDec_AllocateProbs(lzma, properties, LZMA_PROPS_SIZE, &allocator) != SZ_OK)
        return reader->error;
    lzma->dic = (Byte *)mem_alloc(size);
    if (!lzma->dic)
        return reader->error;
    lzma->dicBufSize = size;
    LzmaDec_Init(lzma);
    return reader->error = CODED_OK;
}

// Passes decoded bytes on, through the x86 conversion when there is one.
static int deliver(CodedReader *reader, const uint8_t *bytes, uint32_t size, int last) {
    if (reader->filter == BUNDLE_FILTER_NONE)
        return size == 0 || reader->take(reader->context, bytes, size);
    for (;;) {
        uint32_t n = sizeof reader->work - reader->held;
        if (n > size)
            n = size;
        memcpy(reader->work + reader->held, bytes, n);
        bytes += n;
        size -= n;
        uint32_t filled = reader->held + n;
        uint32_t done = x86_convert(&reader->x86, reader->work, filled, 0);
        if (last && size == 0)
            done = filled; // the last few bytes stay as they are
        if (done > 0 && !reader->take(reader->context, reader->work, done))
            return 0;
        reader->held = filled - done;
        memmove(reader->work, reader->work + done, reader->held);
        if (size == 0)
            return 1;
    }
}

enum { FINISHED_MARKED = 1, FINISHED_UNMARKED = 2 };

static CodedResult fail(CodedReader *reader, CodedResult error) { return reader->error = error; }

CodedResult coded_reader_feed(CodedReader *reader, const uint8_t *bytes, uint32_t size) {
    if (reader->error != CODED_OK)
        return reader->error;
    CLzmaDec *lzma = (CLzmaDec *)reader->lzma;
    while (size > 0) {
        if (reader->finished == FINISHED_UNMARKED)
            return CODED_OK; // what follows can only be the end mark
        if (reader->finished)
            return fail(reader, CODED_TRAILING);
        if (lzma->dicPos == lzma->dicBufSize)
            lzma->dicPos = 0;
        SizeT start = lzma->dicPos, room = lzma->dicBufSize - start, used = size;
        int to_end = reader->left <= room;
        if (to_end)
            room = (SizeT)reader->left;
        ELzmaStatus status;
        SRes result = LzmaDec_DecodeToDic(lzma, start + room, bytes, &used, to_end ? LZMA_FINISH_END : LZMA_FINISH_ANY,
                                          &status);
        bytes += used;
        size -= (uint32_t)used;
        uint32_t produced = (uint32_t)(lzma->dicPos - start);
        reader->left -= produced;
        if (result != SZ_OK)
            return fail(reader, CODED_DAMAGED);
        // The decoder may stop at the declared size, before the end mark,
        // when the range coder's state happens to allow an unmarked end.
        reader->finished = status == LZMA_STATUS_FINISHED_WITH_MARK                                    ? FINISHED_MARKED
                           : status == LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK && reader->left == 0 ? FINISHED_UNMARKED
                                                                                                     : 0;
        if (reader->finished && reader->left != 0)
            return fail(reader, CODED_SHORT);
        if (!deliver(reader, lzma->dic + start, produced, reader->finished))
            return fail(reader, CODED_REFUSED);
        if (!reader->finished && produced == 0 && used == 0)
            return fail(reader, CODED_DAMAGED);
    }
    return CODED_OK;
}

CodedResult coded_reader_finish(CodedReader *reader) {
    if (reader->error != CODED_OK)
        return reader->error;
    return reader->finished ? CODED_OK : fail(reader, CODED_TRUNCATED);
}

void coded_reader_free(CodedReader *reader) {
    CLzmaDec *lzma = (CLzmaDec *)reader->lzma;
    if (lzma) {
        LzmaDec_FreeProbs(lzma, &allocator);
        mem_free(lzma->dic);
    }
    mem_free(reader->lzma);
    reader->lzma = 0;
}
