// Decodes the coded tar stream of a bundle of version 2 on, fed in pieces of
// any size: raw LZMA with its end mark (the LZMA SDK's decoder), or in
// version 9 LZMA in chunks (bundle_format.h), then, when
// the header names one, the x86 branch conversion undone or the split branch
// targets put back (their streams, held in memory, come first); then, in
// version 5, the stored bytes passed on as they are. In version 6 LZMA's
// data comes in two slices, each its own stream over the one dictionary. The tar bytes go to a
// function in pieces. Neither more nor fewer bytes than the header declares
// ever reach it, and the LZMA stream must end exactly where the coded part
// does, the stored bytes where the input does.
//
// Plain procedures over a plain record; memory from mem_alloc, no C runtime.
#pragma once
#include <stdint.h>

#include "branch_split.h"
#include "bundle_format.h"

enum CodedResult {
    CODED_OK = 0,
    CODED_NO_MEMORY,  // the dictionary is larger than the limit or than memory gives
    CODED_DAMAGED,    // LZMA data that no encoder makes, or more of it than the declared size
    CODED_TRUNCATED,  // the input ended before the stream did
    CODED_SHORT,      // the stream ended before the declared size
    CODED_TRAILING,   // bytes after the stream's end
    CODED_REFUSED,    // the function taking the bytes said stop
};

// The x86 branch conversion's state between pieces.
struct X86State {
    uint32_t position; // of the next byte in the stream
    uint32_t prev_mask, prev_pos;
};

void x86_init(X86State *state);
// Undoes (or, with 'encode', applies) the conversion in place over the next
// 'size' bytes of the stream: the count of bytes now final, all but at most
// the last 4, which must be given again at the front of the next piece (at
// the stream's end they stay as they are).
uint32_t x86_convert(X86State *state, uint8_t *bytes, uint32_t size, int encode);

struct CodedReader {
    void *lzma; // the LZMA SDK's decoder (CLzmaDec), from mem_alloc
    uint64_t left; // tar bytes still to come from the coded part
    uint64_t slice_left; // of those, the ones the current LZMA stream holds
    uint32_t slice_size; // the first stream's, when there are two; else 0
    uint64_t coded_left, stored_left; // input bytes still to come of the coded part, and stored
    uint32_t filter;
    X86State x86;
    uint32_t held; // bytes of 'work' that wait for more to be converted
    RelativeState relative; // filter 3's x86-64 conversion
    uint8_t work[65536 + 4]; // converted bytes on their way: the extractor writes them in pieces of this size
    int (*take)(void *context, const uint8_t *bytes, uint32_t size);
    // The split branch conversion: its header, then its two streams.
    uint32_t split_phase;
    uint32_t split_have; // bytes of the phase's part read so far
    uint8_t split_header[SPLIT_HEADER_SIZE];
    void *targets_lzma; // the targets' decoder while they come
    uint8_t *targets, *flag_bytes;
    uint32_t targets_size, targets_coded, targets_used, flags_size;
    uint64_t archive_size, position; // the coded part's tar bytes, and how many of them are passed on
    uint8_t previous;
    uint32_t max_size; // the most memory each of the streams held may take
    // LZMA in chunks (codec 2): the chunk under way.
    uint32_t chunks;       // 1 for codec 2
    uint32_t chunk_phase;  // its header, its stored bytes or its coded ones
    uint32_t chunk_need;   // what the next chunk must start afresh
    uint8_t chunk_head[CHUNK_HEADER_MAX];
    uint32_t chunk_have; // bytes of its header in
    uint32_t chunk_data, chunk_coded; // bytes it has still to give, and to take
    uint8_t properties; // the header's LZMA properties, which a chunk may repeat
    SplitFlags flags;
    SplitModel model;
    void *context;
    int finished;       // 1 after the end mark; 2 at the declared size, the mark not read
    CodedResult error;  // the first error; no more input is taken after it
};

// Prepares to decode what 'header' describes, allocating the dictionary
// (the smaller of its dictionary size and the archive's) only when it is at
// most 'max_dictionary' bytes: CODED_OK or CODED_NO_MEMORY. Free it in any case.
CodedResult coded_reader_open(CodedReader *reader, const BundleHeader *header, uint32_t max_dictionary,
                              int (*take)(void *context, const uint8_t *bytes, uint32_t size), void *context);
// Takes the next piece of the coded stream.
CodedResult coded_reader_feed(CodedReader *reader, const uint8_t *bytes, uint32_t size);
// The input has ended: CODED_OK when the stream did, with the declared size.
CodedResult coded_reader_finish(CodedReader *reader);
void coded_reader_free(CodedReader *reader);
