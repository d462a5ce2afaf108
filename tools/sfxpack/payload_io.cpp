#include "payload_io.h"

#include <cstdio>
#include <stdexcept>

#include "decoder/payload_format.h"
#include "encoder/payload_encoder.h"
#include "output_file.h"
#include "portable/portable_io.h"
#include "progress.h"
#include "tool_error.h"

DecodeResult decode_between(FileHandle in, FileHandle out) {
    if (!decoder_create())
        throw ToolError("out of memory");
    payload_in = in;
    payload_out = out;
    DecodeResult result = decode_payload();
    decoder_destroy();
    payload_in = payload_out = FILE_INVALID;
    return result;
}

const char *decode_result_text(DecodeResult result) {
    switch (result) {
    case DECODE_OK:
        return "ok";
    case DECODE_TRUNCATED:
        return "payload is truncated";
    case DECODE_MALFORMED:
        return "payload is malformed (a symbol was escaped twice)";
    case DECODE_WRITE_FAILED:
        return "cannot write the decoded output";
    }
    return "unknown decoder result";
}

bool read_count_header(std::span<const uint8_t> payload, int32_t *count) {
    if (payload.size() < PAYLOAD_HEADER_SIZE)
        return false;
    *count = (int32_t)(payload[0] | (uint32_t)payload[1] << 8 | (uint32_t)payload[2] << 16 |
                       (uint32_t)payload[3] << 24);
    return true;
}

std::string stub_problem(const SfxRecord &record, const PayloadReport &report) {
    if (report.decoded_size != record.stub_size || report.decoded_crc32 != record.stub_crc32) {
        char text[160];
        std::snprintf(text, sizeof text, "%llu bytes with CRC-32 %08x, the package record says %u bytes with %08x",
                      (unsigned long long)report.decoded_size, report.decoded_crc32, record.stub_size,
                      record.stub_crc32);
        return std::string("the unpacked stub does not match the package record: ") + text;
    }
    if (report.coded_size != record.payload_size)
        return "the payload ends after " + std::to_string(report.coded_size) + " bytes, the package record says " +
               std::to_string(record.payload_size);
    return "";
}

void decode_to_output(std::span<const uint8_t> payload, const std::string &source,
                      const std::string &output, const DecodeLimits &limits, const SfxRecord *record) {
    int32_t count;
    if (!read_count_header(payload, &count))
        throw ToolError(source + ": " + decode_result_text(DECODE_TRUNCATED));
    if (count > 0 && (uint64_t)count > limits.max_size)
        throw ToolError(source + ": payload decodes to " + std::to_string(count) +
                        " bytes, more than the limit of " + std::to_string(limits.max_size) +
                        " (see --max-size)");

    OutputFile out(output);
    FileHandle reader = memory_reader_open(payload.data(), payload.size());
    FileHandle writer = file_from_fd(out.fd());
    DecodeResult result;
    {
        Progress progress("decoding", count > 0 ? (uint64_t)count : 0, limits.quiet);
        progress.watch_file_size(out.fd());
        result = decode_between(reader, writer);
    }
    WrittenBytes taken = file_written(writer);
    PayloadReport written{result, true, count, (uint64_t)file_seek(reader, 0, 1), taken.size, taken.crc32};
    file_close(writer);
    file_close(reader);
    if (result != DECODE_OK)
        throw ToolError(source + ": " + decode_result_text(result));
    if (std::string problem = record ? stub_problem(*record, written) : ""; !problem.empty())
        throw ToolError(source + ": " + problem);
    out.commit();
}

PayloadReport inspect_payload(std::span<const uint8_t> payload) {
    PayloadReport report{};
    report.has_count = read_count_header(payload, &report.count);
    FileHandle reader = memory_reader_open(payload.data(), payload.size());
    FileHandle counter = counting_writer_open(SIZE_MAX);
    report.result = decode_between(reader, counter);
    report.coded_size = (uint64_t)file_seek(reader, 0, 1);
    WrittenBytes taken = file_written(counter);
    report.decoded_size = taken.size;
    report.decoded_crc32 = taken.crc32;
    file_close(counter);
    file_close(reader);
    return report;
}

std::vector<uint8_t> encode_with_progress(std::span<const uint8_t> input, int level, bool quiet) {
    Progress progress("encoding", input.size(), quiet);
    try {
        return encode_payload(input, level, [&](size_t done) { progress.update(done); });
    } catch (const std::length_error &e) {
        throw ToolError(e.what());
    }
}

