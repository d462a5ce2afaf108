// The package record: the 40 bytes before the payload of any file the
// loader or the stub is given. A record read as sound is written back the
// same (byte for byte in version 2) and reads back the same; one is found
// exactly where a magic is.
#include <cstdint>
#include <cstring>

#include "fuzz_check.h"
#include "include/sfx_package.h"

// The input's last SFX_RECORD_SIZE bytes: a read past them is a finding.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size) {
    if (size < SFX_RECORD_SIZE)
        return 0;
    const uint8_t *data = input + size - SFX_RECORD_SIZE;
    static uint32_t table[256];
    if (table[1] == 0)
        sfx_crc32_table(table);
    SfxRecord record, again;
    int found = sfx_record_read(table, data, &record);
    bool magic = sfx_get32(data) == SFX_RECORD_MAGIC ||
                 sfx_get32(data + SFX_RECORD_SIZE - SFX_RECORD_V1_SIZE) == SFX_RECORD_MAGIC;
    FUZZ_CHECK((found != 0) == magic);
    if (found != 1)
        return 0;
    FUZZ_CHECK(record.version == 1 || record.version == SFX_RECORD_VERSION);
    FUZZ_CHECK(record.version == SFX_RECORD_VERSION || record.flags == 0);
    unsigned char written[SFX_RECORD_SIZE];
    sfx_record_write(table, &record, written);
    FUZZ_CHECK(record.version == 1 || std::memcmp(written, data, SFX_RECORD_SIZE) == 0);
    FUZZ_CHECK(sfx_record_read(table, written, &again) == 1);
    again.version = record.version;
    FUZZ_CHECK(std::memcmp(&again, &record, sizeof record) == 0);
    return 0;
}
