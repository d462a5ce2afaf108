// The bundle header at the start of the appended data, and the command it
// carries as the extractor splits it. A header read as sound lies within
// the bytes given, and from version 3 on writes back the same where the
// writer would choose that version; the command's program and arguments lie
// within the command.
#include <cstdint>
#include <cstring>

#include "archive/bundle_format.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    BundleHeader header;
    if (!bundle_header_read(data, (uint32_t)size, &header))
        return 0;
    uint32_t fixed = header.version == 1                       ? BUNDLE_V1_HEADER_SIZE
                     : header.version >= BUNDLE_SLICED_VERSION ? BUNDLE_V6_HEADER_SIZE
                     : header.version == BUNDLE_STORED_VERSION ? BUNDLE_V5_HEADER_SIZE
                     : header.version == BUNDLE_TARGET_VERSION ? BUNDLE_V4_HEADER_SIZE
                                                               : BUNDLE_HEADER_SIZE;
    FUZZ_CHECK(header.size == fixed + header.command_length + header.title_length + header.target_length &&
               header.size <= size);
    FUZZ_CHECK(header.command == (const char *)data + fixed && header.title == header.command + header.command_length &&
               header.target == header.title + header.title_length);
    FUZZ_CHECK(header.command_length > 0 || header.version >= BUNDLE_TARGET_VERSION);
    FUZZ_CHECK((header.version == BUNDLE_SLICED_VERSION) <= (header.slice_size > 0) &&
               (header.slice_size > 0) <= (header.version >= BUNDLE_SLICED_VERSION) &&
               (header.headers_first != 0) == (header.version >= BUNDLE_HEADERS_FIRST_VERSION) &&
               (header.filter == BUNDLE_FILTER_SPLIT_X64) <= (header.version >= BUNDLE_X64_VERSION) &&
               (header.codec == BUNDLE_CODEC_LZMA2) == (header.version == BUNDLE_VERSION) &&
               (header.stored_size > 0 || header.slice_size > 0) <= (header.version >= BUNDLE_STORED_VERSION) &&
               (header.version == BUNDLE_STORED_VERSION) <= (header.stored_size > 0) &&
               (header.slice_size == 0 ? header.stored_size <= header.archive_size
                                       : header.stored_size + header.slice_size < header.archive_size));
    bool archive_target_or_flags = header.command_length == 0 || header.target_length > 0 || header.flags != 0;
    uint32_t version = header.codec == BUNDLE_CODEC_LZMA2        ? BUNDLE_VERSION
                       : header.filter == BUNDLE_FILTER_SPLIT_X64 ? BUNDLE_X64_VERSION
                       : header.headers_first    ? BUNDLE_HEADERS_FIRST_VERSION
                       : header.slice_size > 0   ? BUNDLE_SLICED_VERSION
                       : header.stored_size > 0  ? BUNDLE_STORED_VERSION
                       : archive_target_or_flags ? BUNDLE_TARGET_VERSION
                                                 : BUNDLE_COMMAND_VERSION;
    if (header.version == version) {
        static uint8_t written[BUNDLE_HEADER_MAX];
        FUZZ_CHECK(bundle_header_write(&header, written) == header.size);
        FUZZ_CHECK(std::memcmp(written, data, header.size) == 0);
    }
    if (header.command_length == 0)
        return 0;

    static CommandParts parts; // a name's room: kept off the stack
    NameProblem problem = command_split(header.command, header.command_length, &parts);
    if (problem != NAME_OK)
        return 0;
    FUZZ_CHECK(parts.program[parts.program_length] == 0);
    FUZZ_CHECK(parts.arguments >= header.command &&
               parts.arguments + parts.arguments_length == header.command + header.command_length);
    command_system_program(&parts);
    return 0;
}
