// Static checks of the built loaders: format, imports, layout and icon.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sfxpack/pe_image.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

uint32_t u16(const Bytes &b, size_t at) { return b.at(at) | b.at(at + 1) << 8; }
uint32_t u32(const Bytes &b, size_t at) { return u16(b, at) | u16(b, at + 2) << 16; }

struct Section {
    std::string name;
    uint32_t virtual_address, virtual_size, raw_size, raw_pointer;
};

// Just the parts of a PE file these checks read.
struct Pe {
    explicit Pe(const std::string &path) : bytes(read_file(path)) {
        size_t pe = u32(bytes, 0x3C);
        machine = u16(bytes, pe + 4);
        size_t optional = pe + 24;
        magic = u16(bytes, optional);
        subsystem = u16(bytes, optional + 68);
        size_t directories = optional + (magic == 0x20B ? 112 : 96);
        import_rva = u32(bytes, directories + 8);
        tls_rva = u32(bytes, directories + 9 * 8);
        size_t table = optional + u16(bytes, pe + 20);
        for (uint32_t i = 0; i < u16(bytes, pe + 6); i++) {
            size_t s = table + 40 * i;
            sections.push_back({std::string((const char *)&bytes[s], strnlen((const char *)&bytes[s], 8)),
                                u32(bytes, s + 12), u32(bytes, s + 8), u32(bytes, s + 16), u32(bytes, s + 20)});
        }
    }
    size_t offset_of(uint32_t rva) const {
        for (const Section &s : sections)
            if (rva >= s.virtual_address && rva < s.virtual_address + std::max(s.virtual_size, s.raw_size))
                return rva - s.virtual_address + s.raw_pointer;
        throw std::out_of_range("rva outside every section");
    }
    std::string string_at(uint32_t rva) const { return (const char *)&bytes.at(offset_of(rva)); }
    // Each imported DLL with its functions.
    std::map<std::string, std::set<std::string>> imports() const {
        std::map<std::string, std::set<std::string>> found;
        size_t thunk_size = magic == 0x20B ? 8 : 4;
        for (size_t d = offset_of(import_rva); u32(bytes, d + 12) != 0; d += 20) {
            std::set<std::string> &names = found[string_at(u32(bytes, d + 12))];
            uint32_t lookup = u32(bytes, d) ? u32(bytes, d) : u32(bytes, d + 16);
            for (size_t t = offset_of(lookup);; t += thunk_size) {
                uint64_t entry = thunk_size == 8 ? u32(bytes, t) | (uint64_t)u32(bytes, t + 4) << 32 : u32(bytes, t);
                if (entry == 0)
                    break;
                bool by_ordinal = entry >> (thunk_size * 8 - 1);
                names.insert(by_ordinal ? "#ordinal" : string_at((uint32_t)entry + 2));
            }
        }
        return found;
    }
    const Section *section(const std::string &name) const {
        for (const Section &s : sections)
            if (s.name == name)
                return &s;
        return nullptr;
    }

    Bytes bytes;
    uint32_t machine, magic, subsystem, import_rva, tls_rva;
    std::vector<Section> sections;
};

const std::set<std::string> KERNEL32_ALLOWED{
    "CreateFileA", "ReadFile", "WriteFile", "SetFilePointer", "CloseHandle", "DeleteFileA", "GetLastError",
    "GlobalAlloc", "GlobalFree", "GetModuleFileNameA", "GetWindowsDirectoryA", "GetTempFileNameA", "lstrcpyA",
    "lstrcatA", "lstrlenA", "CreateProcessA", "WaitForSingleObject", "ExitProcess", "GetModuleHandleA",
    "GetCommandLineA", "GetStartupInfoA",
    "GetProcAddress", // finds the DLL search restrictions at run time
};
const std::set<std::string> USER32_ALLOWED{"CreateWindowExA", "PostMessageA", "GetMessageA", "DestroyWindow",
                                           "MessageBoxA"};

std::string run_output(const std::string &command) {
    std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"), pclose);
    std::string out;
    char buffer[4096];
    size_t n;
    while (pipe && (n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0)
        out.append(buffer, n);
    return out;
}

struct Build {
    const char *name;
    const char *path;
    uint32_t machine, magic;
};
const Build BUILDS[] = {{"win32", SFX_WIN32_LOADER, 0x14C, 0x10B}, {"win64", SFX_WIN64_LOADER, 0x8664, 0x20B}};

TEST(LoaderImage, IsAGuiExecutableOfTheRightKind) {
    for (const Build &build : BUILDS) {
        Pe pe(build.path);
        ASSERT_FALSE(pe.bytes.empty()) << build.path << " missing: build it with make windows";
        EXPECT_EQ(pe.machine, build.machine) << build.name;
        EXPECT_EQ(pe.magic, build.magic) << build.name;
        EXPECT_EQ(pe.subsystem, 2u) << build.name << ": not the Windows GUI subsystem";
        EXPECT_EQ(pe.tls_rva, 0u) << build.name << ": TLS callbacks mean a runtime crept in";
    }
}

TEST(LoaderImage, ImportsOnlyTheDescribedSystemFunctions) {
    for (const Build &build : BUILDS) {
        auto imports = Pe(build.path).imports();
        std::set<std::string> dlls;
        for (const auto &[dll, names] : imports)
            dlls.insert(dll);
        EXPECT_EQ(dlls, (std::set<std::string>{"KERNEL32.dll", "USER32.dll"})) << build.name;
        for (const std::string &name : imports["KERNEL32.dll"])
            EXPECT_TRUE(KERNEL32_ALLOWED.count(name)) << build.name << " imports " << name;
        for (const std::string &name : imports["USER32.dll"])
            EXPECT_TRUE(USER32_ALLOWED.count(name)) << build.name << " imports " << name;
    }
}

TEST(LoaderImage, WholeImageEndsBeforeThePayloadOffset) {
    for (const Build &build : BUILDS) {
        Pe pe(build.path);
        std::string why;
        auto image = parse_pe_image(pe.bytes, &why);
        ASSERT_TRUE(image) << why;
        // The package record takes the last 36 bytes before the payload.
        EXPECT_LE(image->image_end, 32768u - 36) << build.name;
        EXPECT_LE(pe.bytes.size(), 32768u - 36) << build.name;
        const Section *text = pe.section(".text");
        const Section *rsrc = pe.section(".rsrc");
        ASSERT_TRUE(text && rsrc);
        std::printf("%s loader: image %u bytes (file %zu), code %u bytes, resources %u bytes, %u bytes to spare\n",
                    build.name, image->image_end, pe.bytes.size(), text->virtual_size, rsrc->virtual_size,
                    32768 - 36 - image->image_end);
        ::testing::Test::RecordProperty(std::string(build.name) + "_image_size", (int)image->image_end);
        ::testing::Test::RecordProperty(std::string(build.name) + "_code_size", (int)text->virtual_size);
    }
}

TEST(LoaderImage, CarriesTheGermanIconGroupWithNineImages) {
    for (const Build &build : BUILDS) {
        std::string listing = run_output(std::string("wrestool -l ") + build.path);
        EXPECT_NE(listing.find("--type=14 --name=102 --language=1031"), std::string::npos) << listing;
        size_t icons = 0;
        for (size_t at = 0; (at = listing.find("--type=3 ", at)) != std::string::npos; at++)
            icons++;
        EXPECT_EQ(icons, 9u) << listing;

        std::string group = run_output(std::string("wrestool -x --raw --type=14 --name=102 --language=1031 ") + build.path);
        Bytes g(group.begin(), group.end());
        ASSERT_GE(g.size(), 6u + 9 * 14);
        ASSERT_EQ(u16(g, 4), 9u);
        std::set<std::pair<uint32_t, uint32_t>> formats;
        for (size_t i = 0; i < 9; i++) {
            size_t e = 6 + 14 * i;
            EXPECT_EQ(g[e], g[e + 1]); // square
            formats.insert({g[e], u16(g, e + 6)});
        }
        std::set<std::pair<uint32_t, uint32_t>> expected;
        for (uint32_t size : {48u, 32u, 16u})
            for (uint32_t bits : {4u, 8u, 32u})
                expected.insert({size, bits});
        EXPECT_EQ(formats, expected) << build.name;
    }
}

} // namespace
