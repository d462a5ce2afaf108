#include "pe/pe_resources.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>

#include "pe/pe_image.h"
#include "pe/pe_layout.h"

using namespace pe_layout;

std::optional<Layout> pe_layout::read_layout(std::span<const uint8_t> headers, std::string *why) {
    std::optional<PeImage> image = parse_pe_image(headers, why);
    if (!image) {
        *why = "not a PE file (" + *why + ")";
        return std::nullopt;
    }
    Layout layout;
    layout.pe = get32(headers, 0x3C);
    layout.optional = layout.pe + 24;
    layout.optional_size = get16(headers, layout.pe + 20);
    layout.table = layout.optional + layout.optional_size;
    uint64_t count_at = layout.optional + (image->pe32_plus ? 108 : 92);
    layout.directory_count = count_at + 4 <= layout.table ? get32(headers, count_at) : 0;
    layout.directories = count_at + 4;
    layout.entry_point = get32(headers, layout.optional + 16);
    layout.section_alignment = get32(headers, layout.optional + 32);
    layout.file_alignment = get32(headers, layout.optional + 36);
    layout.size_of_headers = get32(headers, layout.optional + 60);
    for (uint32_t i = 0, n = get16(headers, layout.pe + 6); i < n; i++) {
        uint64_t at = layout.table + i * SECTION_HEADER_SIZE;
        Section s{};
        std::memcpy(s.name, &headers[at], 8);
        s.virtual_size = get32(headers, at + 8);
        s.rva = get32(headers, at + 12);
        s.raw_size = get32(headers, at + 16);
        s.raw_pointer = get32(headers, at + 20);
        s.flags = get32(headers, at + 36);
        layout.sections.push_back(s);
    }
    return layout;
}

namespace {

std::string id_text(const ResourceId &id) {
    if (id.text.empty())
        return std::to_string(id.id);
    std::string text = "\"";
    text += utf8_of(id.text);
    return text += '"';
}

// Walks the three levels of the directory (type, name, language), each
// table once, within the bytes the directory's section holds after it.
struct DirectoryWalk {
    const ReadAt &read;
    const Layout &layout;
    uint64_t base, available, file_size;
    ResourceListing &out;
    std::set<uint32_t> tables;
    size_t entries = 0;

    bool fail(const std::string &why) {
        out.problem = "its resource directory " + why;
        out.entries.clear();
        return false;
    }
    bool bytes(uint64_t offset, size_t size, std::vector<uint8_t> &to) {
        if (offset + size > available)
            return false;
        to.resize(size);
        return read(base + offset, to.data(), size) == size;
    }
    bool name_at(uint32_t field, ResourceId *id) {
        if (!(field & SUBDIRECTORY)) {
            *id = resource_number(field);
            return true;
        }
        std::vector<uint8_t> b;
        uint32_t at = field & ~SUBDIRECTORY;
        if (!bytes(at, 2, b) || get16(b, 0) == 0 || !bytes(at + 2, 2 * get16(b, 0), b))
            return fail("names a resource by a string outside its section");
        id->id = 0;
        id->text.clear();
        for (size_t i = 0; i < b.size(); i += 2)
            id->text.push_back((char16_t)get16(b, i));
        return true;
    }
    bool table(uint32_t offset, int level, ResourceId path[2]) {
        if (!tables.insert(offset).second)
            return fail("loops: a table is reached twice");
        std::vector<uint8_t> b;
        if (!bytes(offset, 16, b))
            return fail("has a table outside its section");
        uint32_t count = get16(b, 12) + get16(b, 14);
        if ((entries += count) > RESOURCE_ENTRIES_MAX)
            return fail("has more than " + std::to_string(RESOURCE_ENTRIES_MAX) + " entries");
        std::vector<uint8_t> list;
        if (!bytes((uint64_t)offset + 16, 8 * (size_t)count, list))
            return fail("has a table outside its section");
        for (uint32_t i = 0; i < count; i++) {
            uint32_t name = get32(list, 8 * i), target = get32(list, 8 * i + 4);
            ResourceId id;
            if (!name_at(level == 2 ? name & ~SUBDIRECTORY : name, &id))
                return false;
            if (level < 2) {
                if (!(target & SUBDIRECTORY))
                    return fail("has a resource where a table of " + std::string(level ? "languages" : "names") +
                                " belongs");
                path[level] = id;
                if (!table(target & ~SUBDIRECTORY, level + 1, path))
                    return false;
                continue;
            }
            if (target & SUBDIRECTORY)
                return fail("nests deeper than type, name and language");
            std::vector<uint8_t> data;
            if (!bytes(target, 16, data))
                return fail("has a resource entry outside its section");
            uint32_t rva = get32(data, 0), size = get32(data, 4);
            std::string what = "resource " + id_text(path[0]) + "/" + id_text(path[1]) + "/" + std::to_string(id.id);
            std::optional<uint64_t> at = layout.file_offset(rva, size);
            if (!at || *at + size > file_size) {
                out.warnings.push_back(what + ": its " + std::to_string(size) + " bytes at " + std::to_string(rva) +
                                       " lie outside the file's sections; left out");
                continue;
            }
            out.entries.push_back({path[0], path[1], (uint16_t)id.id, size, *at});
        }
        return true;
    }
};

} // namespace

ReadAt read_from(std::span<const uint8_t> file) {
    return [file](uint64_t offset, uint8_t *to, size_t size) -> size_t {
        if (offset >= file.size() || size == 0)
            return 0;
        size_t n = (size_t)std::min<uint64_t>(size, file.size() - offset);
        std::memcpy(to, file.data() + offset, n);
        return n;
    };
}

ResourceListing list_resources(std::span<const uint8_t> headers, uint64_t file_size, const ReadAt &read) {
    ResourceListing listing;
    std::optional<Layout> layout = read_layout(headers, &listing.problem);
    if (!layout)
        return listing;
    Directory directory = layout->directory(DIRECTORY_RESOURCE, headers);
    if (directory.rva == 0)
        return listing;
    for (const Section &s : layout->sections) {
        uint64_t at = (uint64_t)directory.rva - s.rva;
        uint64_t end = std::min(s.raw_size, s.extent());
        if (directory.rva < s.rva || at >= end)
            continue;
        uint64_t base = (uint64_t)s.raw_pointer + at;
        if (base >= file_size)
            break;
        ResourceId path[2];
        DirectoryWalk walk{read, *layout, base, std::min(end - at, file_size - base), file_size, listing, {}, 0};
        walk.table(0, 0, path);
        return listing;
    }
    listing.problem = "its resource directory lies outside the file's sections";
    return listing;
}

std::vector<uint8_t> read_resource(const ResourceEntry &entry, const ReadAt &read, uint32_t max, std::string *why) {
    if (entry.size > max) {
        *why = "it is " + std::to_string(entry.size) + " bytes, more than the " + std::to_string(max) + " read";
        return {};
    }
    std::vector<uint8_t> data(entry.size);
    if (read(entry.file_offset, data.data(), data.size()) != data.size()) {
        *why = "it cannot be read whole";
        return {};
    }
    return data;
}

namespace {

// The order Windows looks resources up in: names (compared in upper case)
// before numbers.
bool id_less(const ResourceId &a, const ResourceId &b) {
    if (a.text.empty() != b.text.empty())
        return !a.text.empty();
    if (a.text.empty())
        return a.id < b.id;
    auto upper = [](char16_t c) { return c >= 'a' && c <= 'z' ? (char16_t)(c - 32) : c; };
    return std::lexicographical_compare(a.text.begin(), a.text.end(), b.text.begin(), b.text.end(),
                                        [&](char16_t x, char16_t y) { return upper(x) < upper(y); });
}

struct Table {
    size_t first, count; // the children's range in the next level, or the resources'
};

} // namespace

std::vector<uint8_t> build_resource_section(std::vector<Resource> resources, uint32_t rva) {
    std::stable_sort(resources.begin(), resources.end(), [](const Resource &a, const Resource &b) {
        if (!(a.type == b.type))
            return id_less(a.type, b.type);
        if (!(a.name == b.name))
            return id_less(a.name, b.name);
        return a.language < b.language;
    });
    std::vector<Resource> kept;
    for (Resource &r : resources) {
        if (!kept.empty() && kept.back().type == r.type && kept.back().name == r.name &&
            kept.back().language == r.language)
            kept.back() = std::move(r);
        else
            kept.push_back(std::move(r));
    }
    // The tables level by level: each type's names, each name's languages.
    std::vector<Table> types, names;
    for (size_t i = 0; i < kept.size(); i++) {
        bool new_type = i == 0 || !(kept[i].type == kept[i - 1].type);
        bool new_name = new_type || !(kept[i].name == kept[i - 1].name);
        if (new_type)
            types.push_back({names.size(), 0});
        if (new_name) {
            names.push_back({i, 0});
            types.back().count++;
        }
        names.back().count++;
    }
    size_t tables = 16 + 8 * types.size() + 16 * types.size() + 8 * names.size() + 16 * names.size() + 8 * kept.size();
    size_t entries_at = tables, strings_at = entries_at + 16 * kept.size();
    std::vector<uint8_t> out(strings_at);
    // Strings for named types and names, then the data.
    auto string_field = [&](const ResourceId &id) -> uint32_t {
        if (id.text.empty())
            return id.id & ~SUBDIRECTORY;
        uint32_t at = (uint32_t)out.size();
        out.resize(out.size() + 2 + 2 * id.text.size());
        put16(out, at, (uint32_t)id.text.size());
        for (size_t i = 0; i < id.text.size(); i++)
            put16(out, at + 2 + 2 * i, id.text[i]);
        return at | SUBDIRECTORY;
    };
    auto header = [&](size_t at, size_t count, size_t named) {
        put16(out, at + 12, (uint32_t)named);
        put16(out, at + 14, (uint32_t)(count - named));
    };
    size_t type_at = 16 + 8 * types.size();
    size_t name_at = type_at + 16 * types.size() + 8 * names.size();
    size_t named_types = 0;
    for (size_t t = 0; t < types.size(); t++)
        named_types += !kept[names[types[t].first].first].type.text.empty();
    header(0, types.size(), named_types);
    size_t language_tables = name_at;
    for (size_t t = 0; t < types.size(); t++) {
        const Table &type = types[t];
        put32(out, 16 + 8 * t, string_field(kept[names[type.first].first].type));
        put32(out, 16 + 8 * t + 4, (uint32_t)type_at | SUBDIRECTORY);
        size_t named = 0;
        for (size_t n = 0; n < type.count; n++)
            named += !kept[names[type.first + n].first].name.text.empty();
        header(type_at, type.count, named);
        for (size_t n = 0; n < type.count; n++) {
            const Table &name = names[type.first + n];
            put32(out, type_at + 16 + 8 * n, string_field(kept[name.first].name));
            put32(out, type_at + 16 + 8 * n + 4, (uint32_t)language_tables | SUBDIRECTORY);
            header(language_tables, name.count, 0);
            for (size_t l = 0; l < name.count; l++) {
                put32(out, language_tables + 16 + 8 * l, kept[name.first + l].language);
                put32(out, language_tables + 16 + 8 * l + 4, (uint32_t)(entries_at + 16 * (name.first + l)));
            }
            language_tables += 16 + 8 * name.count;
        }
        type_at += 16 + 8 * type.count;
    }
    for (size_t i = 0; i < kept.size(); i++) {
        out.resize(align_up(out.size(), 8));
        put32(out, entries_at + 16 * i, rva + (uint32_t)out.size());
        put32(out, entries_at + 16 * i + 4, (uint32_t)kept[i].data.size());
        out.insert(out.end(), kept[i].data.begin(), kept[i].data.end());
    }
    return out;
}

std::string utf8_of(std::u16string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        else if (c >= 0xD800 && c < 0xE000)
            c = 0xFFFD;
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | c >> 6);
            out += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += (char)(0xE0 | c >> 12);
            out += (char)(0x80 | (c >> 6 & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xF0 | c >> 18);
            out += (char)(0x80 | (c >> 12 & 0x3F));
            out += (char)(0x80 | (c >> 6 & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string utf16_of(std::string_view text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        uint8_t b = (uint8_t)text[i];
        uint32_t c = b;
        size_t n = b < 0x80 ? 1 : b >= 0xC2 && b < 0xE0 ? 2 : b >= 0xE0 && b < 0xF0 ? 3 : b >= 0xF0 && b < 0xF5 ? 4 : 0;
        if (n > 1)
            c = b & (0x7F >> n);
        size_t k = 1;
        for (; k < n && i + k < text.size() && ((uint8_t)text[i + k] & 0xC0) == 0x80; k++)
            c = c << 6 | ((uint8_t)text[i + k] & 0x3F);
        if (n == 0 || k < n || (n == 3 && (c < 0x800 || (c >= 0xD800 && c < 0xE000))) ||
            (n == 4 && (c < 0x10000 || c > 0x10FFFF))) {
            out += (char16_t)0xFFFD;
            i += k;
            continue;
        }
        if (c >= 0x10000) {
            out += (char16_t)(0xD800 + ((c - 0x10000) >> 10));
            out += (char16_t)(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += (char16_t)c;
        }
        i += n;
    }
    return out;
}
