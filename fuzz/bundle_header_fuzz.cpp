// The bundle header at the start of the appended data, and the command it
// carries as the extractor splits it. A header read as sound lies within
// the bytes given, and in version 3 writes back the same; the command's
// program and arguments lie within the command.
#include <cstdint>
#include <cstring>

#include "archive/bundle_format.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    BundleHeader header;
    if (!bundle_header_read(data, (uint32_t)size, &header))
        return 0;
    uint32_t fixed = header.version == 1 ? BUNDLE_V1_HEADER_SIZE : BUNDLE_HEADER_SIZE;
    FUZZ_CHECK(header.size == fixed + header.command_length + header.title_length && header.size <= size);
    FUZZ_CHECK(header.command == (const char *)data + fixed && header.title == header.command + header.command_length);
    FUZZ_CHECK(header.command_length > 0);
    if (header.version == BUNDLE_VERSION) {
        uint8_t written[BUNDLE_HEADER_SIZE];
        bundle_header_write(&header, written);
        FUZZ_CHECK(std::memcmp(written, data, BUNDLE_HEADER_SIZE) == 0);
    }

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
