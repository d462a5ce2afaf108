// The decoder's file and memory functions in the extractor: payload_in reads
// the bundle's payload from the packed file through a buffer, and payload_out
// is no file at all but a function that takes the decoded bytes (the tar
// reader, with the progress window).
#pragma once
#include <windows.h>

#include "decoder/decoder_io.h"

struct PayloadSource {
    HANDLE file;
    uint64_t left;   // bytes still to read from the file into the buffer
    uint32_t at, filled;
    uint8_t buffer[65536];
};

struct PayloadSink {
    // Nonzero to go on, 0 to fail the write and so stop the decoder.
    int (*take)(void *context, const uint8_t *bytes, uint32_t size);
    void *context;
};

// Reads 'size' bytes of 'file' from 'offset' on: 1, or 0 when it cannot seek there.
int source_open(PayloadSource *source, HANDLE file, uint64_t offset, uint64_t size);
