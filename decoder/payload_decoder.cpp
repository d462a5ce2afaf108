#include "payload_decoder.h"

#include "bit_input.h"
#include "decoder_io.h"
#include "payload_format.h"

FileHandle payload_in; // set by whoever runs the decoder; zero, so it costs the loader no data section
FileHandle payload_out;
AdaptiveTree literal_tree;
AdaptiveTree distance_tree;

static uint8_t window[WINDOW_SIZE];

int decoder_create() {
    for (int i = 0; i < WINDOW_SIZE; i++)
        window[i] = 0;
    if (!tree_create(&literal_tree, LITERAL_ALPHABET, LITERAL_MAX_WEIGHT, LITERAL_ESCAPE_BITS))
        return 0;
    return tree_create(&distance_tree, DISTANCE_ALPHABET, DISTANCE_MAX_WEIGHT,
                       DISTANCE_ESCAPE_BITS);
}

void decoder_destroy() {
    tree_destroy(&literal_tree);
    tree_destroy(&distance_tree);
}

static int write_window(uint32_t size) {
    return file_write(window, size, payload_out) == (int32_t)size;
}

static DecodeResult tree_failure(int result) {
    return result == TREE_MALFORMED ? DECODE_MALFORMED : DECODE_TRUNCATED;
}

static int32_t read_count(int *ok) {
    uint8_t header[PAYLOAD_HEADER_SIZE];
    *ok = file_read(header, PAYLOAD_HEADER_SIZE, payload_in) == PAYLOAD_HEADER_SIZE;
    uint32_t count = header[0] | (uint32_t)header[1] << 8 | (uint32_t)header[2] << 16 |
                     (uint32_t)header[3] << 24;
    return (int32_t)count;
}

DecodeResult decode_payload() {
    int ok;
    int32_t count = read_count(&ok);
    if (!ok)
        return DECODE_TRUNCATED;
    bits_reset();
    uint32_t p = 0;
    while (count > 0) {
        int s = tree_decode(&literal_tree);
        if (s < 0)
            return tree_failure(s);
        if (s < FIRST_LENGTH_SYMBOL) {
            window[p++] = (uint8_t)s;
            count--;
            if (p == WINDOW_SIZE) {
                if (!write_window(WINDOW_SIZE))
                    return DECODE_WRITE_FAILED;
                p = 0;
            }
            continue;
        }
        int k = tree_decode(&distance_tree);
        if (k < 0)
            return tree_failure(k);
        uint32_t distance = distance_from_class(k, read_bits(distance_extra_bits(k)));
        if (bits_exhausted())
            return DECODE_TRUNCATED;
        uint32_t length = match_length(s, distance);
        count -= (int32_t)length;
        // In stretches that reach neither end of the window; front to back,
        // so a distance shorter than the length repeats the bytes just made.
        while (length > 0) {
            uint32_t from = (p - distance) & WINDOW_MASK;
            uint32_t run = WINDOW_SIZE - (from > p ? from : p);
            if (run > length)
                run = length;
            length -= run;
            do
                window[p++] = window[from++];
            while (--run);
            if (p == WINDOW_SIZE) {
                if (!write_window(WINDOW_SIZE))
                    return DECODE_WRITE_FAILED;
                p = 0;
            }
        }
    }
    if (p > 0 && !write_window(p))
        return DECODE_WRITE_FAILED;
    return DECODE_OK;
}
