#include "pe/pe_image.h"

#include <algorithm>

namespace {

uint32_t read_u16(std::span<const uint8_t> b, uint64_t at) { return b[at] | (uint32_t)b[at + 1] << 8; }
uint32_t read_u32(std::span<const uint8_t> b, uint64_t at) { return read_u16(b, at) | read_u16(b, at + 2) << 16; }

constexpr uint64_t COFF_HEADER_SIZE = 20;
constexpr uint64_t SECTION_HEADER_SIZE = 40;
constexpr uint64_t OPTIONAL_SUBSYSTEM = 68;        // same offset in PE32 and PE32+
constexpr uint64_t OPTIONAL_SIZE_OF_HEADERS = 60;
constexpr uint64_t OPTIONAL_CHECKSUM = 64;
constexpr uint64_t CERTIFICATE_DIRECTORY = 4;

std::optional<PeImage> fail(std::string *why, const char *reason) {
    *why = reason;
    return std::nullopt;
}

} // namespace

std::optional<PeImage> parse_pe_image(std::span<const uint8_t> file, std::string *why) {
    if (file.size() < 64 || file[0] != 'M' || file[1] != 'Z')
        return fail(why, "no MZ header");
    uint64_t pe = read_u32(file, 0x3C);
    if (pe + 4 + COFF_HEADER_SIZE > file.size() || read_u32(file, pe) != 0x00004550)
        return fail(why, "no PE signature");
    uint64_t coff = pe + 4;
    uint32_t sections = read_u16(file, coff + 2);
    uint64_t optional_size = read_u16(file, coff + 16);
    uint64_t optional = coff + COFF_HEADER_SIZE;
    if (optional_size < OPTIONAL_SUBSYSTEM + 2 || optional + optional_size > file.size())
        return fail(why, "optional header missing or cut short");
    uint32_t magic = read_u16(file, optional);
    if (magic != 0x10B && magic != 0x20B)
        return fail(why, "unknown optional header magic");
    uint64_t table = optional + optional_size;
    if (table + sections * SECTION_HEADER_SIZE > file.size())
        return fail(why, "section table cut short");

    uint64_t end = read_u32(file, optional + OPTIONAL_SIZE_OF_HEADERS);
    for (uint32_t i = 0; i < sections; i++) {
        uint64_t section = table + i * SECTION_HEADER_SIZE;
        uint64_t raw_size = read_u32(file, section + 16);
        uint64_t raw_pointer = read_u32(file, section + 20);
        if (raw_size > 0)
            end = std::max(end, raw_pointer + raw_size);
    }
    if (end > UINT32_MAX)
        return fail(why, "section data beyond 4 GiB");
    PeImage image{(uint32_t)end, magic == 0x20B, (uint16_t)read_u16(file, optional + OPTIONAL_SUBSYSTEM)};
    image.checksum_offset = (uint32_t)(optional + OPTIONAL_CHECKSUM);
    uint64_t directories = optional + (image.pe32_plus ? 112 : 96);
    uint64_t entry = directories + CERTIFICATE_DIRECTORY * 8;
    if (entry + 8 <= optional + optional_size && read_u32(file, directories - 4) > CERTIFICATE_DIRECTORY) {
        image.certificate_offset = read_u32(file, entry);
        image.certificate_size = read_u32(file, entry + 4);
    }
    return image;
}
