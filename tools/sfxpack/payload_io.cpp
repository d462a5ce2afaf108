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

namespace {

// A handle closed on every way out.
struct OpenFile {
    FileHandle handle;
    explicit OpenFile(FileHandle h) : handle(h) {}
    ~OpenFile() { file_close(handle); }
    OpenFile(const OpenFile &) = delete;
    OpenFile &operator=(const OpenFile &) = delete;
};

// Peeks at the count header of the payload 'reader' is over.
bool peek_count(FileHandle reader, int32_t *count) {
    uint8_t header[PAYLOAD_HEADER_SIZE];
    int32_t got = file_peek(header, sizeof header, reader);
    return got >= 0 && read_count_header(std::span(header, (size_t)got), count);
}

} // namespace

uint64_t decode_to_output(const PayloadSource &payload, const std::string &source,
                      const std::string &output, const DecodeLimits &limits, const SfxRecord *record) {
    OpenFile reader(range_reader_open(payload.fd, payload.offset, payload.end));
    int32_t count;
    if (!peek_count(reader.handle, &count))
        throw ToolError(source + ": " + decode_result_text(DECODE_TRUNCATED));
    if (count > 0 && (uint64_t)count > limits.max_size)
        throw ToolError(source + ": payload decodes to " + std::to_string(count) +
                        " bytes, more than the limit of " + std::to_string(limits.max_size) +
                        " (see --max-size)");

    OutputFile out(output, limits.output);
    OpenFile writer(file_from_fd(out.fd()));
    DecodeResult result;
    {
        Progress progress(source, count > 0 ? (uint64_t)count : 0, limits.quiet);
        progress.watch_file_size(out.fd());
        result = decode_between(reader.handle, writer.handle);
    }
    WrittenBytes taken = file_written(writer.handle);
    PayloadReport written{result, true, count, file_delivered(reader.handle), taken.size, taken.crc32};
    if (result != DECODE_OK)
        throw ToolError(source + ": " + decode_result_text(result));
    if (std::string problem = record ? stub_problem(*record, written) : ""; !problem.empty())
        throw ToolError(source + ": " + problem);
    out.commit();
    return taken.size;
}

bool decodes_cleanly(std::span<const uint8_t> payload) {
    OpenFile reader(memory_reader_open(payload.data(), payload.size()));
    OpenFile counter(counting_writer_open(SIZE_MAX));
    return decode_between(reader.handle, counter.handle) == DECODE_OK;
}

PayloadReport inspect_payload(const PayloadSource &payload) {
    PayloadReport report{};
    OpenFile reader(range_reader_open(payload.fd, payload.offset, payload.end));
    report.has_count = peek_count(reader.handle, &report.count);
    OpenFile counter(counting_writer_open(SIZE_MAX));
    report.result = decode_between(reader.handle, counter.handle);
    report.coded_size = file_delivered(reader.handle);
    WrittenBytes taken = file_written(counter.handle);
    report.decoded_size = taken.size;
    report.decoded_crc32 = taken.crc32;
    return report;
}

std::vector<uint8_t> encode_with_progress(std::span<const uint8_t> input, int level, const std::string &name,
                                          bool quiet) {
    Progress progress(name, input.size(), quiet);
    try {
        return encode_payload(input, level, [&](size_t done) { progress.update(done); });
    } catch (const std::length_error &e) {
        throw ToolError(e.what());
    }
}

