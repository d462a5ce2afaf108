// The decoder on arbitrary payload bytes. Whatever the count says, output is
// capped, so a huge count costs at most the cap; every run must end with
// success or one of the decoder's refusals, within the input it was given.
#include <cstdint>
#include <cstdlib>

#include "decoder/payload_decoder.h"
#include "decoder/payload_format.h"
#include "fuzz_check.h"
#include "portable/portable_io.h"

namespace {
constexpr size_t OUTPUT_CAP = 1 << 16; // eight windows: enough to wrap, quick to fill

int32_t count_of(const uint8_t *data, size_t size) {
    if (size < 4)
        return 0;
    return (int32_t)(data[0] | (uint32_t)data[1] << 8 | (uint32_t)data[2] << 16 | (uint32_t)data[3] << 24);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!decoder_create())
        return 0;
    payload_in = memory_reader_open(data, size);
    payload_out = counting_writer_open(OUTPUT_CAP);
    DecodeResult result = decode_payload();
    size_t written = counting_writer_total(payload_out);
    int32_t consumed = file_seek(payload_in, 0, 1);
    file_close(payload_in);
    file_close(payload_out);
    decoder_destroy();

    FUZZ_CHECK(result == DECODE_OK || result == DECODE_TRUNCATED || result == DECODE_MALFORMED ||
               result == DECODE_WRITE_FAILED);
    FUZZ_CHECK(consumed >= 0 && (size_t)consumed <= size);
    FUZZ_CHECK(written <= OUTPUT_CAP);
    if (result == DECODE_OK) {
        // The last match may run past the count, never by a whole match more;
        // the longest is a far one, with both length bonuses.
        int32_t count = count_of(data, size);
        if (count <= 0)
            FUZZ_CHECK(written == 0);
        else
            FUZZ_CHECK(written >= (size_t)count && written < (size_t)count + MAX_BASE_LENGTH + length_bonus(UINT32_MAX));
    }
    return 0;
}
