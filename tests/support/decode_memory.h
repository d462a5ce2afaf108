#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoder/payload_decoder.h"

struct DecodeOutcome {
    DecodeResult result;
    std::vector<uint8_t> output;
    int32_t bytes_consumed; // input position when decoding ended
};

// One decoder_create / decode_payload / decoder_destroy cycle on memory buffers.
DecodeOutcome decode_memory(const std::vector<uint8_t> &payload,
                            size_t output_limit = SIZE_MAX);
