// The resource directory reader, which sfxpack runs on every stub and on a
// bundle command's program: any file is listed, refused with a reason or
// listed with warnings, in time linear in its size; what it lists lies in
// the file, and written anew it lists the same again. The identity read
// from it is drawn from the same listing.
#include <cstdint>
#include <vector>

#include "fuzz_check.h"
#include "pe/program_identity.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::span<const uint8_t> file(data, size);
    ResourceListing listing = list_resources(file, size, read_from(file));
    FUZZ_CHECK(listing.problem.empty() || listing.entries.empty());
    FUZZ_CHECK(listing.entries.size() <= RESOURCE_ENTRIES_MAX);
    std::vector<Resource> resources;
    for (const ResourceEntry &entry : listing.entries) {
        FUZZ_CHECK(entry.file_offset + entry.size <= size);
        std::string why;
        std::vector<uint8_t> bytes = read_resource(entry, read_from(file), (uint32_t)size, &why);
        FUZZ_CHECK(bytes.size() == entry.size && why.empty());
        resources.push_back({entry.type, entry.name, entry.language, std::move(bytes)});
    }
    ProgramIdentity identity = read_identity(file, size, read_from(file));
    FUZZ_CHECK(!identity.icon || !identity.icon->empty());
    if (std::vector<uint8_t> built = identity.version ? build_version_info(*identity.version) : std::vector<uint8_t>();
        !built.empty() && built.size() <= 0xFFFF) { // its lengths are of 16 bits
        std::string why;
        std::optional<VersionInfo> again = parse_version_info(built, &why);
        FUZZ_CHECK(again && again->strings == identity.version->strings);
    }

    // Written into a section of its own and read back: the same resources,
    // but for duplicates (the last kept) in Windows' order.
    std::vector<uint8_t> section = build_resource_section(resources, 0x1000);
    std::vector<uint8_t> image(0x200, 0);
    const uint8_t headers[] = {'P', 'E', 0, 0, 0x4C, 0x01, 1, 0};
    std::copy(std::begin(headers), std::end(headers), image.begin() + 0x40);
    image[0] = 'M', image[1] = 'Z', image[0x3C] = 0x40, image[0x54] = 224, image[0x58] = 0x0B, image[0x59] = 0x01;
    auto put32 = [&](size_t at, uint32_t value) {
        for (int i = 0; i < 4; i++)
            image[at + i] = (uint8_t)(value >> 8 * i);
    };
    put32(0x58 + 92, 16);
    put32(0x58 + 96 + 16, 0x1000);
    put32(0x58 + 96 + 20, (uint32_t)section.size());
    put32(0x138 + 8, (uint32_t)section.size());
    put32(0x138 + 12, 0x1000);
    put32(0x138 + 16, (uint32_t)section.size());
    put32(0x138 + 20, 0x200);
    image.insert(image.end(), section.begin(), section.end());
    ResourceListing again = list_resources(image, image.size(), read_from(image));
    FUZZ_CHECK(again.problem.empty() && again.warnings.empty() && again.entries.size() <= resources.size());
    return 0;
}
