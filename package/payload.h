// Payloads where they lie in a file: decoded between handles, described
// without keeping what they decode to, and held against a package record.
#pragma once
#include <cstdint>
#include <span>
#include <string>

#include "decoder/decoder_io.h"
#include "decoder/payload_decoder.h"
#include "include/sfx_package.h"
#include "portable/portable_io.h"

// Runs the decoder once from 'in' (at the count header) to 'out'.
DecodeResult decode_between(FileHandle in, FileHandle out);
// Why a payload was refused, as a user reads it.
const char *decode_result_text(DecodeResult result);

// The count header; false when the payload is shorter than it.
bool read_count_header(std::span<const uint8_t> payload, int32_t *count);
// Peeks at the count header of the payload 'reader' is over.
bool peek_count(FileHandle reader, int32_t *count);

// A handle closed on every way out.
struct OpenFile {
    FileHandle handle;
    explicit OpenFile(FileHandle h) : handle(h) {}
    ~OpenFile() { file_close(handle); }
    OpenFile(const OpenFile &) = delete;
    OpenFile &operator=(const OpenFile &) = delete;
};

// A payload's bytes, read from where they lie: 'offset' up to 'end' of a
// descriptor that can seek.
struct PayloadSource {
    int fd;
    uint64_t offset;
    uint64_t end;
};

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
