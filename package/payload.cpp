#include "package/payload.h"

#include "decoder/payload_format.h"
#include "package/package_error.h"
#include "portable/portable_io.h"

DecodeResult decode_between(FileHandle in, FileHandle out) {
    if (!decoder_create())
        throw PackageError("out of memory");
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

bool peek_count(FileHandle reader, int32_t *count) {
    uint8_t header[PAYLOAD_HEADER_SIZE];
    int32_t got = file_peek(header, sizeof header, reader);
    return got >= 0 && read_count_header(std::span(header, (size_t)got), count);
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
