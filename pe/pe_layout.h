// The PE headers as the resource reader and the image rewrite see them:
// the sections, the data directories and the alignments, and the little-
// endian fields they are read and written through. Only pe/ includes it.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pe_layout {

inline uint32_t get16(std::span<const uint8_t> b, uint64_t at) { return b[at] | (uint32_t)b[at + 1] << 8; }
inline uint32_t get32(std::span<const uint8_t> b, uint64_t at) { return get16(b, at) | get16(b, at + 2) << 16; }
inline void put32(std::vector<uint8_t> &b, uint64_t at, uint32_t value) {
    for (int i = 0; i < 4; i++)
        b[at + i] = (uint8_t)(value >> 8 * i);
}
inline void put16(std::vector<uint8_t> &b, uint64_t at, uint32_t value) {
    b[at] = (uint8_t)value;
    b[at + 1] = (uint8_t)(value >> 8);
}
inline uint64_t align_up(uint64_t value, uint64_t alignment) { return (value + alignment - 1) / alignment * alignment; }

enum : uint32_t {
    DIRECTORY_RESOURCE = 2,
    DIRECTORY_CERTIFICATE = 4,
    DIRECTORY_RELOCATION = 5,
    DIRECTORY_DEBUG = 6,
    DIRECTORY_BOUND_IMPORT = 11,
    SECTION_HEADER_SIZE = 40,
    SECTION_INITIALIZED_DATA = 0x40,
    SUBDIRECTORY = 0x80000000,
    DEBUG_ENTRY_SIZE = 28,
};

struct Section {
    char name[9];
    uint32_t virtual_size, rva, raw_size, raw_pointer, flags;
    // Its bytes in memory: the virtual size, or the raw one where that is 0.
    uint32_t extent() const { return virtual_size ? virtual_size : raw_size; }
};

struct Directory {
    uint32_t rva, size;
};

// What the rewrite and the directory's reader need of the headers.
struct Layout {
    uint64_t pe, optional, table;
    uint32_t optional_size, directory_count;
    uint64_t directories;
    uint32_t section_alignment, file_alignment, size_of_headers, entry_point;
    std::vector<Section> sections;

    Directory directory(uint32_t index, std::span<const uint8_t> headers) const {
        uint64_t at = directories + 8 * index;
        if (index >= directory_count || at + 8 > optional + optional_size)
            return {0, 0};
        return {get32(headers, at), get32(headers, at + 4)};
    }
    // Where 'size' bytes at 'rva' lie in the file, when one section's data holds them.
    std::optional<uint64_t> file_offset(uint32_t rva, uint32_t size) const {
        for (const Section &s : sections) {
            uint64_t at = (uint64_t)rva - s.rva;
            if (rva >= s.rva && at + size <= std::min(s.raw_size, s.extent()))
                return (uint64_t)s.raw_pointer + at;
        }
        return std::nullopt;
    }
};

// The layout, or nullopt with *why: "not a PE file (the reason)".
std::optional<Layout> read_layout(std::span<const uint8_t> headers, std::string *why);

} // namespace pe_layout
