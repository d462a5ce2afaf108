// The coded archive after a bundle header (the appended data from its
// second byte on): the LZMA reader, the x86 and split branch conversions,
// on hostile properties, dictionaries, sizes and streams, fed in pieces.
// The first byte's low seven bits pick the pieces' size; its high bit makes
// the taker say stop after as many 64-byte units as those bits count, and
// it always does past OUTPUT_LIMIT.
// The taker never gets more than the header declares, exactly that on
// success, nothing after it said stop, and a stop is what the reader reports.
#include <cstdint>

#include "archive/coded_reader.h"
#include "fuzz_check.h"

namespace {

// Small enough that no input spends its time on memory or on output:
// every seed's archive fits, and a hostile header or a stream of long
// matches (a few bytes can decode to megabytes) costs no more.
const uint32_t DICTIONARY_LIMIT = 1 << 16;
const uint64_t OUTPUT_LIMIT = 1 << 18;

struct Taken {
    uint64_t bytes, stop;
    bool stopped;
};

int take(void *context, const uint8_t *, uint32_t size) {
    auto *taken = static_cast<Taken *>(context);
    FUZZ_CHECK(!taken->stopped && size > 0);
    taken->bytes += size;
    taken->stopped = taken->bytes > taken->stop;
    return !taken->stopped;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    BundleHeader header;
    if (size < 1 || !bundle_header_read(data + 1, (uint32_t)(size - 1), &header))
        return 0;
    uint32_t piece = data[0] & 0x7F ? (data[0] & 0x7F) * 7u : 1u << 20;
    Taken taken{0, data[0] & 0x80 ? (data[0] & 0x7Fu) * 64u : OUTPUT_LIMIT, false};
    static CodedReader reader;
    CodedResult result = coded_reader_open(&reader, &header, DICTIONARY_LIMIT, take, &taken);
    for (size_t at = 1 + header.size; at < size && result == CODED_OK; at += piece)
        result = coded_reader_feed(&reader, data + at, (uint32_t)(size - at < piece ? size - at : piece));
    if (result == CODED_OK)
        result = coded_reader_finish(&reader);
    else
        FUZZ_CHECK(coded_reader_feed(&reader, data, 1) == result && coded_reader_finish(&reader) == result);
    coded_reader_free(&reader);
    FUZZ_CHECK(taken.bytes <= header.archive_size);
    FUZZ_CHECK(result != CODED_OK || taken.bytes == header.archive_size);
    FUZZ_CHECK((result == CODED_REFUSED) == taken.stopped);
    return 0;
}
