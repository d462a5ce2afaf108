// Makes bundles whose archives an extraction must refuse, written by hand
// since no well-behaved tar writer makes them:
//   hostile_bundle CASE LOADER EXTRACTOR PROGRAM OUT
// or, for an OUT ending in .tar, the archive alone.
// Each archive starts with PROGRAM as run.exe and a harmless file, so a
// refusal must also take back what was already written; the command is
// run.exe, which must never start. The lzma-* cases hold a sound archive
// under a bundle header that lies about its coding, the split-* cases one
// whose split branch conversion lies about its streams (split is sound),
// the stored-* cases one whose second half is stored (stored is sound), the
// sliced-* cases one whose LZMA stream comes in two slices (sliced is sound);
// version1 is a sound bundle in the first version's format, which must
// still extract.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive/branch_split.h"
#include "archive/bundle_format.h"
#include "encoder/payload_encoder.h"
#include "include/sfx_package.h"
#include "bundler/bundler.h"
#include "package/input_file.h"
#include "package/packed_file.h"

namespace {

struct Entry {
    std::string name;
    char type = '0';
    std::string data = {};
    std::string pax = {}; // "key=value" for an extended header before it, or its whole record when a digit starts it
    const char *magic = "ustar\0" "00";
    bool base256 = false; // the size in the binary form large sizes take
};

void put_octal(char *field, size_t size, uint64_t value) {
    field[size - 1] = 0;
    for (size_t i = size - 1; i-- > 0; value >>= 3)
        field[i] = (char)('0' + (value & 7));
}

void add_block(std::vector<uint8_t> &tar, const Entry &entry, size_t size) {
    char block[512] = {};
    std::memcpy(block, entry.name.data(), std::min<size_t>(entry.name.size(), 100));
    put_octal(block + 100, 8, 0644);
    put_octal(block + 108, 8, 0);
    put_octal(block + 116, 8, 0);
    put_octal(block + 124, 12, size);
    if (entry.base256)
        for (int i = 0; i < 12; i++)
            block[124 + i] = (char)(i == 0 ? 0x80 : i < 4 ? 0 : size >> 8 * (11 - i));
    put_octal(block + 136, 12, 0);
    block[156] = entry.type;
    if (entry.type == '1' || entry.type == '2')
        std::strcpy(block + 157, "/etc/passwd");
    std::memcpy(block + 257, entry.magic, 8);
    std::memset(block + 148, ' ', 8);
    unsigned sum = 0;
    for (unsigned char c : block)
        sum += c;
    put_octal(block + 148, 7, sum);
    tar.insert(tar.end(), block, block + 512);
}

void add_data(std::vector<uint8_t> &tar, const std::string &data) {
    tar.insert(tar.end(), data.begin(), data.end());
    tar.resize((tar.size() + 511) / 512 * 512);
}

void add(std::vector<uint8_t> &tar, const Entry &entry) {
    if (!entry.pax.empty()) {
        std::string record = " " + entry.pax + "\n";
        size_t length = record.size() + 2;
        record = std::isdigit(entry.pax[0]) ? entry.pax
                                            : std::to_string(length + (std::to_string(length).size() > 2)) + record;
        add_block(tar, {"PaxHeader", 'x'}, record.size());
        add_data(tar, record);
    }
    // Where the extended header gives the size, the header's own is wrong.
    add_block(tar, entry, entry.pax.starts_with("size=") ? 10 : entry.data.size());
    add_data(tar, entry.data);
}

struct Case {
    const char *name;
    std::vector<Entry> entries;
};

const Case CASES[] = {
    {"absolute", {{"/tmp/absolute.txt"}}},
    {"drive", {{"C:/drive.txt"}}},
    {"unc", {{"//server/share/unc.txt"}}},
    {"verbatim", {{"\\\\?\\C:\\verbatim.txt"}}},
    {"parent", {{"sub/../../parent.txt", '0', "escaped"}}},
    {"backslash", {{"sub\\..\\..\\backslash.txt"}}},
    {"stream", {{"first.txt:hidden", '0', "stream"}}},
    {"device", {{"sub/Con.txt"}}},
    {"symlink", {{"link", '2'}}},
    {"hardlink", {{"link", '1'}}},
    {"fifo", {{"fifo", '6'}}},
    {"fold", {{"Readme.TXT"}, {"README.txt"}}},
    {"fold-accent", {{"\xC3\x84rger.txt"}, {"\xC3\xA4rger.txt"}}}, // Ärger, ärger
    {"file-folder", {{"data"}, {"DATA/inner.txt"}}},
    {"pax-parent", {{"harmless.txt", '0', "", "path=../pax-parent.txt"}}},
    {"sparse", {{"sparse.bin", '0', "", "GNU.sparse.size=4096"}}},
    {"long-name", {{"././@LongLink", 'L', "a-name-from-a-GNU-extension"}}},
    // Not hostile: a size in an extended header counts over the header's own.
    {"pax-size", {{"sized.bin", '0', std::string(5000, 's'), "size=5000"}}},
    {"trailing-dot", {{"folder./x.txt"}}},
    {"gnu-magic", {{"old.txt", '0', "", "", "ustar  "}}},
    {"pax-no-space", {{"harmless.txt", '0', "", "17_path=good.txt\n"}}},
    {"pax-empty-key", {{"harmless.txt", '0', "", "9 =value\n"}}},
    {"pax-bad-size", {{"sized.bin", '0', "", "size=1x"}}},
    {"base256", {{"binary-size.bin", '0', std::string(700, 'b'), "", "ustar\0" "00", true}}},
    {"version1", {}},
    {"header-size", {}}, // a version 1 header that says it is longer
    {"lzma-properties", {}},
    {"lzma-dictionary", {}},
    {"lzma-huge", {}},
    {"lzma-longer", {}},
    {"lzma-shorter", {}},
    {"lzma-cut", {}},
    {"split", {}}, // not hostile: a sound archive, split
    {"split-sizes", {}},
    {"split-flags", {}},
    {"stored", {}}, // not hostile: a sound archive, its second half stored
    {"stored-sizes", {}},
    {"sliced", {{"filler.bin", '0', std::string(3 << 19, 'f')}}}, // not hostile: a sound archive in two slices
    {"sliced-size", {{"filler.bin", '0', std::string(3 << 19, 'f')}}},
};

void put(std::vector<uint8_t> &bytes, size_t at, uint64_t value, int size) {
    for (int i = 0; i < size; i++)
        bytes[at + i] = (uint8_t)(value >> (8 * i));
}

// The appended data as 'which' wants it: the header's fields changed, the
// stream cut, or all of it in the first version's format.
std::vector<uint8_t> appended_for(const std::string &which, const std::vector<uint8_t> &tar) {
    std::string command = "run.exe", title = "hostile " + which;
    if (which == "version1" || which == "header-size") {
        std::vector<uint8_t> out(BUNDLE_V1_HEADER_SIZE);
        const uint16_t fields[] = {0x4653, 0x4258, 1, BUNDLE_V1_HEADER_SIZE, (uint16_t)command.size(),
                                   (uint16_t)title.size()};
        for (int i = 0; i < 6; i++)
            put(out, 2 * i, fields[i], 2);
        if (which == "header-size")
            put(out, 6, 16, 2);
        out.insert(out.end(), command.begin(), command.end());
        out.insert(out.end(), title.begin(), title.end());
        std::vector<uint8_t> payload = encode_payload(tar, 1);
        out.insert(out.end(), payload.begin(), payload.end());
        return out;
    }
    bool split = which.starts_with("split");
    std::vector<uint8_t> out = bundle_appended(command, title, tar, 1, split ? BUNDLE_FILTER_SPLIT : BUNDLE_FILTER_NONE,
                                               "", which.starts_with("stored") ? tar.size() / 2 : SIZE_MAX,
                                               which.starts_with("sliced") ? 1 << 20 : 0);
    uint64_t size = tar.size();
    size_t coded = BUNDLE_HEADER_SIZE + command.size() + title.size();
    auto get = [&](size_t at) { return sfx_get32(out.data() + at); };
    if (which == "split-sizes") // the rest said 4 bytes longer, the tar stream's size kept
        put(out, coded, get(coded) + 4, 4);
    else if (which == "split-flags") { // the flag stream's last byte gone
        uint32_t flags = get(coded + 16);
        out.erase(out.begin() + (ptrdiff_t)(coded + SPLIT_HEADER_SIZE + get(coded + 12) + flags - 1));
        put(out, coded + 16, flags - 1, 4);
    }
    if (which == "stored-sizes") // the coded part said a byte shorter: stored bytes where LZMA goes on
        put(out, 38, get(38) - 1, 4);
    if (which == "sliced-size") // the first slice said 4 KiB longer: its stream ends early
        put(out, 46, get(46) + 4096, 4);
    if (which == "lzma-properties")
        out[14] = 9 * 5 * 5;
    else if (which == "lzma-dictionary")
        put(out, 16, BUNDLE_DICTIONARY_MAX + 1, 4);
    else if (which == "lzma-huge")
        put(out, 16, BUNDLE_DICTIONARY_MAX, 4), put(out, 20, 1ull << 40, 8);
    else if (which == "lzma-longer")
        put(out, 20, size + 1, 8);
    else if (which == "lzma-shorter")
        put(out, 20, size - 1000, 8);
    else if (which == "lzma-cut")
        out.resize(out.size() - 20);
    return out;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: hostile_bundle CASE LOADER EXTRACTOR PROGRAM OUT\n");
        return 2;
    }
    std::string which = argv[1];
    std::vector<uint8_t> program = read_whole_file(argv[4]);
    std::vector<uint8_t> tar;
    add(tar, {"run.exe", '0', std::string(program.begin(), program.end())});
    add(tar, {"first.txt", '0', "written before the refusal"});
    bool found = false;
    for (const Case &c : CASES)
        if (which == c.name) {
            for (const Entry &entry : c.entries)
                add(tar, entry);
            found = true;
        }
    if (which == "truncated") {
        add(tar, {"cut.bin", '0', std::string(5000, 'x')});
        tar.resize(tar.size() - 2048); // inside the data, with no end block
    } else if (which == "after-end") {
        tar.resize(tar.size() + 1024);
        add(tar, {"late.txt", '0', "after the end"});
    } else if (which == "checksum") {
        add(tar, {"damaged.txt"});
        tar[tar.size() - 512 + 148] ^= 1;
    } else if (!found) {
        std::fprintf(stderr, "hostile_bundle: unknown case %s\n", argv[1]);
        return 2;
    }
    if (which != "truncated")
        tar.resize(tar.size() + 1024);

    std::vector<uint8_t> packed = tar;
    if (!std::string(argv[5]).ends_with(".tar")) {
        std::vector<uint8_t> loader = read_whole_file(argv[2]), extractor = read_whole_file(argv[3]);
        std::vector<uint8_t> appended = appended_for(which, tar);
        packed = assemble_packed(loader, extractor, encode_payload(extractor, 1), appended, 0);
    }
    FILE *out = std::fopen(argv[5], "wb");
    if (!out || std::fwrite(packed.data(), 1, packed.size(), out) != packed.size() || std::fclose(out) != 0) {
        std::perror(argv[5]);
        return 1;
    }
    return 0;
}
