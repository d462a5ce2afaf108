// The bundle's LZMA path against liblzma's encoder: streams it makes decode
// to the same bytes, through the x86 conversion too, in pieces of any size;
// streams that lie about themselves are refused, row by row.
#include <gtest/gtest.h>
#include <lzma.h>

#include <random>
#include <string>
#include <vector>

#include "archive/coded_reader.h"

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
    header.command_length = 1;
    header.title_length = 0;
    for (uint32_t properties : {9u * 5 * 5, 4u + 9 * 1, 2u * 45 + 9 * 3})
        for (uint32_t dictionary : {(uint32_t)BUNDLE_DICTIONARY_MIN - 1, (uint32_t)BUNDLE_DICTIONARY_MAX + 1, 1u << 20}) {
            BundleHeader bad = header, read;
            bad.properties = properties;
            bad.dictionary = dictionary;
            bundle_header_write(&bad, bytes);
            bytes[BUNDLE_HEADER_SIZE] = 'x';
            EXPECT_EQ(bundle_header_read(bytes, sizeof bytes, &read), properties == 2u * 45 + 9 * 3 && dictionary == 1u << 20)
                << properties << " " << dictionary;
        }
}
