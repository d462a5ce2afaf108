// Arbitrary data at an arbitrary level: the decoder must give back exactly
// what the encoder was given, reading exactly the payload and no further.
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "decoder/payload_decoder.h"
#include "encoder/payload_encoder.h"
#include "fuzz_check.h"
#include "portable/portable_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    int level = MIN_LEVEL + data[0] % (MAX_LEVEL - MIN_LEVEL + 1);
    std::span<const uint8_t> input(data + 1, size - 1);
    std::vector<uint8_t> payload = encode_payload(input, level);

    // A trailing byte stands for appended data, which decoding must not touch.
    payload.push_back(0xA5);
    if (!decoder_create())
        return 0;
    payload_in = memory_reader_open(payload.data(), payload.size());
    payload_out = memory_writer_open(input.size() + 1024);
    DecodeResult result = decode_payload();
    size_t decoded_size;
    const uint8_t *decoded = memory_writer_data(payload_out, &decoded_size);
    int32_t consumed = file_seek(payload_in, 0, 1);

    FUZZ_CHECK(result == DECODE_OK);
    FUZZ_CHECK(decoded_size == input.size());
    FUZZ_CHECK(input.empty() || std::memcmp(decoded, input.data(), input.size()) == 0);
    FUZZ_CHECK((size_t)consumed == payload.size() - 1);
    file_close(payload_in);
    file_close(payload_out);
    decoder_destroy();
    return 0;
}
