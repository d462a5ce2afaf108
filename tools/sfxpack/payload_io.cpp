#include "payload_io.h"

#include <cstdio>
#include <stdexcept>

#include "decoder/payload_format.h"
#include "encoder/payload_encoder.h"
#include "output_file.h"
#include "portable/portable_io.h"
#include "progress.h"
#include "tool_error.h"

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

std::vector<uint8_t> encode_with_progress(std::span<const uint8_t> input, int level, const std::string &name,
                                          bool quiet) {
    Progress progress(name, input.size(), quiet);
    try {
        return encode_payload(input, level, [&](size_t done) { progress.update(done); });
    } catch (const std::length_error &e) {
        throw ToolError(e.what());
    }
}

