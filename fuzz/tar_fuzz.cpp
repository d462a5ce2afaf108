// The tar reader on arbitrary bytes, fed in pieces whose size the first byte
// picks, reading them headers first when its bit 0x40 is set. Every entry it
// passes on must carry a name the rules allow and exactly the data its size
// promises; it ends with success or a refusal, never a crash or a leak.
#include <cstdint>

#include "archive/tar_reader.h"
#include "fuzz_check.h"

namespace {

struct Seen {
    uint64_t size = 0, data = 0, entries = 0;
    bool open = false;
};

int on_begin(void *context, const ArchiveEntry *entry) {
    auto *seen = static_cast<Seen *>(context);
    FUZZ_CHECK(!seen->open);
    FUZZ_CHECK(entry_name_problem(entry->name, entry->name_length) == NAME_OK);
    FUZZ_CHECK(entry->name[entry->name_length] == 0);
    FUZZ_CHECK(entry->type == ENTRY_FILE || entry->size == 0);
    *seen = {entry->size, 0, seen->entries + 1, true};
    return 1;
}

int on_data(void *context, const uint8_t *, uint32_t size) {
    auto *seen = static_cast<Seen *>(context);
    FUZZ_CHECK(seen->open && size > 0);
    seen->data += size;
    FUZZ_CHECK(seen->data <= seen->size);
    return 1;
}

int on_end(void *context, const ArchiveEntry *) {
    auto *seen = static_cast<Seen *>(context);
    FUZZ_CHECK(seen->open && seen->data == seen->size);
    seen->open = false;
    return 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    uint32_t piece = data[0] ? data[0] * 7u : 1u << 20;
    Seen seen;
    ArchiveSink sink{&seen, on_begin, on_data, on_end};
    static TarReader reader; // 8 KiB of name: kept off the stack
    tar_reader_init(&reader, &sink, data[0] & 0x40);
    ArchiveError error = ARCHIVE_OK;
    for (size_t at = 1; at < size && error == ARCHIVE_OK; at += piece)
        error = tar_reader_feed(&reader, data + at, (uint32_t)(size - at < piece ? size - at : piece));
    ArchiveError finished = tar_reader_finish(&reader);
    FUZZ_CHECK(error == ARCHIVE_OK || finished == error);
    FUZZ_CHECK(finished != ARCHIVE_OK || (!seen.open && reader.state == TAR_END));
    FUZZ_CHECK(finished != ARCHIVE_REFUSED);
    FUZZ_CHECK(seen.entries == reader.entries);
    tar_reader_free(&reader);
    return 0;
}
