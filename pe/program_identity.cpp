#include "pe/program_identity.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

namespace {

uint32_t get16(std::span<const uint8_t> b, size_t at) { return b[at] | (uint32_t)b[at + 1] << 8; }
uint32_t get32(std::span<const uint8_t> b, size_t at) { return get16(b, at) | get16(b, at + 2) << 16; }
void add16(std::vector<uint8_t> &b, uint32_t value) {
    b.push_back((uint8_t)value);
    b.push_back((uint8_t)(value >> 8));
}
void add32(std::vector<uint8_t> &b, uint32_t value) {
    add16(b, value & 0xFFFF);
    add16(b, value >> 16);
}
void put16(std::vector<uint8_t> &b, size_t at, uint32_t value) {
    b[at] = (uint8_t)value;
    b[at + 1] = (uint8_t)(value >> 8);
}
size_t align4(size_t at) { return (at + 3) & ~(size_t)3; }

constexpr size_t ICO_HEADER = 6, ICO_ENTRY = 16, GROUP_ENTRY = 14;
constexpr uint32_t ICON_IMAGE_MAX = 4 << 20, SMALL_RESOURCE_MAX = 1 << 16;

bool is_png(std::span<const uint8_t> data) {
    static const uint8_t signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    return data.size() >= 33 && std::equal(std::begin(signature), std::end(signature), data.begin());
}
uint32_t big32(std::span<const uint8_t> b, size_t at) {
    return (uint32_t)b[at] << 24 | (uint32_t)b[at + 1] << 16 | (uint32_t)b[at + 2] << 8 | b[at + 3];
}

} // namespace

std::optional<Icon> parse_ico(std::span<const uint8_t> file, std::string *why) {
    if (file.size() < ICO_HEADER || get16(file, 0) != 0 || get16(file, 2) != 1) {
        *why = "not an icon file";
        return std::nullopt;
    }
    size_t count = get16(file, 4);
    if (count == 0 || ICO_HEADER + ICO_ENTRY * count > file.size()) {
        *why = count ? "its directory is cut short" : "it holds no image";
        return std::nullopt;
    }
    Icon icon;
    for (size_t i = 0; i < count; i++) {
        size_t at = ICO_HEADER + ICO_ENTRY * i;
        uint64_t size = get32(file, at + 8), offset = get32(file, at + 12);
        if (size == 0 || offset + size > file.size()) {
            *why = "image " + std::to_string(i + 1) + " lies outside the file";
            return std::nullopt;
        }
        icon.push_back({file[at], file[at + 1], file[at + 2], (uint16_t)get16(file, at + 4), (uint16_t)get16(file, at + 6),
                        {file.begin() + offset, file.begin() + offset + size}});
    }
    return icon;
}

std::string icon_image_text(const IconImage &image) {
    uint32_t width = image.width ? image.width : 256, height = image.height ? image.height : 256, bits = image.bits;
    bool png = is_png(image.data);
    if (png) {
        width = big32(image.data, 16), height = big32(image.data, 20);
        static const uint8_t channels[] = {1, 0, 3, 1, 2, 0, 4};
        uint8_t depth = image.data[24], type = image.data[25];
        bits = bits ? bits : type < sizeof channels ? depth * channels[type] : 0;
    } else if (!bits && image.data.size() >= 16 && get32(image.data, 0) >= 40) {
        bits = get16(image.data, 14);
    }
    return std::to_string(width) + "x" + std::to_string(height) + "@" + std::to_string(bits) + (png ? " png" : "");
}

std::vector<Resource> icon_resources(const Icon &icon, const ResourceId &group, uint16_t language) {
    std::vector<Resource> resources;
    std::vector<uint8_t> directory;
    add16(directory, 0);
    add16(directory, 1);
    add16(directory, (uint32_t)icon.size());
    for (size_t i = 0; i < icon.size(); i++) {
        const IconImage &image = icon[i];
        directory.insert(directory.end(), {image.width, image.height, image.colors, 0});
        add16(directory, image.planes);
        add16(directory, image.bits);
        add32(directory, (uint32_t)image.data.size());
        add16(directory, (uint32_t)(i + 1));
        resources.push_back({resource_number(RESOURCE_ICON), resource_number((uint32_t)(i + 1)), language, image.data});
    }
    resources.push_back({resource_number(RESOURCE_GROUP_ICON), group, language, directory});
    return resources;
}

std::optional<VersionNumbers> parse_version_numbers(std::string_view text) {
    VersionNumbers version{};
    const char *p = text.data(), *end = text.data() + text.size();
    for (size_t i = 0; i < version.size(); i++) {
        auto [next, error] = std::from_chars(p, end, version[i]);
        if (error != std::errc() || (next < end && *next != '.') || (next == end && i + 1 < version.size()) ||
            (next < end && i + 1 == version.size()))
            return std::nullopt;
        p = next + 1;
    }
    return version;
}

std::string version_numbers_text(const VersionNumbers &v) {
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." + std::to_string(v[3]);
}

namespace {

// One block of a VERSIONINFO: its length, value length and type, its key,
// and where its value and its children start, all within 'end'.
struct VersionNode {
    size_t start, value, children, end;
    uint32_t value_length, type;
    std::u16string key;
};

std::optional<VersionNode> version_node(std::span<const uint8_t> data, size_t at, size_t limit) {
    if (at + 6 > limit)
        return std::nullopt;
    VersionNode node{at, 0, 0, at + get16(data, at), get16(data, at + 2), get16(data, at + 4), {}};
    if (node.end < at + 6 || node.end > limit)
        return std::nullopt;
    size_t p = at + 6;
    for (; p + 2 <= node.end && get16(data, p); p += 2)
        node.key.push_back((char16_t)get16(data, p));
    if (p + 2 > node.end)
        return std::nullopt;
    node.value = std::min(align4(p + 2), node.end);
    size_t value_bytes = node.type == 1 ? 2 * (size_t)node.value_length : node.value_length;
    node.children = std::min(align4(node.value + value_bytes), node.end);
    return node;
}

// The children of a node, in order.
std::vector<VersionNode> version_children(std::span<const uint8_t> data, const VersionNode &node) {
    std::vector<VersionNode> children;
    for (size_t at = node.children; at < node.end;) {
        std::optional<VersionNode> child = version_node(data, at, node.end);
        if (!child)
            break;
        children.push_back(*child);
        at = align4(child->end);
    }
    return children;
}

std::string hex_value(std::u16string_view text, size_t from, size_t count, bool *ok) {
    std::string digits = utf8_of(text.substr(std::min(from, text.size()), count));
    *ok = *ok && digits.size() == count && digits.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    return digits;
}

std::vector<uint8_t> version_block(std::u16string_view key, uint32_t type, std::span<const uint8_t> value,
                                   uint32_t value_length, const std::vector<std::vector<uint8_t>> &children) {
    std::vector<uint8_t> out(6);
    for (char16_t c : key)
        add16(out, c);
    add16(out, 0);
    out.resize(align4(out.size()));
    out.insert(out.end(), value.begin(), value.end());
    for (const std::vector<uint8_t> &child : children) {
        out.resize(align4(out.size()));
        out.insert(out.end(), child.begin(), child.end());
    }
    put16(out, 0, (uint32_t)out.size());
    put16(out, 2, value_length);
    put16(out, 4, type);
    return out;
}

} // namespace

std::optional<VersionInfo> parse_version_info(std::span<const uint8_t> data, std::string *why) {
    std::optional<VersionNode> root = version_node(data, 0, data.size());
    if (!root || root->key != u"VS_VERSION_INFO") {
        *why = "its version information is damaged";
        return std::nullopt;
    }
    VersionInfo info;
    if (root->value_length >= 52 && root->value + 52 <= root->end && get32(data, root->value) == 0xFEEF04BD) {
        // Each pair of numbers is a 32-bit value, the first number its high half.
        for (size_t i = 0; i < 4; i++) {
            size_t half = 4 * (i / 2) + 2 * (1 - i % 2);
            info.file_version[i] = (uint16_t)get16(data, root->value + 8 + half);
            info.product_version[i] = (uint16_t)get16(data, root->value + 16 + half);
        }
    }
    for (const VersionNode &file_info : version_children(data, *root)) {
        if (file_info.key != u"StringFileInfo")
            continue;
        std::vector<VersionNode> tables = version_children(data, file_info);
        if (tables.empty())
            break;
        bool ok = true;
        std::string language = hex_value(tables[0].key, 0, 4, &ok), codepage = hex_value(tables[0].key, 4, 4, &ok);
        if (ok) {
            info.language = (uint16_t)std::stoul(language, nullptr, 16);
            info.codepage = (uint16_t)std::stoul(codepage, nullptr, 16);
        }
        for (const VersionNode &string : version_children(data, tables[0])) {
            std::u16string value;
            for (size_t p = string.value; p + 2 <= string.end && get16(data, p); p += 2)
                value.push_back((char16_t)get16(data, p));
            if (!string.key.empty())
                info.strings.push_back({utf8_of(string.key), utf8_of(value)});
        }
        break;
    }
    return info;
}

std::vector<uint8_t> build_version_info(const VersionInfo &info) {
    std::vector<std::vector<uint8_t>> strings;
    for (const auto &[name, value] : info.strings) {
        std::vector<uint8_t> text;
        std::u16string wide = utf16_of(value);
        for (char16_t c : wide)
            add16(text, c);
        add16(text, 0);
        strings.push_back(version_block(utf16_of(name), 1, text, (uint32_t)wide.size() + 1, {}));
    }
    char key[9];
    std::snprintf(key, sizeof key, "%04X%04X", info.language, info.codepage);
    std::vector<uint8_t> table = version_block(utf16_of(key), 1, {}, 0, strings);
    std::vector<uint8_t> translation;
    add16(translation, info.language);
    add16(translation, info.codepage);
    std::vector<uint8_t> var = version_block(u"Translation", 0, translation, 4, {});
    std::vector<uint8_t> fixed;
    auto pair = [&](const VersionNumbers &v) {
        add32(fixed, (uint32_t)v[0] << 16 | v[1]);
        add32(fixed, (uint32_t)v[2] << 16 | v[3]);
    };
    add32(fixed, 0xFEEF04BD);
    add32(fixed, 0x00010000);
    pair(info.file_version);
    pair(info.product_version);
    for (uint32_t field : {0x3Fu, 0u, 0x00040004u, 1u, 0u, 0u, 0u}) // flags mask, flags, NT Win32, an application
        add32(fixed, field);
    return version_block(u"VS_VERSION_INFO", 0, fixed, (uint32_t)fixed.size(),
                         {version_block(u"StringFileInfo", 1, {}, 0, {table}),
                          version_block(u"VarFileInfo", 1, {}, 0, {var})});
}

namespace {

const char *const LEVEL_NAMES[] = {"asInvoker", "highestAvailable", "requireAdministrator"};

} // namespace

const char *execution_level_name(ExecutionLevel level) { return LEVEL_NAMES[(int)level]; }

std::optional<ExecutionLevel> execution_level_named(std::string_view name) {
    for (int i = 0; i < 3; i++)
        if (name == LEVEL_NAMES[i])
            return (ExecutionLevel)i;
    return std::nullopt;
}

std::optional<ExecutionLevel> manifest_level(std::span<const uint8_t> manifest, std::string *why) {
    // UTF-16 manifests are read by their ASCII characters, which are all this looks at.
    std::string text;
    bool wide = manifest.size() >= 2 && manifest[0] == 0xFF && manifest[1] == 0xFE;
    for (size_t i = wide ? 2 : 0; i < manifest.size(); i += wide ? 2 : 1)
        text += (char)manifest[i];
    size_t element = text.find("requestedExecutionLevel");
    if (element == std::string::npos)
        return std::nullopt;
    std::string tag = text.substr(element, text.find('>', element) - element);
    for (size_t at = tag.find("level"); at != std::string::npos; at = tag.find("level", at + 1)) {
        if (at == 0 || !std::isspace((unsigned char)tag[at - 1]))
            continue;
        size_t p = tag.find_first_not_of(" \t\r\n", at + 5);
        if (p == std::string::npos || tag[p] != '=')
            continue;
        p = tag.find_first_not_of(" \t\r\n", p + 1);
        if (p == std::string::npos || (tag[p] != '"' && tag[p] != '\''))
            continue;
        size_t close = tag.find(tag[p], p + 1);
        std::string value = tag.substr(p + 1, close == std::string::npos ? 0 : close - p - 1);
        std::optional<ExecutionLevel> level = execution_level_named(value);
        if (!level)
            *why = "its manifest asks for the execution level '" + value + "', which Windows does not know";
        return level;
    }
    return std::nullopt;
}

std::string make_manifest(ExecutionLevel level) {
    static const char *const systems[] = {"e2011457-1546-43c5-a5fe-008deee3d3f0",  // Vista
                                          "35138b9a-5d96-4fbd-8e2d-a2440225f93a",  // 7
                                          "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",  // 8
                                          "1f676c76-80e1-4239-95bb-83d0f6d0da78",  // 8.1
                                          "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"}; // 10 and 11
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
                       "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">"
                       "<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\"><security><requestedPrivileges>"
                       "<requestedExecutionLevel level=\"" +
                       std::string(execution_level_name(level)) +
                       "\" uiAccess=\"false\"/></requestedPrivileges></security></trustInfo>"
                       "<compatibility xmlns=\"urn:schemas-microsoft-com:compatibility.v1\"><application>";
    for (const char *system : systems)
        text += "<supportedOS Id=\"{" + std::string(system) + "}\"/>";
    return text + "</application></compatibility></assembly>";
}

namespace {

bool is_type(const ResourceEntry &entry, uint32_t type) { return entry.type.text.empty() && entry.type.id == type; }

// The group's images, found by number among the icons, in its language
// where there are several.
std::optional<Icon> group_icon(const ResourceListing &listing, const ResourceEntry &group, const ReadAt &read,
                               std::vector<std::string> &warnings) {
    std::string why;
    std::vector<uint8_t> directory = read_resource(group, read, SMALL_RESOURCE_MAX, &why);
    size_t count = directory.size() >= ICO_HEADER ? get16(directory, 4) : 0;
    if (directory.size() < ICO_HEADER || get16(directory, 2) != 1 || ICO_HEADER + GROUP_ENTRY * count > directory.size()) {
        warnings.push_back("its icon group is damaged" + (why.empty() ? "" : ": " + why) + "; not used");
        return std::nullopt;
    }
    Icon icon;
    for (size_t i = 0; i < count; i++) {
        size_t at = ICO_HEADER + GROUP_ENTRY * i;
        uint32_t id = get16(directory, at + 12);
        const ResourceEntry *image = nullptr;
        for (const ResourceEntry &entry : listing.entries)
            if (is_type(entry, RESOURCE_ICON) && entry.name.text.empty() && entry.name.id == id &&
                (!image || (image->language != group.language && entry.language == group.language)))
                image = &entry;
        std::vector<uint8_t> data = image ? read_resource(*image, read, ICON_IMAGE_MAX, &why) : std::vector<uint8_t>();
        if (data.empty()) {
            warnings.push_back("image " + std::to_string(id) + " of its icon group " +
                               (image ? "is not used: " + why : "is missing") + "; left out");
            continue;
        }
        icon.push_back({directory[at], directory[at + 1], directory[at + 2], (uint16_t)get16(directory, at + 4),
                        (uint16_t)get16(directory, at + 6), std::move(data)});
    }
    if (icon.empty())
        return std::nullopt;
    return icon;
}

} // namespace

ProgramIdentity read_identity(std::span<const uint8_t> headers, uint64_t file_size, const ReadAt &read) {
    ProgramIdentity identity;
    ResourceListing listing = list_resources(headers, file_size, read);
    identity.warnings = listing.warnings;
    if (!listing.problem.empty()) {
        identity.warnings.push_back(listing.problem + "; its resources are not used");
        return identity;
    }
    const ResourceEntry *group = nullptr, *version = nullptr, *manifest = nullptr;
    for (const ResourceEntry &entry : listing.entries) {
        if (is_type(entry, RESOURCE_GROUP_ICON) && !group)
            group = &entry;
        if (is_type(entry, RESOURCE_VERSION) && !version)
            version = &entry;
        // The manifest Windows reads when it starts a program is number 1.
        if (is_type(entry, RESOURCE_MANIFEST) && entry.name.text.empty() && entry.name.id == 1 && !manifest)
            manifest = &entry;
    }
    if (group)
        identity.icon = group_icon(listing, *group, read, identity.warnings);
    std::string why;
    if (version) {
        std::vector<uint8_t> data = read_resource(*version, read, SMALL_RESOURCE_MAX, &why);
        if (data.empty() || !(identity.version = parse_version_info(data, &why)))
            identity.warnings.push_back((why.starts_with("its") ? why : "its version information: " + why) + "; not used");
    }
    why.clear();
    if (manifest) {
        std::vector<uint8_t> data = read_resource(*manifest, read, SMALL_RESOURCE_MAX, &why);
        identity.level = manifest_level(data, &why);
        if (!why.empty())
            identity.warnings.push_back((why.starts_with("its") ? why : "its manifest: " + why) + "; not used");
    }
    return identity;
}
