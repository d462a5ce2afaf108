// The bundle's LZMA path against liblzma's encoder: streams it makes decode
// to the same bytes, through the x86 conversion too, in pieces of any size;
// so do the split conversion's, as sfxpack codes them; streams that lie
// about themselves are refused, row by row.
#include <gtest/gtest.h>
#include <lzma.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "archive/coded_reader.h"
#include "include/sfx_package.h"
#include "bundler/bundler.h"
#include "bundler/lzma_stream.h"

namespace {

// Code-like bytes: CALL and JMP opcodes with near and far targets among noise.
std::vector<uint8_t> code_like(size_t size) {
    std::mt19937 random(7);
    std::vector<uint8_t> data;
    while (data.size() < size) {
        uint32_t pick = random() % 8, target = random() % 4 ? random() % 65536 : random();
        data.push_back(pick < 2 ? 0xE8 : pick < 3 ? 0xE9 : (uint8_t)(random() % 4 ? 0x8B : random()));
        if (pick < 3)
            for (int i = 0; i < 4; i++)
                data.push_back((uint8_t)(target >> (8 * i)));
    }
    data.resize(size);
    return data;
}

// x86-64-like bytes: calls through memory, loads relative to the next
// instruction, calls, and now and then a program's start, among noise.
std::vector<uint8_t> x64_like(size_t size) {
    static const std::vector<uint8_t> forms[] = {{0xFF, 0x15}, {0x48, 0x8B, 0x05}, {0x4C, 0x8D, 0x0D}, {0xF2, 0x0F, 0x10, 0x05},
                                                 {0xE8}, {'M', 'Z', 0x90}, {0x44, 0x8B, 0x05}};
    std::mt19937 random(11);
    std::vector<uint8_t> data;
    while (data.size() < size) {
        const std::vector<uint8_t> &form = forms[random() % 7];
        data.insert(data.end(), form.begin(), form.end());
        uint32_t operand = random() % 2 ? random() % 4096 : random();
        for (int i = 0; i < 4; i++)
            data.push_back((uint8_t)(operand >> (8 * i)));
        data.push_back((uint8_t)random());
    }
    data.resize(size);
    return data;
}

std::vector<uint8_t> encode(const std::vector<uint8_t> &data, bool x86, BundleHeader *header) {
    lzma_options_lzma options;
    lzma_lzma_preset(&options, 1);
    options.dict_size = 1 << 16;
    lzma_filter filters[3] = {{LZMA_FILTER_X86, nullptr}, {LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    std::vector<uint8_t> out(data.size() + data.size() / 8 + 4096);
    size_t size = 0;
    EXPECT_EQ(lzma_raw_buffer_encode(x86 ? filters : filters + 1, nullptr, data.data(), data.size(), out.data(), &size,
                                     out.size()),
              LZMA_OK);
    out.resize(size);
    *header = BundleHeader{};
    header->codec = BUNDLE_CODEC_LZMA;
    header->filter = x86 ? BUNDLE_FILTER_X86 : BUNDLE_FILTER_NONE;
    header->properties = options.lc + 9 * (options.lp + 5 * options.pb);
    header->dictionary = options.dict_size;
    header->archive_size = data.size();
    return out;
}

int collect(void *context, const uint8_t *bytes, uint32_t size) {
    static_cast<std::vector<uint8_t> *>(context)->insert(static_cast<std::vector<uint8_t> *>(context)->end(), bytes,
                                                         bytes + size);
    return 1;
}

CodedResult decode(const BundleHeader &header, const std::vector<uint8_t> &coded, size_t piece,
                   std::vector<uint8_t> *out, uint32_t max_dictionary = BUNDLE_DICTIONARY_MAX) {
    CodedReader reader;
    CodedResult result = coded_reader_open(&reader, &header, max_dictionary, collect, out);
    for (size_t at = 0; result == CODED_OK && at < coded.size(); at += piece)
        result = coded_reader_feed(&reader, coded.data() + at, (uint32_t)std::min(piece, coded.size() - at));
    if (result == CODED_OK)
        result = coded_reader_finish(&reader);
    coded_reader_free(&reader);
    return result;
}

} // namespace

TEST(CodedReader, DecodesWhatLiblzmaMakesInAnyPieces) {
    std::vector<uint8_t> data = code_like(300000);
    for (bool x86 : {false, true}) {
        BundleHeader header;
        std::vector<uint8_t> coded = encode(data, x86, &header);
        for (size_t piece : {1, 5, 4099, 1 << 20}) {
            std::vector<uint8_t> out;
            EXPECT_EQ(decode(header, coded, piece, &out), CODED_OK) << x86 << " " << piece;
            EXPECT_TRUE(out == data) << x86 << " " << piece;
        }
    }
}

TEST(CodedReader, RefusesStreamsThatLie) {
    std::vector<uint8_t> data = code_like(100000);
    BundleHeader header;
    const std::vector<uint8_t> coded = encode(data, false, &header);
    const struct {
        const char *what;
        uint64_t size_change;
        size_t cut;
        std::vector<uint8_t> extra;
        uint32_t max_dictionary;
        CodedResult result;
    } rows[] = {
        {"declared longer", 1, 0, {}, BUNDLE_DICTIONARY_MAX, CODED_SHORT},
        {"declared shorter", (uint64_t)-1, 0, {}, BUNDLE_DICTIONARY_MAX, CODED_DAMAGED},
        {"cut short", 0, 100, {}, BUNDLE_DICTIONARY_MAX, CODED_TRUNCATED},
        {"trailing bytes", 0, 0, {0}, BUNDLE_DICTIONARY_MAX, CODED_TRAILING},
        {"dictionary over the limit", 0, 0, {}, 1 << 15, CODED_NO_MEMORY},
    };
    for (const auto &row : rows) {
        BundleHeader lying = header;
        lying.archive_size += row.size_change;
        std::vector<uint8_t> input(coded.begin(), coded.end() - (ptrdiff_t)row.cut);
        input.insert(input.end(), row.extra.begin(), row.extra.end());
        std::vector<uint8_t> out;
        EXPECT_EQ(decode(lying, input, 4096, &out, row.max_dictionary), row.result) << row.what;
        EXPECT_LE(out.size(), lying.archive_size) << row.what;
    }
    // Properties out of range never reach the decoder: the header is refused.
    uint8_t bytes[BUNDLE_HEADER_SIZE + 1];
    header.command = "x";
    header.command_length = 1;
    header.title_length = 0;
    for (uint32_t properties : {9u * 5 * 5, 4u + 9 * 1, 2u * 45 + 9 * 3})
        for (uint32_t dictionary : {(uint32_t)BUNDLE_DICTIONARY_MIN - 1, (uint32_t)BUNDLE_DICTIONARY_MAX + 1, 1u << 20}) {
            BundleHeader bad = header, read;
            bad.properties = properties;
            bad.dictionary = dictionary;
            bundle_header_write(&bad, bytes);
            EXPECT_EQ(bundle_header_read(bytes, sizeof bytes, &read), properties == 2u * 45 + 9 * 3 && dictionary == 1u << 20)
                << properties << " " << dictionary;
        }
}

namespace {

// 'data' split and coded as sfxpack codes a bundle's archive: the header,
// and the coded bytes after it.
std::vector<uint8_t> split_coded(const std::vector<uint8_t> &data, BundleHeader *header,
                                 uint32_t filter = BUNDLE_FILTER_SPLIT, uint32_t codec = BUNDLE_CODEC_LZMA) {
    std::vector<uint8_t> appended = bundle_appended("a.exe", "", data, 1, filter, "", SIZE_MAX, 0, codec);
    EXPECT_EQ(bundle_header_read(appended.data(), (uint32_t)appended.size(), header), 1);
    EXPECT_EQ(header->filter, filter);
    return {appended.begin() + header->size, appended.end()};
}

uint32_t field(const std::vector<uint8_t> &coded, size_t at) { return sfx_get32(coded.data() + at); }

} // namespace

TEST(CodedReader, SplitConversionComesBackInAnyPieces) {
    std::vector<uint8_t> code = code_like(300000), tail = code_like(5000), x64_tail = x64_like(5000);
    for (std::vector<uint8_t> ending : {std::vector<uint8_t>{0xE8, 1, 2}, std::vector<uint8_t>{0xE9, 0, 0, 0, 0}})
        tail.insert(tail.end(), ending.begin(), ending.end());
    // A load with 8 bytes to the end is converted, one with 7 is not.
    for (std::vector<uint8_t> ending : {std::vector<uint8_t>{0x48, 0x8B, 0x05, 9, 0, 0, 0, 0x90},
                                        std::vector<uint8_t>{0x48, 0x8D, 0x05, 9, 0, 0, 0}})
        x64_tail.insert(x64_tail.end(), ending.begin(), ending.end());
    const struct {
        const char *what;
        std::vector<uint8_t> data;
        bool targets;
    } rows[] = {
        {"code", code, true},
        {"x86-64 code", x64_like(300000), true},
        {"no branches", std::vector<uint8_t>(70000, 0x8B), false},
        {"branches at the very end", tail, true},
        {"addresses at the very end", x64_tail, true},
        {"one branch byte", {0xE8}, false},
    };
    for (uint32_t codec : {BUNDLE_CODEC_LZMA, BUNDLE_CODEC_LZMA2})
        for (uint32_t filter : {BUNDLE_FILTER_SPLIT, BUNDLE_FILTER_SPLIT_X64})
            for (const auto &row : rows) {
                BundleHeader header;
                std::vector<uint8_t> coded = split_coded(row.data, &header, filter, codec);
                EXPECT_EQ(field(coded, 8) > 0, row.targets) << row.what;
                for (size_t piece : {1, 7, 4099, 1 << 20}) {
                    std::vector<uint8_t> out;
                    EXPECT_EQ(decode(header, coded, piece, &out), CODED_OK) << row.what << " " << filter << " " << codec << " " << piece;
                    EXPECT_TRUE(out == row.data) << row.what << " " << filter << " " << codec << " " << piece;
                }
            }
}

namespace {

// The x86-64 conversion undone as a reader gets the bytes, 'piece' at a time.
std::vector<uint8_t> relative_undone(const std::vector<uint8_t> &coded, size_t piece) {
    std::vector<uint8_t> back, held;
    RelativeState undo{};
    for (size_t at = 0; at < coded.size(); at += piece) {
        held.insert(held.end(), coded.begin() + (ptrdiff_t)at, coded.begin() + (ptrdiff_t)std::min(at + piece, coded.size()));
        uint32_t n = relative_convert(&undo, held.data(), (uint32_t)held.size(), 0);
        back.insert(back.end(), held.begin(), held.begin() + n);
        held.erase(held.begin(), held.begin() + n);
    }
    back.insert(back.end(), held.begin(), held.end());
    return back;
}

} // namespace

// Which operands the x86-64 conversion takes and what it makes of them: the
// operand plus the offset of the next instruction from the last program's
// start (else the stream's); undone as the reader gets the bytes, one by one.
TEST(BranchSplit, X64AddressesBecomeAbsoluteWhereTheDecoderLooks) {
    const struct {
        const char *what;
        std::vector<uint8_t> in;
        size_t at; // the operand's offset, or SIZE_MAX when nothing is converted
    } rows[] = {
        {"call through memory", {0xFF, 0x15, 1, 0, 0, 0}, 2},
        {"jump through memory", {0xFF, 0x25, 1, 0, 0, 0}, 2},
        {"64-bit load", {0x48, 0x8B, 0x05, 1, 0, 0, 0}, 3},
        {"address of, into r9", {0x4C, 0x8D, 0x0D, 1, 0, 0, 0}, 3},
        {"64-bit compare", {0x48, 0x3B, 0x3D, 1, 0, 0, 0}, 3},
        {"scalar double", {0xF2, 0x0F, 0x10, 0x05, 1, 0, 0, 0}, 4},
        {"aligned move", {0x0F, 0x28, 0x05, 1, 0, 0, 0}, 3},
        {"counted from a program's start", {'M', 'Z', 0x90, 0, 0xFF, 0x15, 1, 0, 0, 0}, 6},
        {"inside a converted operand", {0xFF, 0x15, 0xFF, 0x15, 0, 0, 0, 0}, 2},
        {"32-bit load", {0x44, 0x8B, 0x05, 1, 0, 0, 0}, SIZE_MAX},
        {"register, not memory", {0x48, 0x8B, 0x06, 1, 0, 0, 0}, SIZE_MAX},
        {"a base register", {0x48, 0x8B, 0x45, 1, 0, 0, 0}, SIZE_MAX},
        {"push from memory", {0xFF, 0x35, 1, 0, 0, 0}, SIZE_MAX},
        {"7 bytes to the end", {0x48, 0x8B, 0x05, 1, 0}, SIZE_MAX},
    };
    for (const auto &row : rows)
        for (size_t lead : {0, 1, 5}) {
            std::vector<uint8_t> data(lead, 0x90);
            data.insert(data.end(), row.in.begin(), row.in.end());
            data.insert(data.end(), 2, 0x90); // 8 bytes from each instruction to the end, but one
            std::vector<uint8_t> want = data;
            if (row.at != SIZE_MAX) {
                size_t base = row.in[0] == 'M' ? lead : 0;
                sfx_put32(&want[lead + row.at], sfx_get32(&want[lead + row.at]) + (uint32_t)(lead + row.at + 4 - base));
            }
            std::vector<uint8_t> coded = data;
            RelativeState state{};
            relative_convert(&state, coded.data(), (uint32_t)coded.size(), 1);
            EXPECT_TRUE(coded == want) << row.what << " " << lead;
            EXPECT_TRUE(relative_undone(coded, 1) == data) << row.what << " " << lead;
        }
    // Bytes of those instructions packed tight, so that the places looked at
    // overlap operands taken just after them: the decoder still comes back.
    const uint8_t alphabet[] = {0xFF, 0x15, 0x25, 0x0F, 0x10, 0x66, 0xF2, 0x05, 0x0D, 0x48, 0x8B, 'M', 'Z', 0x90};
    std::mt19937 random(5);
    std::vector<uint8_t> dense(20000);
    for (uint8_t &byte : dense)
        byte = alphabet[random() % sizeof alphabet];
    std::vector<uint8_t> coded = dense;
    RelativeState state{};
    relative_convert(&state, coded.data(), (uint32_t)coded.size(), 1);
    EXPECT_FALSE(coded == dense);
    EXPECT_TRUE(relative_undone(coded, 3) == dense);
}

TEST(CodedReader, RefusesSplitStreamsThatLie) {
    BundleHeader header;
    for (uint32_t codec : {BUNDLE_CODEC_LZMA, BUNDLE_CODEC_LZMA2}) {
        const std::vector<uint8_t> coded = split_coded(code_like(100000), &header, BUNDLE_FILTER_SPLIT, codec);
        const uint32_t targets = field(coded, 8), targets_coded = field(coded, 12), flags = field(coded, 16);
        const size_t flags_at = SPLIT_HEADER_SIZE + targets_coded;
        const struct {
            const char *what;
            size_t at;  // a field of the split header to change, or 0
            uint32_t value;
            size_t cut; // bytes cut off at 'cut_at'
            size_t cut_at;
            CodedResult result;
        } rows[] = {
            {"rest's size off", 0, field(coded, 0) + 4, 0, 0, CODED_DAMAGED},
            {"targets not whole", 8, targets + 1, 0, 0, CODED_DAMAGED},
            {"targets over the limit", 8, SPLIT_TARGETS_MAX + 4, 0, 0, CODED_DAMAGED},
            {"targets without their stream", 12, 0, 0, 0, CODED_DAMAGED},
            {"targets' stream said shorter", 12, targets_coded - 1, 0, 0, CODED_DAMAGED},
            {"flags too short to start", 16, SPLIT_RANGE_END - 1, 0, 0, CODED_DAMAGED},
            {"flags larger than memory", 16, BUNDLE_DICTIONARY_MAX + 5, 0, 0, CODED_NO_MEMORY},
            {"flags run out", 16, flags - 1, 1, flags_at + flags - 1, CODED_DAMAGED},
            {"a flag byte too many", 16, flags + 1, 0, 0, CODED_DAMAGED},
            {"cut in the header", 0, 0, coded.size() - 10, 10, CODED_TRUNCATED},
            {"cut in the targets", 0, 0, coded.size() - flags_at + 3, flags_at - 3, CODED_TRUNCATED},
        };
        for (const auto &row : rows) {
            std::vector<uint8_t> input = coded;
            if (row.at || row.value)
                for (int i = 0; i < 4; i++)
                    input[row.at + i] = (uint8_t)(row.value >> (8 * i));
            if (row.value == flags + 1)
                input.insert(input.begin() + (ptrdiff_t)(flags_at + flags), 0);
            input.erase(input.begin() + (ptrdiff_t)row.cut_at, input.begin() + (ptrdiff_t)(row.cut_at + row.cut));
            std::vector<uint8_t> out;
            EXPECT_EQ(decode(header, input, 4096, &out), row.result) << row.what << " " << codec;
            EXPECT_LE(out.size(), header.archive_size) << row.what;
        }
    }
    // The split conversion is version 3's: a version 2 header naming it is refused.
    std::vector<uint8_t> bytes(BUNDLE_V6_HEADER_SIZE + 1, 'x'); // filter 3 is written as version 8
    header.codec = BUNDLE_CODEC_LZMA;
    header.headers_first = 0;
    header.command = "x";
    header.command_length = 1;
    header.title_length = 0;
    for (uint32_t version : {2u, 3u})
        for (uint32_t filter : {1u, 2u, 3u}) {
            BundleHeader read;
            header.filter = filter;
            bundle_header_write(&header, bytes.data());
            bytes[4] = (uint8_t)version;
            EXPECT_EQ(bundle_header_read(bytes.data(), (uint32_t)bytes.size(), &read), filter < version)
                << version << " " << filter;
        }
}

// An archive (no command) or a target needs version 4, stored bytes version
// 5, slices version 6; a command alone is written as version 3, as it always was; a
// headers-first tar stream takes version 7, the one version with one stream and
// nothing stored in its fields, 8 with the x86-64 conversion, and 9 LZMA in
// chunks, whose end alone may be all that is coded. Each reads back whole,
// and not cut short.
TEST(BundleHeader, EachTakesTheOldestVersionThatHoldsIt) {
    const struct {
        const char *command;
        std::string target;
        uint64_t stored, coded;
        uint32_t slice;
        int version; // 0: refused
        uint32_t filter = BUNDLE_FILTER_NONE;
        uint32_t codec = BUNDLE_CODEC_LZMA;
    } rows[] = {
        {"a.exe /S", "", 0, 0, 0, 3},
        {"", "", 0, 0, 0, 4},
        {"a.exe", "%USERPROFILE%\\Fotos", 0, 0, 0, 4},
        {"", std::string(BUNDLE_TARGET_MAX, 'x'), 0, 0, 0, 4},
        {"", std::string(BUNDLE_TARGET_MAX + 1, 'x'), 0, 0, 0, 0},
        {"a.exe", "", 1000, 5, 0, 5},
        {"", "", 1 << 20, 1u << 31, 0, 5},
        {"", "", (4 << 20) + 1, 100, 0, 0}, // more stored than the archive holds
        {"", "", 1000, 4, 0, 0},            // no room for an LZMA stream's end
        {"a.exe", "", 0, 0, 1 << 20, 6},
        {"", "", 1000, 5, 3 << 20, 6},
        {"a.exe", "", 0, 0, 0, 7},
        {"a.exe", "", 0, 0, 0, 8, BUNDLE_FILTER_SPLIT_X64},
        {"a.exe", "", 0, 0, 0, 9, BUNDLE_FILTER_NONE, BUNDLE_CODEC_LZMA2},
        {"", "", 1000, 1, 3 << 20, 9, BUNDLE_FILTER_SPLIT_X64, BUNDLE_CODEC_LZMA2},
        {"a.exe", "", 0, 5, 1 << 20, 0},               // a coded size with nothing stored
        {"a.exe", "", 0, 0, (1 << 20) - 4096, 0},      // a slice under 1 MiB
        {"a.exe", "", 0, 0, (1 << 20) + 1, 0},         // not whole 4 KiB
        {"a.exe", "", 3 << 20, 5, 1 << 20, 0},         // one slice holds all that is coded
    };
    for (const auto &row : rows) {
        BundleHeader header{}, read;
        header.properties = 3;
        header.dictionary = 1 << 20;
        header.archive_size = 4 << 20;
        header.stored_size = row.stored;
        header.coded_size = row.coded;
        header.slice_size = row.slice;
        header.headers_first = row.version >= 7;
        header.filter = row.filter;
        header.codec = row.codec;
        std::vector<uint8_t> bytes = bundle_header_bytes(header, row.command, "Fotos", row.target);
        EXPECT_EQ(bundle_header_read(bytes.data(), (uint32_t)bytes.size(), &read), row.version != 0) << row.command;
        if (!row.version)
            continue;
        EXPECT_EQ(read.version, (uint32_t)row.version);
        EXPECT_EQ(read.size, bytes.size());
        EXPECT_EQ(read.slice_size, row.slice);
        EXPECT_EQ(read.headers_first, row.version >= 7);
        EXPECT_EQ(read.filter, row.filter);
        EXPECT_EQ(read.codec, row.codec);
        EXPECT_EQ(read.stored_size, row.stored);
        EXPECT_EQ(read.coded_size, row.coded);
        EXPECT_EQ(std::string(read.command, read.command_length) + "|" + std::string(read.title, read.title_length) + "|" +
                      std::string(read.target, read.target_length),
                  std::string(row.command) + "|Fotos|" + row.target);
        EXPECT_EQ(bundle_header_read(bytes.data(), (uint32_t)bytes.size() - 1, &read), 0) << row.command;
        for (uint8_t codec : {0, 1, 2, 3}) { // LZMA from version 2 on, in chunks in version 9
            if (codec == row.codec)
                continue;
            std::vector<uint8_t> other = bytes;
            other[12] = codec;
            EXPECT_EQ(bundle_header_read(other.data(), (uint32_t)other.size(), &read), 0) << row.command << " " << codec;
        }
        // Another version: its header's size does not fit, or (7 and 8) the filter or codec is not its own.
        bytes[4] = (uint8_t)(row.version == 3 ? 4 : row.version - 1);
        EXPECT_EQ(bundle_header_read(bytes.data(), (uint32_t)bytes.size(), &read), 0) << row.command;
    }
}

namespace {

// Code followed by random bytes, coded as sfxpack codes a bundle's archive
// with its bytes from 'stored_from' on stored.
std::vector<uint8_t> stored_coded(const std::vector<uint8_t> &data, uint32_t filter, size_t stored_from,
                                  BundleHeader *header, uint32_t codec = BUNDLE_CODEC_LZMA) {
    std::vector<uint8_t> appended = bundle_appended("a.exe", "", data, 1, filter, "", stored_from, 0, codec);
    EXPECT_EQ(bundle_header_read(appended.data(), (uint32_t)appended.size(), header), 1);
    return {appended.begin() + header->size, appended.end()};
}

std::vector<uint8_t> code_then_random() {
    std::vector<uint8_t> data = code_like(100000);
    std::mt19937 random(3);
    for (int i = 0; i < 50000; i++)
        data.push_back((uint8_t)random());
    return data;
}

} // namespace

TEST(CodedReader, StoredBytesFollowTheCodedPart) {
    const std::vector<uint8_t> data = code_then_random();
    const struct {
        uint32_t filter;
        size_t stored_from;
        uint32_t codec = BUNDLE_CODEC_LZMA;
    } rows[] = {{BUNDLE_FILTER_NONE, 100000}, {BUNDLE_FILTER_SPLIT, 100000}, {BUNDLE_FILTER_NONE, 0},
                {BUNDLE_FILTER_SPLIT, 0}, {BUNDLE_FILTER_NONE, data.size() - 1},
                {BUNDLE_FILTER_SPLIT, 100000, BUNDLE_CODEC_LZMA2}, {BUNDLE_FILTER_NONE, 0, BUNDLE_CODEC_LZMA2},
                {BUNDLE_FILTER_SPLIT, 0, BUNDLE_CODEC_LZMA2}, {BUNDLE_FILTER_NONE, data.size() - 1, BUNDLE_CODEC_LZMA2}};
    for (const auto &row : rows) {
        BundleHeader header;
        std::vector<uint8_t> coded = stored_coded(data, row.filter, row.stored_from, &header, row.codec);
        EXPECT_EQ(header.version, row.codec == BUNDLE_CODEC_LZMA ? 5u : 9u);
        EXPECT_EQ(header.stored_size, data.size() - row.stored_from);
        EXPECT_EQ(header.coded_size + header.stored_size, coded.size());
        EXPECT_TRUE(std::equal(data.begin() + (ptrdiff_t)row.stored_from, data.end(),
                               coded.end() - (ptrdiff_t)header.stored_size));
        for (size_t piece : {1, 7, 4099, 1 << 20}) {
            std::vector<uint8_t> out;
            EXPECT_EQ(decode(header, coded, piece, &out), CODED_OK) << row.filter << " " << row.stored_from;
            EXPECT_TRUE(out == data) << row.filter << " " << row.stored_from << " " << piece;
        }
    }
}

TEST(CodedReader, RefusesStoredPartsThatLie) {
    BundleHeader header;
    const std::vector<uint8_t> coded = stored_coded(code_then_random(), BUNDLE_FILTER_NONE, 100000, &header);
    const struct {
        const char *what;
        int64_t stored_change, coded_change;
        size_t cut;
        std::vector<uint8_t> extra;
        CodedResult result;
    } rows[] = {
        {"coded part said shorter", 0, -1, 0, {}, CODED_DAMAGED},
        {"coded part said longer", 0, 1, 0, {}, CODED_TRAILING},
        {"stored part said longer", 1, 0, 0, {}, CODED_TRUNCATED},
        {"stored part cut short", 0, 0, 1, {}, CODED_TRUNCATED},
        {"a byte after the stored part", 0, 0, 0, {0}, CODED_TRAILING},
        {"stored part said shorter", -1, 0, 0, {}, CODED_TRAILING},
    };
    for (const auto &row : rows) {
        BundleHeader lying = header;
        lying.stored_size += (uint64_t)row.stored_change;
        lying.archive_size += (uint64_t)row.stored_change;
        lying.coded_size += (uint64_t)row.coded_change;
        std::vector<uint8_t> input(coded.begin(), coded.end() - (ptrdiff_t)row.cut);
        input.insert(input.end(), row.extra.begin(), row.extra.end());
        std::vector<uint8_t> out;
        EXPECT_EQ(decode(lying, input, 4096, &out), row.result) << row.what;
        EXPECT_LE(out.size(), lying.archive_size) << row.what;
    }
}

namespace {

// 'data' coded at 'level' as a bundle's archive, LZMA's input cut in two at
// 1 MiB, its bytes from 'stored_from' on stored, with 'threads'.
std::vector<uint8_t> sliced_coded(const std::vector<uint8_t> &data, uint32_t filter, size_t stored_from,
                                  unsigned threads, BundleHeader *header, int level = 1,
                                  uint32_t codec = BUNDLE_CODEC_LZMA2) {
    int fd = coded_archive_file();
    CodingSettings settings = coding_settings(level, false, filter, data.size());
    settings.codec = codec;
    settings.slice = 1 << 20;
    settings.threads = threads;
    uint64_t size = 0;
    BundleHeader coded = code_archive(
        [&](const ByteSink &sink, const StoreRest &store_rest) {
            sink(data.data(), std::min(stored_from, data.size()));
            if (stored_from < data.size()) {
                store_rest();
                sink(data.data() + stored_from, data.size() - stored_from);
            }
        },
        settings, fd, nullptr, &size, false);
    std::vector<uint8_t> bytes = bundle_header_bytes(coded, "a.exe", "", "");
    EXPECT_EQ(bundle_header_read(bytes.data(), (uint32_t)bytes.size(), header), 1);
    std::vector<uint8_t> out(size);
    EXPECT_EQ(pread(fd, out.data(), size, 0), (ssize_t)size);
    close(fd);
    return out;
}

// 384 KiB of random bytes four times over: only a dictionary that reaches
// back across the slices' border codes the second slice small.
std::vector<uint8_t> repeated_random() {
    std::mt19937 random(5);
    std::vector<uint8_t> part(384 << 10);
    for (uint8_t &byte : part)
        byte = (uint8_t)random();
    std::vector<uint8_t> data;
    for (int i = 0; i < 4; i++)
        data.insert(data.end(), part.begin(), part.end());
    return data;
}

} // namespace

// The second slice copies from the first, decodes whole in pieces of any
// size, and the bytes are the same whatever the threads.
TEST(CodedReader, SlicesShareTheDictionary) {
    const std::vector<uint8_t> random = repeated_random();
    std::vector<uint8_t> code = code_like(3 << 20); // the targets split off, LZMA takes 1.2 MiB
    const struct {
        const char *what;
        const std::vector<uint8_t> &data;
        uint32_t filter;
        size_t stored_from;
        int level; // 1 hash chains on one thread, 6 binary trees searched on threads of their own
        uint32_t codec = BUNDLE_CODEC_LZMA2;
    } rows[] = {
        {"random", random, BUNDLE_FILTER_NONE, SIZE_MAX, 1},
        {"code, split", code, BUNDLE_FILTER_SPLIT, SIZE_MAX, 6},
        {"random, stored", random, BUNDLE_FILTER_NONE, 5 << 18, 6},
        {"code, split, stored", code, BUNDLE_FILTER_SPLIT, 5 << 19, 1},
        {"random, one piece", random, BUNDLE_FILTER_NONE, SIZE_MAX, 6, BUNDLE_CODEC_LZMA},
        {"code, split, stored, one piece", code, BUNDLE_FILTER_SPLIT, 5 << 19, 1, BUNDLE_CODEC_LZMA},
    };
    for (const auto &row : rows) {
        BundleHeader header, two;
        std::vector<uint8_t> coded = sliced_coded(row.data, row.filter, row.stored_from, 1, &header, row.level, row.codec);
        EXPECT_TRUE(sliced_coded(row.data, row.filter, row.stored_from, 2, &two, row.level, row.codec) == coded) << row.what;
        EXPECT_EQ(header.version, row.codec == BUNDLE_CODEC_LZMA2 ? BUNDLE_VERSION : BUNDLE_HEADERS_FIRST_VERSION) << row.what;
        EXPECT_EQ(header.slice_size, 1u << 20) << row.what;
        if (&row.data == &random) {
            EXPECT_LT(coded.size() - header.stored_size, 450u << 10) << row.what;
        }
        for (size_t piece : {1, 4099, 1 << 20}) {
            std::vector<uint8_t> out;
            EXPECT_EQ(decode(header, coded, piece, &out), CODED_OK) << row.what << " " << piece;
            EXPECT_TRUE(out == row.data) << row.what << " " << piece;
        }
    }
}

TEST(CodedReader, RefusesSlicesThatLie) {
    BundleHeader header;
    const std::vector<uint8_t> coded = sliced_coded(code_like(3 << 19), BUNDLE_FILTER_NONE, SIZE_MAX, 1, &header);
    const struct {
        const char *what;
        int64_t slice_change;
        CodedResult result;
    } rows[] = {
        {"slice said longer", 4096, CODED_SHORT},
        {"slice said shorter", -4096, CODED_DAMAGED},
        {"no slices said", -(1 << 20), CODED_SHORT},
    };
    for (const auto &row : rows) {
        BundleHeader lying = header;
        lying.slice_size += (uint32_t)row.slice_change;
        std::vector<uint8_t> out;
        EXPECT_EQ(decode(lying, coded, 4096, &out), row.result) << row.what;
        EXPECT_LE(out.size(), lying.archive_size) << row.what;
    }
}

namespace {

// Random bytes, then code, random bytes and code again: chunks stored and
// coded, in turn.
std::vector<uint8_t> random_and_code() {
    std::mt19937 random(9);
    std::vector<uint8_t> data, code = code_like(200000);
    for (int part = 0; part < 4; part++)
        if (part % 2)
            data.insert(data.end(), code.begin(), code.end());
        else
            for (int i = 0; i < 150000; i++)
                data.push_back((uint8_t)random());
    return data;
}

struct Chunk {
    size_t at; // of its control byte
    uint8_t control;
    size_t size; // the whole chunk's, header and all
};

std::vector<Chunk> chunks_of(const std::vector<uint8_t> &coded) {
    std::vector<Chunk> chunks;
    for (size_t at = 0; at < coded.size();) {
        uint8_t control = coded[at];
        size_t size = chunk_header_size(control) + (control == CHUNK_END  ? 0
                                                    : control < CHUNK_CODED ? (coded[at + 1] << 8 | coded[at + 2]) + 1
                                                                            : (coded[at + 3] << 8 | coded[at + 4]) + 1);
        chunks.push_back({at, control, size});
        at += size;
    }
    return chunks;
}

} // namespace

// Data that does not compress passes in stored chunks, which cost a few
// bytes each and keep LZMA's state: what is coded before and after them
// stays small. The chunks are LZMA2's, as liblzma reads them.
TEST(CodedReader, ChunksStoreWhatDoesNotCompress) {
    const std::vector<uint8_t> data = random_and_code();
    BundleHeader header;
    std::vector<uint8_t> coded = stored_coded(data, BUNDLE_FILTER_NONE, SIZE_MAX, &header, BUNDLE_CODEC_LZMA2);
    std::vector<Chunk> chunks = chunks_of(coded);
    size_t stored = 0;
    for (const Chunk &chunk : chunks)
        stored += chunk.control == CHUNK_STORED || chunk.control == CHUNK_STORED_RESET ? chunk.size - 3 : 0;
    EXPECT_GT(stored, 250000u);
    EXPECT_EQ(chunks.back().control, CHUNK_END);
    // Random bytes cost a thousandth at most; one piece of LZMA takes more.
    BundleHeader other;
    EXPECT_LT(coded.size(), stored_coded(data, BUNDLE_FILTER_NONE, SIZE_MAX, &other, BUNDLE_CODEC_LZMA).size());
    std::vector<uint8_t> random(data.begin(), data.begin() + 150000);
    EXPECT_LE(stored_coded(random, BUNDLE_FILTER_NONE, SIZE_MAX, &other, BUNDLE_CODEC_LZMA2).size(), 150150u);

    lzma_options_lzma options;
    lzma_lzma_preset(&options, 1);
    options.dict_size = header.dictionary;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    std::vector<uint8_t> out(data.size() + 1);
    size_t in_at = 0, out_at = 0;
    EXPECT_EQ(lzma_raw_buffer_decode(filters, nullptr, coded.data(), &in_at, coded.size(), out.data(), &out_at, out.size()),
              LZMA_OK);
    out.resize(out_at);
    EXPECT_TRUE(out == data);
    EXPECT_EQ(in_at, coded.size());
}

// Chunks that break the rules, or lie about their sizes, are refused.
TEST(CodedReader, RefusesChunksThatLie) {
    BundleHeader header;
    const std::vector<uint8_t> coded =
        stored_coded(random_and_code(), BUNDLE_FILTER_NONE, SIZE_MAX, &header, BUNDLE_CODEC_LZMA2);
    const std::vector<Chunk> chunks = chunks_of(coded);
    auto first_coded = std::find_if(chunks.begin(), chunks.end(), [](const Chunk &c) { return c.control >= CHUNK_CODED; });
    auto after_stored = std::find_if(first_coded + 1, chunks.end(), [&](const Chunk &c) {
        return c.control >= CHUNK_CODED && (&c)[-1].control == CHUNK_STORED;
    });
    auto stored = std::find_if(chunks.begin(), chunks.end(), [](const Chunk &c) { return c.control == CHUNK_STORED; });
    ASSERT_EQ(chunks[0].control, CHUNK_STORED_RESET);
    ASSERT_TRUE(first_coded != chunks.end() && after_stored != chunks.end() && stored != chunks.end());
    ASSERT_EQ(first_coded->control >> 5, 4 + CHUNK_RESET_STATE_PROPERTIES);
    ASSERT_EQ(after_stored->control >> 5, 4 + CHUNK_RESET_NONE);
    const Chunk &last = chunks[chunks.size() - 2];
    const struct {
        const char *what;
        size_t at;
        int change; // added to the byte at 'at'
        CodedResult result;
    } rows[] = {
        {"the first chunk keeps the dictionary", 0, CHUNK_STORED - CHUNK_STORED_RESET, CODED_DAMAGED},
        {"a stored chunk empties it later", stored->at, CHUNK_STORED_RESET - CHUNK_STORED, CODED_DAMAGED},
        {"a coded chunk empties it later", after_stored->at, 3 << 5, CODED_DAMAGED},
        {"the state never started", first_coded->at, -(2 << 5), CODED_DAMAGED},
        {"other properties", first_coded->at + 5, 1, CODED_DAMAGED},
        {"no such chunk", stored->at, 1, CODED_DAMAGED},
        {"a coded size too small", after_stored->at + 4, -1, CODED_DAMAGED},
        {"a coded size too large", after_stored->at + 4, 1, CODED_DAMAGED},
        {"more data than the stream holds", last.at + 2, 1, CODED_DAMAGED},
        {"less data than the stream holds", last.at + 2, -1, CODED_DAMAGED},
        {"the end before the data's", last.at, -(int)last.control, CODED_SHORT},
    };
    for (const auto &row : rows) {
        std::vector<uint8_t> input = coded;
        input[row.at] = (uint8_t)(input[row.at] + row.change);
        if (row.result == CODED_SHORT)
            input.resize(last.at + 1);
        std::vector<uint8_t> out;
        EXPECT_EQ(decode(header, input, 4096, &out), row.result) << row.what;
        EXPECT_LE(out.size(), header.archive_size) << row.what;
    }
    std::vector<uint8_t> out, cut(coded.begin(), coded.end() - 1), longer = coded;
    longer.push_back(CHUNK_END);
    EXPECT_EQ(decode(header, cut, 4096, &out), CODED_TRUNCATED);
    EXPECT_EQ(decode(header, longer, 4096, &out), CODED_TRAILING);
    // A taker that says stop, in a stored chunk or a coded one, is heard,
    // and given nothing more.
    struct Stop {
        size_t taken, limit;
        bool said;
    };
    for (size_t limit : {1000, 200000}) {
        Stop stop{0, limit, false};
        CodedReader reader;
        CodedResult result = coded_reader_open(
            &reader, &header, BUNDLE_DICTIONARY_MAX,
            [](void *context, const uint8_t *, uint32_t size) {
                auto *s = static_cast<Stop *>(context);
                EXPECT_FALSE(s->said);
                s->taken += size;
                return (int)!(s->said = s->taken > s->limit);
            },
            &stop);
        for (size_t at = 0; result == CODED_OK && at < coded.size(); at += 4096)
            result = coded_reader_feed(&reader, coded.data() + at, (uint32_t)std::min<size_t>(4096, coded.size() - at));
        coded_reader_free(&reader);
        EXPECT_EQ(result, CODED_REFUSED) << limit;
        EXPECT_TRUE(stop.said) << limit;
    }
}

// A folder that fails while it is read (a file gone, a disk error) stops the
// coder and its match finder's threads, on one core or more, and its error
// is what comes out; so does an error in the coder's own reading, which may
// come on the match finder's thread.
TEST(CodedReader, CodingStopsWhenReadingFails) {
    const std::vector<uint8_t> data = code_like(3 << 20);
    for (int level : {1, 9}) {
        lzma_options_lzma options;
        lzma_lzma_preset(&options, (uint32_t)level);
        options.dict_size = 1 << 20;
        int fd = coded_archive_file();
        size_t given = 0;
        std::string error;
        try {
            code_lzma_stream(
                options,
                [&](uint8_t *bytes, size_t size) {
                    if (given >= data.size() / 2)
                        throw BundleError("cannot read the archive's data back");
                    size = std::min<size_t>(size, 70001);
                    std::memcpy(bytes, data.data() + given, size);
                    given += size;
                    return size;
                },
                fd, level == 9);
        } catch (const BundleError &e) {
            error = e.what();
        }
        close(fd);
        EXPECT_EQ(error, "cannot read the archive's data back") << level;
    }
    for (unsigned threads : {1u, 2u})
        for (int level : {1, 9}) {
            CodingSettings settings = coding_settings(level, false, BUNDLE_FILTER_NONE, data.size());
            settings.threads = threads;
            int fd = coded_archive_file();
            uint64_t size = 0;
            std::string error;
            try {
                code_archive(
                    [&](const ByteSink &sink, const StoreRest &) {
                        sink(data.data(), data.size() / 2);
                        throw BundleError("gone");
                    },
                    settings, fd, nullptr, &size, false);
            } catch (const BundleError &e) {
                error = e.what();
            }
            close(fd);
            EXPECT_EQ(error, "gone") << threads << " " << level;
        }
}
