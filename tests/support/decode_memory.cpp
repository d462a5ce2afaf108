#include "decode_memory.h"

#include <stdexcept>

#include "portable/portable_io.h"

DecodeOutcome decode_memory(const std::vector<uint8_t> &payload, size_t output_limit) {
    if (!decoder_create())
        throw std::bad_alloc();
    payload_in = memory_reader_open(payload.data(), payload.size());
    payload_out = memory_writer_open(output_limit);
    DecodeOutcome outcome;
    outcome.result = decode_payload();
    size_t size;
    const uint8_t *data = memory_writer_data(payload_out, &size);
    outcome.output.assign(data, data + size);
    outcome.bytes_consumed = file_seek(payload_in, 0, 1);
    file_close(payload_in);
    file_close(payload_out);
    decoder_destroy();
    return outcome;
}
