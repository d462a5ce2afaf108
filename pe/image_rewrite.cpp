// The rewrite of a loader's image around a new resource section, and the
// PE checksum it ends with.
#include <algorithm>
#include <cstring>

#include "pe/pe_layout.h"
#include "pe/pe_resources.h"

using namespace pe_layout;

namespace {

// A DOS program that says "Win32 program." and ends, and where the PE
// headers follow it: for headers that a longer one pushes past a block.
const uint8_t SHORT_DOS_PROGRAM[] = {0x0E, 0x1F, 0xBA, 0x0E, 0x00, 0xB4, 0x09, 0xCD, 0x21, 0xB8, 0x01, 0x4C, 0xCD, 0x21,
                                     'W',  'i',  'n',  '3',  '2',  ' ',  'p',  'r',  'o',  'g',  'r',  'a',  'm',  '.',
                                     '\r', '\n', '$'};
constexpr uint32_t DOS_HEADER_SIZE = 64;
constexpr uint32_t SHORT_PE_OFFSET = (DOS_HEADER_SIZE + sizeof SHORT_DOS_PROGRAM + 7) / 8 * 8;

} // namespace

ImageRewrite rewrite_resources(std::span<const uint8_t> image, const std::vector<Resource> &resources, uint64_t limit) {
    ImageRewrite result;
    std::optional<Layout> found = read_layout(image, &result.problem);
    if (!found)
        return result;
    const Layout &layout = *found;
    uint32_t file_alignment = layout.file_alignment, section_alignment = layout.section_alignment;
    if (file_alignment == 0 || section_alignment == 0 || (file_alignment & (file_alignment - 1)) ||
        (section_alignment & (section_alignment - 1))) {
        result.problem = "its alignments are not powers of two";
        return result;
    }
    Directory resource_directory = layout.directory(DIRECTORY_RESOURCE, image);
    Directory relocations = layout.directory(DIRECTORY_RELOCATION, image);
    size_t r = layout.sections.size();
    for (size_t i = 0; i < layout.sections.size(); i++)
        if (resource_directory.rva && layout.sections[i].rva == resource_directory.rva)
            r = i;
    if (r == layout.sections.size()) {
        result.problem = "its resources are not a section of their own";
        return result;
    }
    const Section &old = layout.sections[r];
    // Nothing but relocations after the resources in memory, nothing else pointing there.
    for (const Section &s : layout.sections)
        if (s.rva > old.rva &&
            (relocations.rva < s.rva || (uint64_t)relocations.rva + relocations.size > (uint64_t)s.rva + s.extent())) {
            result.problem = "section '" + std::string(s.name) + "' follows the resources in memory; only relocations may";
            return result;
        }
    for (uint32_t d = 0; d < layout.directory_count && d < 16; d++) {
        Directory directory = layout.directory(d, image);
        if (d != DIRECTORY_RESOURCE && d != DIRECTORY_RELOCATION && d != DIRECTORY_CERTIFICATE &&
            directory.rva >= old.rva && directory.size) {
            result.problem = "its data directory " + std::to_string(d) + " lies among the resources or after them";
            return result;
        }
    }
    if (layout.entry_point >= old.rva) {
        result.problem = "its entry point lies among the resources or after them";
        return result;
    }
    std::vector<uint8_t> section = build_resource_section(resources, old.rva);

    // The headers: the DOS program shortened when that saves a block.
    uint32_t pe_offset = (uint32_t)layout.pe;
    uint64_t pe_size = layout.table + SECTION_HEADER_SIZE * layout.sections.size() - layout.pe;
    if (pe_offset > SHORT_PE_OFFSET &&
        align_up(SHORT_PE_OFFSET + pe_size, file_alignment) < align_up(pe_offset + pe_size, file_alignment))
        pe_offset = SHORT_PE_OFFSET;
    uint64_t headers_size = align_up(pe_offset + pe_size, file_alignment);
    for (const Section &s : layout.sections)
        if (s.rva < headers_size) {
            result.problem = "section '" + std::string(s.name) + "' overlaps the headers";
            return result;
        }

    // The file: the sections' data in the order it had, each on the file alignment.
    std::vector<size_t> order;
    for (size_t i = 0; i < layout.sections.size(); i++)
        if (layout.sections[i].raw_size > 0 || i == r)
            order.push_back(i);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return layout.sections[a].raw_pointer < layout.sections[b].raw_pointer;
    });
    std::vector<uint64_t> pointer(layout.sections.size(), 0), raw_size(layout.sections.size(), 0);
    uint64_t end = headers_size;
    for (size_t i : order) {
        const Section &s = layout.sections[i];
        if (i != r && (uint64_t)s.raw_pointer + s.raw_size > image.size()) {
            result.problem = "section '" + std::string(s.name) + "' passes the end of the file";
            return result;
        }
        raw_size[i] = align_up(i == r ? section.size() : s.raw_size, file_alignment);
        pointer[i] = end;
        end += raw_size[i];
    }
    uint64_t others = end - raw_size[r];
    result.asked = section.size();
    result.room = limit > others ? (limit - others) / file_alignment * file_alignment : 0;
    if (end > limit) {
        result.problem = "its resources would take " + std::to_string(result.asked) + " bytes, and there is room for " +
                         std::to_string(result.room) + " (its image must end by byte " + std::to_string(limit) + ")";
        return result;
    }

    std::vector<uint8_t> &out = result.image;
    out.assign(end, 0);
    if (pe_offset == layout.pe) {
        std::copy(image.begin(), image.begin() + pe_offset, out.begin());
    } else {
        std::copy(image.begin(), image.begin() + DOS_HEADER_SIZE, out.begin());
        std::copy(std::begin(SHORT_DOS_PROGRAM), std::end(SHORT_DOS_PROGRAM), out.begin() + DOS_HEADER_SIZE);
        put32(out, 0x3C, pe_offset);
    }
    std::copy(image.begin() + layout.pe, image.begin() + layout.pe + pe_size, out.begin() + pe_offset);
    int64_t moved = (int64_t)pe_offset - (int64_t)layout.pe;
    uint64_t optional = layout.optional + moved, table = layout.table + moved;
    int64_t shift = (int64_t)align_up(section.size(), section_alignment) - (int64_t)align_up(old.extent(), section_alignment);
    uint64_t image_size = align_up(headers_size, section_alignment), initialized = 0;
    for (size_t i = 0; i < layout.sections.size(); i++) {
        const Section &s = layout.sections[i];
        uint64_t header = table + i * SECTION_HEADER_SIZE;
        uint32_t rva = s.rva > old.rva ? (uint32_t)(s.rva + shift) : s.rva;
        uint32_t extent = i == r ? (uint32_t)section.size() : s.extent();
        if (i == r) {
            put32(out, header + 8, extent);
            std::copy(section.begin(), section.end(), out.begin() + pointer[i]);
        } else if (raw_size[i]) {
            std::copy(image.begin() + s.raw_pointer, image.begin() + s.raw_pointer + s.raw_size, out.begin() + pointer[i]);
        }
        put32(out, header + 12, rva);
        put32(out, header + 16, (uint32_t)raw_size[i]);
        put32(out, header + 20, (uint32_t)pointer[i]);
        image_size = std::max(image_size, align_up((uint64_t)rva + extent, section_alignment));
        if (s.flags & SECTION_INITIALIZED_DATA)
            initialized += raw_size[i];
    }
    auto directory_at = [&](uint32_t index) { return layout.directories + moved + 8 * index; };
    put32(out, directory_at(DIRECTORY_RESOURCE) + 4, (uint32_t)section.size());
    if (relocations.rva > old.rva)
        put32(out, directory_at(DIRECTORY_RELOCATION), (uint32_t)(relocations.rva + shift));
    for (uint32_t dropped : {DIRECTORY_CERTIFICATE, DIRECTORY_BOUND_IMPORT})
        if (dropped < layout.directory_count && directory_at(dropped) + 8 <= optional + layout.optional_size) {
            put32(out, directory_at(dropped), 0);
            put32(out, directory_at(dropped) + 4, 0);
        }
    // Debug data named by its place in the file moves with its section.
    auto placed = [&](uint64_t offset) -> uint64_t {
        for (size_t i : order)
            if (i != r && offset >= layout.sections[i].raw_pointer &&
                offset < (uint64_t)layout.sections[i].raw_pointer + layout.sections[i].raw_size)
                return offset - layout.sections[i].raw_pointer + pointer[i];
        return 0;
    };
    Directory debug = layout.directory(DIRECTORY_DEBUG, image);
    if (std::optional<uint64_t> at = layout.file_offset(debug.rva, debug.size); debug.rva && at)
        for (uint64_t e = 0; e + DEBUG_ENTRY_SIZE <= debug.size; e += DEBUG_ENTRY_SIZE)
            if (uint64_t entry = placed(*at + e))
                put32(out, entry + 24, (uint32_t)placed(get32(image, *at + e + 24)));
    put32(out, optional + 8, (uint32_t)initialized);
    put32(out, optional + 56, (uint32_t)image_size);
    put32(out, optional + 60, (uint32_t)headers_size);
    put32(out, optional + 64, 0);
    PeChecksum checksum;
    checksum.add(out);
    put32(out, optional + 64, pe_checksum_value(checksum.sum, checksum.length));
    return result;
}

void PeChecksum::add(std::span<const uint8_t> bytes) {
    size_t i = 0;
    if ((length & 1) && !bytes.empty())
        sum += (uint64_t)bytes[i++] << 8;
    for (; i + 1 < bytes.size(); i += 2)
        sum += bytes[i] | (uint32_t)bytes[i + 1] << 8;
    if (i < bytes.size())
        sum += bytes[i];
    length += bytes.size();
}

uint32_t pe_checksum_value(uint64_t sum, uint64_t length) {
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return (uint32_t)(sum + length);
}
