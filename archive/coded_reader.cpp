#include "coded_reader.h"

#include <string.h>

#include "LzmaDec.h"

// Public in LzmaDec.c, though its header leaves it out: starts a new stream,
// its state afresh when 'initState', its dictionary kept unless 'initDic'.
extern "C" void LzmaDec_InitDicAndState(CLzmaDec *p, Bool initDic, Bool initState);

#include "decoder/decoder_io.h"
#include "include/sfx_package.h"

static void *lzma_alloc(void *, size_t size) { return size <= UINT32_MAX ? mem_alloc((uint32_t)size) : 0; }
static void lzma_free(void *, void *address) { mem_free(address); }
static ISzAlloc allocator = {lzma_alloc, lzma_free};

// The parts of a split conversion's prefix, then the main LZMA stream.
enum { SPLIT_HEAD, SPLIT_TARGETS, SPLIT_FLAGS, SPLIT_MAIN };
// Where a chunk is, and what the next must start afresh.
enum { CHUNK_PHASE_HEAD, CHUNK_PHASE_STORED, CHUNK_PHASE_CODED };
enum { NEED_DICTIONARY = 1, NEED_STATE = 2 };

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

// The first LZMA stream holds the slice size's bytes, when there are two.
static void start_slices(CodedReader *reader) {
    reader->slice_left = reader->slice_size && reader->slice_size < reader->left ? reader->slice_size : reader->left;
}

CodedResult coded_reader_open(CodedReader *reader, const BundleHeader *header, uint32_t max_dictionary,
                              int (*take)(void *context, const uint8_t *bytes, uint32_t size), void *context) {
    CLzmaDec *lzma = (CLzmaDec *)mem_alloc(sizeof(CLzmaDec));
    reader->lzma = lzma;
    reader->stored_left = header->stored_size;
    reader->coded_left = header->stored_size ? header->coded_size : UINT64_MAX;
    uint64_t archive_size = header->archive_size - header->stored_size;
    reader->left = archive_size;
    reader->slice_size = header->slice_size;
    start_slices(reader);
    reader->filter = header->filter;
    x86_init(&reader->x86);
    reader->held = 0;
    reader->take = take;
    reader->context = context;
    reader->finished = 0;
    reader->error = CODED_NO_MEMORY;
    reader->split_phase = header->filter >= BUNDLE_FILTER_SPLIT ? SPLIT_HEAD : SPLIT_MAIN;
    reader->relative.position = reader->relative.base = 0;
    reader->split_have = reader->targets_size = reader->targets_used = 0;
    reader->targets_lzma = 0;
    reader->targets = reader->flag_bytes = 0;
    reader->archive_size = archive_size;
    reader->position = 0;
    reader->previous = 0;
    reader->max_size = max_dictionary;
    // A dictionary larger than the whole stream is never reached into, so the
    // stream's size is enough; LZMA's least is 4 KiB.
    uint32_t size = header->dictionary;
    if (archive_size < size)
        size = archive_size < BUNDLE_DICTIONARY_MIN ? (uint32_t)BUNDLE_DICTIONARY_MIN : (uint32_t)archive_size;
    if (!lzma)
        return reader->error;
    LzmaDec_Construct(lzma);
    reader->chunks = header->codec == BUNDLE_CODEC_LZMA2;
    reader->chunk_phase = CHUNK_PHASE_HEAD;
    reader->chunk_need = NEED_DICTIONARY | NEED_STATE;
    reader->chunk_have = 0;
    reader->properties = (uint8_t)header->properties;
    if ((header->codec != BUNDLE_CODEC_LZMA && !reader->chunks) || size > max_dictionary)
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

// The split conversion's header is in: its sizes checked, its memory taken.
static CodedResult split_start(CodedReader *reader) {
    const uint8_t *head = reader->split_header;
    uint64_t main_size = sfx_get32(head) | (uint64_t)sfx_get32(head + 4) << 32;
    reader->targets_size = sfx_get32(head + 8);
    reader->targets_coded = sfx_get32(head + 12);
    reader->flags_size = sfx_get32(head + 16);
    if (reader->targets_size % 4 != 0 || reader->targets_size > SPLIT_TARGETS_MAX ||
        (reader->targets_size == 0) != (reader->targets_coded == 0) || reader->flags_size < SPLIT_RANGE_END ||
        main_size != reader->archive_size - reader->targets_size || reader->targets_size > reader->archive_size)
        return CODED_DAMAGED;
    if (reader->targets_size > reader->max_size || reader->flags_size > reader->max_size)
        return CODED_NO_MEMORY;
    reader->left = main_size;
    start_slices(reader);
    reader->flag_bytes = (uint8_t *)mem_alloc(reader->flags_size);
    if (!reader->flag_bytes)
        return CODED_NO_MEMORY;
    if (reader->targets_size == 0)
        return CODED_OK;
    CLzmaDec *lzma = (CLzmaDec *)mem_alloc(sizeof(CLzmaDec));
    reader->targets_lzma = lzma;
    reader->targets = (uint8_t *)mem_alloc(reader->targets_size);
    if (!lzma || !reader->targets)
        return CODED_NO_MEMORY;
    LzmaDec_Construct(lzma);
    uint32_t size = reader->targets_size;
    uint8_t properties[LZMA_PROPS_SIZE] = {SPLIT_ADDRESS_PROPERTIES, (uint8_t)size, (uint8_t)(size >> 8),
                                           (uint8_t)(size >> 16), (uint8_t)(size >> 24)};
    if (LzmaDec_AllocateProbs(lzma, properties, LZMA_PROPS_SIZE, &allocator) != SZ_OK)
        return CODED_NO_MEMORY;
    lzma->dic = reader->targets;
    lzma->dicBufSize = size;
    LzmaDec_Init(lzma);
    return CODED_OK;
}

static void free_targets_lzma(CodedReader *reader) {
    if (reader->targets_lzma)
        LzmaDec_FreeProbs((CLzmaDec *)reader->targets_lzma, &allocator);
    mem_free(reader->targets_lzma);
    reader->targets_lzma = 0;
}

// Takes what it can of the split conversion's header and streams from
// 'bytes': the count of bytes it took, in *used.
static CodedResult split_prefix(CodedReader *reader, const uint8_t *bytes, uint32_t size, uint32_t *used) {
    *used = 0;
    if (reader->split_phase == SPLIT_HEAD) {
        uint32_t n = SPLIT_HEADER_SIZE - reader->split_have;
        n = n < size ? n : size;
        memcpy(reader->split_header + reader->split_have, bytes, n);
        *used = n;
        if ((reader->split_have += n) < SPLIT_HEADER_SIZE)
            return CODED_OK;
        reader->split_have = 0;
        reader->split_phase = SPLIT_TARGETS;
        return split_start(reader);
    }
    if (reader->split_phase == SPLIT_TARGETS) {
        CLzmaDec *lzma = (CLzmaDec *)reader->targets_lzma;
        uint32_t left = reader->targets_coded - reader->split_have;
        if (left > 0) {
            SizeT n = left < size ? left : size;
            ELzmaStatus status;
            SizeT start = lzma->dicPos;
            if (LzmaDec_DecodeToDic(lzma, reader->targets_size, bytes, &n, LZMA_FINISH_END, &status) != SZ_OK ||
                (n == 0 && lzma->dicPos == start))
                return CODED_DAMAGED;
            *used = (uint32_t)n;
            reader->split_have += (uint32_t)n;
            if (reader->split_have < reader->targets_coded) {
                if (status == LZMA_STATUS_FINISHED_WITH_MARK)
                    return CODED_DAMAGED; // the mark before the stream's declared end
                return CODED_OK;
            }
            if (lzma->dicPos != reader->targets_size || (status != LZMA_STATUS_FINISHED_WITH_MARK &&
                                                         status != LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK))
                return CODED_DAMAGED;
        }
        free_targets_lzma(reader);
        reader->split_have = 0;
        reader->split_phase = SPLIT_FLAGS;
        return CODED_OK;
    }
    uint32_t n = reader->flags_size - reader->split_have;
    n = n < size ? n : size;
    memcpy(reader->flag_bytes + reader->split_have, bytes, n);
    *used = n;
    if ((reader->split_have += n) < reader->flags_size)
        return CODED_OK;
    reader->split_phase = SPLIT_MAIN;
    split_model_init(&reader->model);
    return split_flags_start(&reader->flags, reader->flag_bytes, reader->flags_size) ? CODED_OK : CODED_DAMAGED;
}

// Passes on the first 'n' bytes of 'work', with the x86-64 conversion undone
// over all but the last few, which stay at its front; all at the end.
static CodedResult pass_work(CodedReader *reader, uint32_t *n, int last) {
    uint32_t done = *n;
    if (reader->filter == BUNDLE_FILTER_SPLIT_X64) {
        done = relative_convert(&reader->relative, reader->work, *n, 0);
        if (last)
            done = *n; // the last few stay as they are
    }
    if (done > 0 && !reader->take(reader->context, reader->work, done))
        return CODED_REFUSED;
    reader->held = *n - done;
    memmove(reader->work, reader->work + done, reader->held);
    *n = reader->held;
    return CODED_OK;
}

// Puts the targets back into what the main stream decoded, and passes the
// bytes on: CODED_DAMAGED when the flags or targets run out.
static CodedResult merge(CodedReader *reader, const uint8_t *bytes, uint32_t size, int last) {
    uint32_t n = reader->held;
    for (uint32_t i = 0; i < size; i++) {
        uint8_t byte = bytes[i];
        reader->work[n++] = byte;
        reader->position++;
        if (split_is_branch(byte, reader->archive_size - reader->position)) {
            int taken = split_flags_next(&reader->flags, &reader->model.probability[split_context(byte, reader->previous)]);
            if (taken < 0 || (taken && reader->targets_size - reader->targets_used < 4))
                return CODED_DAMAGED;
            if (taken) {
                const uint8_t *t = reader->targets + reader->targets_used;
                reader->targets_used += 4;
                uint32_t target = (uint32_t)t[0] << 24 | (uint32_t)t[1] << 16 | (uint32_t)t[2] << 8 | t[3];
                uint32_t relative = split_relative(target, reader->position + 4);
                for (int k = 0; k < 4; k++)
                    reader->work[n++] = (uint8_t)(relative >> (8 * k));
                reader->position += 4;
                byte = (uint8_t)(relative >> 24);
            }
        }
        reader->previous = byte;
        if (n > sizeof reader->work - 5)
            if (CodedResult result = pass_work(reader, &n, 0); result != CODED_OK)
                return result;
    }
    return pass_work(reader, &n, last);
}

// Passes decoded bytes on, through the x86 conversion when there is one.
static CodedResult deliver(CodedReader *reader, const uint8_t *bytes, uint32_t size, int last) {
    if (reader->filter >= BUNDLE_FILTER_SPLIT)
        return merge(reader, bytes, size, last);
    if (reader->filter == BUNDLE_FILTER_NONE)
        return size == 0 || reader->take(reader->context, bytes, size) ? CODED_OK : CODED_REFUSED;
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
            return CODED_REFUSED;
        reader->held = filled - done;
        memmove(reader->work, reader->work + done, reader->held);
        if (size == 0)
            return CODED_OK;
    }
}

enum { FINISHED_MARKED = 1, FINISHED_UNMARKED = 2 };

static CodedResult fail(CodedReader *reader, CodedResult error) { return reader->error = error; }

// A stream has ended: the last, or the first of two slices.
static CodedResult stream_end(CodedReader *reader) {
    if (reader->slice_left != 0)
        return CODED_SHORT;
    if (reader->left > 0) {
        reader->slice_left = reader->left; // the second slice: the dictionary kept
        reader->chunk_need = NEED_STATE;
        return CODED_OK;
    }
    reader->finished = FINISHED_MARKED;
    if (CodedResult result = deliver(reader, 0, 0, 1); result != CODED_OK)
        return result;
    if (reader->filter >= BUNDLE_FILTER_SPLIT &&
        (reader->targets_used != reader->targets_size || reader->flags.at != reader->flags.size))
        return CODED_DAMAGED;
    return CODED_OK;
}

// A chunk's header is in: checks what it starts afresh and its sizes.
static CodedResult chunk_start(CodedReader *reader) {
    CLzmaDec *lzma = (CLzmaDec *)reader->lzma;
    const uint8_t *head = reader->chunk_head;
    reader->chunk_have = 0;
    if (head[0] == CHUNK_END)
        return stream_end(reader);
    int reset_dictionary, reset_state = 0;
    if (head[0] < CHUNK_CODED) {
        reset_dictionary = head[0] == CHUNK_STORED_RESET;
        reader->chunk_data = ((uint32_t)head[1] << 8 | head[2]) + 1;
        reader->chunk_phase = CHUNK_PHASE_STORED;
    } else {
        uint32_t mode = head[0] >> 5 & 3;
        reset_dictionary = mode == CHUNK_RESET_ALL;
        reset_state = mode != CHUNK_RESET_NONE;
        if ((reader->chunk_need & NEED_STATE && !reset_state) ||
            (mode >= CHUNK_RESET_STATE_PROPERTIES && head[5] != reader->properties))
            return CODED_DAMAGED;
        reader->chunk_data = ((uint32_t)(head[0] & 0x1F) << 16 | (uint32_t)head[1] << 8 | head[2]) + 1;
        reader->chunk_coded = ((uint32_t)head[3] << 8 | head[4]) + 1;
        reader->chunk_phase = CHUNK_PHASE_CODED;
    }
    if (!reset_dictionary != !(reader->chunk_need & NEED_DICTIONARY) || reader->chunk_data > reader->slice_left)
        return CODED_DAMAGED;
    reader->chunk_need = reset_state ? 0 : reader->chunk_need & ~NEED_DICTIONARY;
    LzmaDec_InitDicAndState(lzma, reset_dictionary, reset_state);
    return CODED_OK;
}

// Takes what it can of the next piece of LZMA in chunks.
static CodedResult feed_chunks(CodedReader *reader, const uint8_t *bytes, uint32_t size) {
    CLzmaDec *lzma = (CLzmaDec *)reader->lzma;
    for (;;) {
        if (reader->chunk_phase != CHUNK_PHASE_CODED && size == 0)
            return CODED_OK;
        if (reader->finished)
            return CODED_TRAILING;
        if (lzma->dicPos == lzma->dicBufSize)
            lzma->dicPos = 0;
        SizeT start = lzma->dicPos, room = lzma->dicBufSize - start;
        if (room > reader->chunk_data)
            room = reader->chunk_data;
        uint32_t produced;
        if (reader->chunk_phase == CHUNK_PHASE_HEAD) {
            uint32_t head_size = chunk_header_size(reader->chunk_have ? reader->chunk_head[0] : bytes[0]);
            if (head_size == 0)
                return CODED_DAMAGED;
            uint32_t n = head_size - reader->chunk_have;
            n = n < size ? n : size;
            memcpy(reader->chunk_head + reader->chunk_have, bytes, n);
            bytes += n;
            size -= n;
            if ((reader->chunk_have += n) == head_size)
                if (CodedResult result = chunk_start(reader); result != CODED_OK)
                    return result;
            continue;
        } else if (reader->chunk_phase == CHUNK_PHASE_STORED) {
            // As LZMA's own output: into the dictionary, and counted there.
            produced = (uint32_t)(room < size ? room : size);
            memcpy(lzma->dic + start, bytes, produced);
            lzma->dicPos += produced;
            if (lzma->checkDicSize == 0 && lzma->prop.dicSize - lzma->processedPos <= produced)
                lzma->checkDicSize = lzma->prop.dicSize;
            lzma->processedPos += produced;
            bytes += produced;
            size -= produced;
        } else {
            SizeT used = reader->chunk_coded < size ? reader->chunk_coded : size;
            ELzmaStatus status;
            SRes result = LzmaDec_DecodeToDic(lzma, start + room, bytes, &used,
                                              room == reader->chunk_data ? LZMA_FINISH_END : LZMA_FINISH_ANY, &status);
            bytes += used;
            size -= (uint32_t)used;
            reader->chunk_coded -= (uint32_t)used;
            produced = (uint32_t)(lzma->dicPos - start);
            if (result != SZ_OK)
                return CODED_DAMAGED;
            if (status == LZMA_STATUS_NEEDS_MORE_INPUT) {
                if (reader->chunk_coded == 0)
                    return CODED_DAMAGED; // the chunk's bytes end before its data
            } else if (used == 0 && produced == 0) {
                // Nothing more comes of it: the chunk must end here.
                if (status != LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK || reader->chunk_data != 0 ||
                    reader->chunk_coded != 0)
                    return CODED_DAMAGED;
                reader->chunk_phase = CHUNK_PHASE_HEAD;
                continue;
            }
        }
        reader->chunk_data -= produced;
        reader->left -= produced;
        reader->slice_left -= produced;
        if (CodedResult result = deliver(reader, lzma->dic + start, produced, 0); result != CODED_OK)
            return result;
        if (reader->chunk_phase == CHUNK_PHASE_STORED && reader->chunk_data == 0)
            reader->chunk_phase = CHUNK_PHASE_HEAD;
        else if (reader->chunk_phase == CHUNK_PHASE_CODED && produced == 0 && size == 0)
            return CODED_OK; // waits for more input
    }
}

// Takes the next piece of the coded part.
static CodedResult feed_coded(CodedReader *reader, const uint8_t *bytes, uint32_t size) {
    CLzmaDec *lzma = (CLzmaDec *)reader->lzma;
    while (size > 0 && reader->split_phase != SPLIT_MAIN) {
        uint32_t used;
        if (CodedResult result = split_prefix(reader, bytes, size, &used); result != CODED_OK)
            return fail(reader, result);
        bytes += used;
        size -= used;
    }
    if (reader->chunks) {
        CodedResult result = feed_chunks(reader, bytes, size);
        return result == CODED_OK ? result : fail(reader, result);
    }
    while (size > 0) {
        if (reader->finished == FINISHED_UNMARKED)
            return CODED_OK; // what follows can only be the end mark
        if (reader->finished)
            return fail(reader, CODED_TRAILING);
        int last = reader->slice_left == reader->left;
        if (lzma->dicPos == lzma->dicBufSize)
            lzma->dicPos = 0;
        // The first of two slices ends in its end mark: with all its bytes
        // out, room for one more, which only the mark leaves unused.
        SizeT start = lzma->dicPos, room = lzma->dicBufSize - start, used = size;
        int to_end = reader->slice_left <= room;
        if (to_end)
            room = reader->slice_left == 0 && !last ? 1 : (SizeT)reader->slice_left;
        ELzmaStatus status;
        SRes result = LzmaDec_DecodeToDic(lzma, start + room, bytes, &used,
                                          to_end && last ? LZMA_FINISH_END : LZMA_FINISH_ANY, &status);
        bytes += used;
        size -= (uint32_t)used;
        uint32_t produced = (uint32_t)(lzma->dicPos - start);
        if (result != SZ_OK || produced > reader->slice_left)
            return fail(reader, CODED_DAMAGED);
        reader->left -= produced;
        reader->slice_left -= produced;
        // The decoder may stop at the declared size, before the end mark,
        // when the range coder's state happens to allow an unmarked end.
        int marked = status == LZMA_STATUS_FINISHED_WITH_MARK;
        reader->finished = !last    ? 0
                           : marked ? FINISHED_MARKED
                           : status == LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK && reader->left == 0 ? FINISHED_UNMARKED
                                                                                                     : 0;
        if (marked && reader->slice_left != 0)
            return fail(reader, CODED_SHORT);
        if (CodedResult result = deliver(reader, lzma->dic + start, produced, reader->finished); result != CODED_OK)
            return fail(reader, result);
        if (reader->finished && reader->filter >= BUNDLE_FILTER_SPLIT &&
            (reader->targets_used != reader->targets_size || reader->flags.at != reader->flags.size))
            return fail(reader, CODED_DAMAGED);
        if (marked && !last) {
            // The second slice: LZMA's state afresh, the dictionary kept.
            LzmaDec_InitDicAndState(lzma, 0, 1);
            reader->slice_left = reader->left;
        } else if (!reader->finished && produced == 0 && used == 0)
            return fail(reader, CODED_DAMAGED);
    }
    return CODED_OK;
}

CodedResult coded_reader_feed(CodedReader *reader, const uint8_t *bytes, uint32_t size) {
    if (reader->error != CODED_OK)
        return reader->error;
    if (reader->coded_left > 0) {
        uint32_t n = reader->coded_left < size ? (uint32_t)reader->coded_left : size;
        if (CodedResult result = feed_coded(reader, bytes, n); result != CODED_OK)
            return result;
        if (reader->coded_left != UINT64_MAX && (reader->coded_left -= n) == 0 && !reader->finished)
            return fail(reader, CODED_DAMAGED); // stored bytes where LZMA should go on
        bytes += n;
        size -= n;
    }
    if (size > reader->stored_left)
        return fail(reader, CODED_TRAILING);
    reader->stored_left -= size;
    return size == 0 || reader->take(reader->context, bytes, size) ? CODED_OK : fail(reader, CODED_REFUSED);
}

CodedResult coded_reader_finish(CodedReader *reader) {
    if (reader->error != CODED_OK)
        return reader->error;
    return reader->finished && reader->stored_left == 0 ? CODED_OK : fail(reader, CODED_TRUNCATED);
}

void coded_reader_free(CodedReader *reader) {
    CLzmaDec *lzma = (CLzmaDec *)reader->lzma;
    if (lzma) {
        LzmaDec_FreeProbs(lzma, &allocator);
        mem_free(lzma->dic);
    }
    mem_free(reader->lzma);
    reader->lzma = 0;
    free_targets_lzma(reader);
    mem_free(reader->targets);
    mem_free(reader->flag_bytes);
    reader->targets = reader->flag_bytes = 0;
}
