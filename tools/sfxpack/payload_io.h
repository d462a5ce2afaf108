// Payloads into and out of the tool's own files: decoded to an output all or
// nothing, encoded with a progress bar.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "output_file.h"
#include "package/payload.h"

struct DecodeLimits {
    uint64_t max_size;
    bool quiet;
    OutputOptions output;
};

// Decodes 'payload' into the file at 'output' (or "-"), all or nothing;
// with a package record, only a stub that matches it. 'source' names the
// input in messages. The bytes written.
uint64_t decode_to_output(const PayloadSource &payload, const std::string &source,
                      const std::string &output, const DecodeLimits &limits, const SfxRecord *record = nullptr);

// The encoder with a progress bar for large inputs, which 'name' names;
// ToolError when too large.
std::vector<uint8_t> encode_with_progress(std::span<const uint8_t> input, int level, const std::string &name,
                                          bool quiet);
