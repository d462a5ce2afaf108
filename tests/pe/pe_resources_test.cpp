// Resource directories as programs bring them (sound, damaged or hostile),
// the section the writer makes, the identity read from it, a loader's image
// rewritten around new resources, and what a packed file takes for them.
#include <gtest/gtest.h>

#include <cstring>

#include "package/packed_identity.h"
#include "pe/pe_resources.h"
#include "pe/program_identity.h"

namespace {

void put32(std::vector<uint8_t> &b, size_t at, uint32_t value) {
    for (int i = 0; i < 4; i++)
        b[at + i] = (uint8_t)(value >> 8 * i);
}
uint32_t get32(const std::vector<uint8_t> &b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | (uint32_t)b[at + 3] << 24;
}
std::vector<uint8_t> bytes(const std::string &text) { return {text.begin(), text.end()}; }

struct TinySection {
    const char *name;
    std::vector<uint8_t> data;
};
constexpr uint32_t HEADERS = 0x200, OPTIONAL = 0x58, TABLE = OPTIONAL + 224;

// A PE32 image with these sections 0x1000 apart from 0x1000, their data on
// 0x200 after 0x200 bytes of headers; '.rsrc' and '.reloc' named by their
// data directories.
std::vector<uint8_t> tiny_pe(const std::vector<TinySection> &sections) {
    std::vector<uint8_t> file(HEADERS);
    file[0] = 'M', file[1] = 'Z', file[0x3C] = 0x40, file[0x40] = 'P', file[0x41] = 'E';
    file[0x44] = 0x4C, file[0x45] = 0x01, file[0x46] = (uint8_t)sections.size(), file[0x54] = 224;
    file[OPTIONAL] = 0x0B, file[OPTIONAL + 1] = 0x01, file[OPTIONAL + 68] = 2;
    put32(file, OPTIONAL + 32, 0x1000);
    put32(file, OPTIONAL + 36, 0x200);
    put32(file, OPTIONAL + 56, 0x1000 * (uint32_t)(sections.size() + 1));
    put32(file, OPTIONAL + 60, HEADERS);
    put32(file, OPTIONAL + 92, 16);
    for (size_t i = 0; i < sections.size(); i++) {
        size_t header = TABLE + 40 * i;
        uint32_t rva = 0x1000 * (uint32_t)(i + 1), raw = (uint32_t)(sections[i].data.size() + 0x1FF) / 0x200 * 0x200;
        std::memcpy(&file[header], sections[i].name, std::strlen(sections[i].name));
        put32(file, header + 8, (uint32_t)sections[i].data.size());
        put32(file, header + 12, rva);
        put32(file, header + 16, raw);
        put32(file, header + 20, (uint32_t)file.size());
        put32(file, header + 36, 0x40000040);
        for (auto [name, directory] : {std::pair{".rsrc", 2}, std::pair{".reloc", 5}})
            if (std::strcmp(sections[i].name, name) == 0) {
                put32(file, OPTIONAL + 96 + 8 * directory, rva);
                put32(file, OPTIONAL + 100 + 8 * directory, (uint32_t)sections[i].data.size());
            }
        file.insert(file.end(), sections[i].data.begin(), sections[i].data.end());
        file.resize(file.size() + raw - sections[i].data.size());
    }
    return file;
}

std::vector<Resource> two_resources() {
    return {{resource_number(RESOURCE_ICON), resource_number(1), 0, bytes("abc")},
            {resource_number(RESOURCE_MANIFEST), resource_number(1), 0, bytes("xyz")}};
}

ResourceListing listing_of(const std::vector<uint8_t> &file, uint64_t size = 0) {
    return list_resources(file, size ? size : file.size(), read_from(file));
}

// The writer's layout of two_resources() at 0x1000: the root at 0, the two
// types' tables at 32 and 56, their languages' at 80 and 104, the data
// entries at 128 and 144, the data from 160.
TEST(ResourceDirectory, HostileDirectoriesAreRefusedOrLeftOut) {
    struct Row {
        const char *name;
        size_t at;
        uint32_t value;
        const char *problem, *warning;
        size_t entries;
    } rows[] = {
        {"sound", 0, 0, "", "", 2},
        {"a loop back to the root", 20, 0x80000000, "loops", "", 0},
        {"a table far past the section", 20, 0x80700000, "a table outside its section", "", 0},
        {"a resource where a table belongs", 20, 128, "a resource where a table of names belongs", "", 0},
        {"a language that is a table", 100, 0x80000050, "nests deeper", "", 0},
        {"a name string outside", 48, 0x80700000, "names a resource by a string outside", "", 0},
        {"too many entries", 12, 0xFFFFFFFF, "has more than 65535 entries", "", 0},
        {"data outside every section", 128, 0x7FFF0000, "", "resource 3/1/0: its 3 bytes at 2147418112 lie outside", 1},
        {"a huge size", 132, 0xFFFFFFF0, "", "lie outside the file's sections", 1},
    };
    for (const Row &row : rows) {
        std::vector<uint8_t> section = build_resource_section(two_resources(), 0x1000);
        if (row.at)
            put32(section, row.at, row.value);
        ResourceListing listing = listing_of(tiny_pe({{".rsrc", section}}));
        EXPECT_NE(listing.problem.find(row.problem), std::string::npos) << row.name << ": " << listing.problem;
        EXPECT_EQ(row.problem[0] == 0, listing.problem.empty()) << row.name << ": " << listing.problem;
        EXPECT_EQ(listing.warnings.size(), row.warning[0] ? 1u : 0u) << row.name;
        if (!listing.warnings.empty()) {
            EXPECT_NE(listing.warnings[0].find(row.warning), std::string::npos) << row.name << ": " << listing.warnings[0];
        }
        EXPECT_EQ(listing.entries.size(), row.entries) << row.name;
    }
    // A file cut inside its resources, and one whose directory lies in no section.
    std::vector<uint8_t> file = tiny_pe({{".rsrc", build_resource_section(two_resources(), 0x1000)}});
    EXPECT_NE(listing_of(file, HEADERS + 100).problem.find("outside its section"), std::string::npos);
    put32(file, OPTIONAL + 96 + 16, 0x5000);
    EXPECT_NE(listing_of(file).problem.find("outside the file's sections"), std::string::npos);
}

TEST(ResourceSection, ListsWhatItWroteInWindowsOrder) {
    auto named = [](const char16_t *text) {
        ResourceId id;
        id.text = text;
        return id;
    };
    std::vector<Resource> resources = {
        {resource_number(RESOURCE_GROUP_ICON), resource_number(7), 1033, bytes("group 7")},
        {resource_number(RESOURCE_GROUP_ICON), named(u"main"), 1033, bytes("main")},
        {resource_number(RESOURCE_GROUP_ICON), resource_number(7), 1031, bytes("gruppe 7")},
        {named(u"DATA"), named(u"b"), 0, bytes("b")},
        {named(u"DATA"), named(u"Apple"), 0, bytes("a, replaced")},
        {named(u"DATA"), named(u"Apple"), 0, bytes("a")},
        {resource_number(RESOURCE_ICON), resource_number(1), 0, bytes("")},
    };
    std::vector<uint8_t> file = tiny_pe({{".text", bytes("code")}, {".rsrc", build_resource_section(resources, 0x2000)}});
    ResourceListing listing = listing_of(file);
    ASSERT_TRUE(listing.problem.empty()) << listing.problem;
    std::string order;
    for (const ResourceEntry &entry : listing.entries) {
        std::string why;
        std::vector<uint8_t> data = read_resource(entry, read_from(file), 100, &why);
        order += std::string(data.begin(), data.end()) + "/" + std::to_string(entry.language) + " ";
    }
    EXPECT_EQ(order, "a/0 b/0 /0 main/1033 gruppe 7/1031 group 7/1033 ");
}

TEST(ProgramIdentity, TakesTheFirstGroupAndItsLanguage) {
    IconImage english{16, 16, 0, 1, 32, bytes("english image")}, german{16, 16, 0, 1, 32, bytes("german image")},
        small{8, 8, 16, 1, 4, bytes("small german image")};
    std::vector<Resource> resources = icon_resources({german, small}, resource_number(1), 1031);
    for (Resource &resource : icon_resources({english}, resource_number(1), 1033))
        resources.push_back(resource);
    VersionInfo version{{1, 2, 3, 4}, {5, 6, 7, 8}, 0x0407, 1200, {{"CompanyName", "Grüße"}, {"Comments", "データ 🎁"}}};
    resources.push_back({resource_number(RESOURCE_VERSION), resource_number(1), 0x0407, build_version_info(version)});
    std::string manifest = make_manifest(ExecutionLevel::require_administrator);
    resources.push_back({resource_number(RESOURCE_MANIFEST), resource_number(1), 0, bytes(manifest)});
    std::vector<uint8_t> file = tiny_pe({{".rsrc", build_resource_section(resources, 0x1000)}});
    ProgramIdentity identity = read_identity(file, file.size(), read_from(file));
    EXPECT_TRUE(identity.warnings.empty());
    ASSERT_TRUE(identity.icon && identity.icon->size() == 2);
    EXPECT_EQ((*identity.icon)[0].data, german.data);
    EXPECT_EQ(icon_image_text((*identity.icon)[1]), "8x8@4");
    EXPECT_EQ((*identity.icon)[1].data, small.data);
    ASSERT_TRUE(identity.version);
    EXPECT_EQ(identity.version->file_version, version.file_version);
    EXPECT_EQ(identity.version->product_version, version.product_version);
    EXPECT_EQ(identity.version->language, 0x0407);
    EXPECT_EQ(identity.version->strings, version.strings);
    EXPECT_EQ(identity.level, ExecutionLevel::require_administrator);
}

TEST(ProgramIdentity, ReadsManifestsAndIconFilesAsWritten) {
    struct Row {
        std::string manifest;
        std::optional<ExecutionLevel> level;
        bool unknown;
    } rows[] = {
        {"<requestedExecutionLevel uiAccess='false' level = 'highestAvailable'/>", ExecutionLevel::highest_available, false},
        {"<v3:requestedExecutionLevel\n\tlevel=\"asInvoker\"/>", ExecutionLevel::as_invoker, false},
        {"\xFF\xFE<requestedExecutionLevel level='requireAdministrator'/>", ExecutionLevel::require_administrator, false},
        {"<requestedExecutionLevel level='Administrator'/>", std::nullopt, true},
        {"<requestedExecutionLevel xlevel='asInvoker'/>", std::nullopt, false},
        {"<requestedExecutionLevel uiAccess='false'/><other level='asInvoker'/>", std::nullopt, false},
        {"<assembly/>", std::nullopt, false},
    };
    for (const Row &row : rows) {
        std::string why, text = row.manifest;
        if (text.starts_with("\xFF\xFE")) // UTF-16
            for (size_t i = 3; i < text.size(); i += 2)
                text.insert(i, 1, '\0');
        EXPECT_EQ(manifest_level(bytes(text), &why), row.level) << row.manifest;
        EXPECT_EQ(!why.empty(), row.unknown) << row.manifest;
    }
    std::string why;
    for (auto [file, problem] : {std::pair{std::string(""), "not an icon file"},
                                 {std::string("\0\0\2\0\1\0", 6), "not an icon file"},
                                 {std::string("\0\0\1\0\0\0", 6), "no image"},
                                 {std::string("\0\0\1\0\2\0", 6) + std::string(16, '\0'), "cut short"},
                                 {std::string("\0\0\1\0\1\0\20\20\0\0\1\0\40\0\5\0\0\0\26\0\0\0abcd", 26),
                                  "image 1 lies outside"}}) {
        EXPECT_FALSE(parse_ico(bytes(file), &why));
        EXPECT_NE(why.find(problem), std::string::npos) << why;
    }
}

// The resources grow past a block: the relocations after them move in the
// file and in memory, and every size, the directories and the checksum
// follow; past the limit nothing is made, and only relocations may follow.
TEST(ImageRewrite, MovesTheRelocationsAndKeepsTheHeadersTrue) {
    std::vector<uint8_t> image = tiny_pe({{".text", bytes("code")},
                                          {".rsrc", build_resource_section(two_resources(), 0x2000)},
                                          {".reloc", bytes("relocations")}});
    std::vector<Resource> resources = two_resources();
    resources.push_back({resource_number(RESOURCE_VERSION), resource_number(1), 0, std::vector<uint8_t>(0x1200, 7)});
    ImageRewrite rewrite = rewrite_resources(image, resources, 0x1A00);
    ASSERT_TRUE(rewrite.problem.empty()) << rewrite.problem;
    const std::vector<uint8_t> &out = rewrite.image;
    ASSERT_EQ(out.size(), 0x200 + 0x200 + 0x1400 + 0x200u);
    EXPECT_EQ(get32(out, TABLE + 80 + 12), 0x4000u);              // the relocations' address
    EXPECT_EQ(get32(out, TABLE + 80 + 20), 0x1800u);              // and their place in the file
    EXPECT_EQ(std::string(&out[0x1800], &out[0x1800 + 11]), "relocations");
    EXPECT_EQ(get32(out, OPTIONAL + 96 + 8 * 5), 0x4000u);        // their directory
    EXPECT_EQ(get32(out, OPTIONAL + 96 + 8 * 2 + 4), rewrite.asked); // the resources' size
    EXPECT_EQ(get32(out, OPTIONAL + 56), 0x5000u);                // SizeOfImage
    EXPECT_EQ(get32(out, OPTIONAL + 8), 0x1800u);                 // SizeOfInitializedData
    std::vector<uint8_t> zeroed = out;
    put32(zeroed, OPTIONAL + 64, 0);
    PeChecksum checksum;
    checksum.add(zeroed);
    EXPECT_EQ(get32(out, OPTIONAL + 64), pe_checksum_value(checksum.sum, checksum.length));
    EXPECT_EQ(listing_of(out).entries.size(), 3u);

    ImageRewrite too_large = rewrite_resources(image, resources, 0x19FF);
    EXPECT_TRUE(too_large.image.empty());
    EXPECT_EQ(too_large.asked, rewrite.asked);
    EXPECT_EQ(too_large.room, 0x1200u) << too_large.problem;
    std::vector<uint8_t> data_after = tiny_pe({{".rsrc", build_resource_section(two_resources(), 0x1000)}, {".data", bytes("x")}});
    EXPECT_NE(rewrite_resources(data_after, resources, 0x8000).problem.find("'.data' follows the resources"),
              std::string::npos);
}

// The options over the program, the program over the defaults; a
// program's icon that does not fit loses its largest images.
TEST(PackedIdentity, OptionsThenProgramThenDefaults) {
    Icon loader_icon{{16, 16, 0, 1, 4, bytes("the loader's")}};
    std::vector<uint8_t> loader = tiny_pe(
        {{".text", bytes("code")},
         {".rsrc", build_resource_section(icon_resources(loader_icon, resource_number(102), 1031), 0x2000)},
         {".reloc", bytes("relocations")}});
    ProgramIdentity program;
    program.icon = Icon{{64, 64, 0, 1, 32, std::vector<uint8_t>(25000, 1)}, {32, 32, 0, 1, 32, std::vector<uint8_t>(9000, 2)}};
    program.version = VersionInfo{{1, 2, 3, 4}, {1, 2, 3, 4}, 0x0409, 1200, {{"CompanyName", "Program"}}};
    program.level = ExecutionLevel::highest_available;
    IdentityOptions options{"", ExecutionLevel::require_administrator, {{"companyname", "Grüße"}}, VersionNumbers{9, 8, 7, 6}};
    struct Row {
        const char *name;
        IdentityOptions options;
        ProgramIdentity program;
        std::vector<uint8_t> image;
        std::string company;
        VersionNumbers version;
        ExecutionLevel level;
        const char *warning;
    } rows[] = {
        {"the program's", {}, program, std::vector<uint8_t>(9000, 2), "Program", {1, 2, 3, 4}, ExecutionLevel::highest_available,
         "p.exe: its icon's largest images do not fit the loader; left out: 64x64@32"},
        {"the options'", options, program, std::vector<uint8_t>(9000, 2), "Grüße", {9, 8, 7, 6},
         ExecutionLevel::require_administrator, "left out"},
        {"the defaults", {}, {}, bytes("the loader's"), "", {}, ExecutionLevel::as_invoker, ""},
    };
    for (const Row &row : rows) {
        std::vector<std::string> warnings;
        std::vector<uint8_t> packed = loader_with_identity(loader, "loader.exe", row.options, row.program, "p.exe",
                                                           [&](const std::string &w) { warnings.push_back(w); });
        ProgramIdentity shown = packed_identity(packed);
        EXPECT_TRUE(shown.warnings.empty()) << row.name;
        ASSERT_TRUE(shown.icon && shown.icon->size() == 1) << row.name;
        EXPECT_EQ((*shown.icon)[0].data, row.image) << row.name;
        EXPECT_EQ(shown.version.has_value(), !row.company.empty()) << row.name;
        if (shown.version) {
            EXPECT_EQ(shown.version->strings[0].second, row.company) << row.name;
            EXPECT_EQ(shown.version->file_version, row.version) << row.name;
        }
        EXPECT_EQ(shown.level, row.level) << row.name;
        EXPECT_EQ(warnings.size(), row.warning[0] ? 1u : 0u) << row.name;
        if (!warnings.empty()) {
            EXPECT_NE(warnings[0].find(row.warning), std::string::npos) << warnings[0];
        }
    }
}

} // namespace
