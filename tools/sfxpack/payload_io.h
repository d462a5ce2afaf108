#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "decoder/decoder_io.h"
#include "decoder/payload_decoder.h"
#include "include/sfx_package.h"
#include "output_file.h"

// Runs the decoder once from 'in' (at the count header) to 'out'.
DecodeResult decode_between(FileHandle in, FileHandle out);
// Why a payload was refused, as a user reads it.
const char *decode_result_text(DecodeResult result);

// The count header; false when the payload is shorter than it.
bool read_count_header(std::span<const uint8_t> payload, int32_t *count);

struct DecodeLimits {
    uint64_t max_size;
    bool quiet;
    OutputOptions output;
};

// A payload's bytes, read from where they lie: 'offset' up to 'end' of a
// descriptor that can seek.
struct PayloadSource {
    int fd;
    uint64_t offset;
    uint64_t end;
};

// Decodes 'payload' into the file at 'output' (or "-"), all or nothing;
// with a package record, only a stub that matches it. 'source' names the
// input in messages. The bytes written.
uint64_t decode_to_output(const PayloadSource &payload, const std::string &source,
                      const std::string &output, const DecodeLimits &limits, const SfxRecord *record = nullptr);

struct PayloadReport {
    DecodeResult result;
    bool has_count;
    int32_t count;
    uint64_t coded_size;   // bytes the decoder read, header included
    uint64_t decoded_size; // bytes it produced
    uint32_t decoded_crc32;
};

// How a cleanly decoded payload differs from its package record; empty when
// it does not.
std::string stub_problem(const SfxRecord &record, const PayloadReport &report);

// Whether a payload held in memory decodes without a refusal.
bool decodes_cleanly(std::span<const uint8_t> payload);

// Decodes without keeping the output, to describe the payload.
PayloadReport inspect_payload(const PayloadSource &payload);

// The encoder with a progress bar for large inputs, which 'name' names;
// ToolError when too large.
std::vector<uint8_t> encode_with_progress(std::span<const uint8_t> input, int level, const std::string &name,
                                          bool quiet);
