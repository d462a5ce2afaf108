// Turns a payload (count header and coded bit string) read from payload_in
// back into the packed program's bytes on payload_out.
#pragma once
#include "adaptive_tree.h"

enum DecodeResult {
    DECODE_OK = 0,
    DECODE_TRUNCATED,     // input ended before the count was reached
    DECODE_MALFORMED,     // a code no encoder of this format can produce
    DECODE_WRITE_FAILED,  // payload_out refused or shortened a write
};

extern AdaptiveTree literal_tree;
extern AdaptiveTree distance_tree;

// Allocates both trees and clears the window; 1 on success, 0 when out of memory.
int decoder_create();
DecodeResult decode_payload();
void decoder_destroy();
