#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "decoder/payload_format.h"
#include "encoder/payload_encoder.h"
#include "support/decode_memory.h"

namespace {

using Bytes = std::vector<uint8_t>;

void expect_round_trip(const Bytes &input, int level, const std::string &what) {
    Bytes payload = encode_payload(input, level);
    DecodeOutcome outcome = decode_memory(payload);
    ASSERT_EQ(outcome.result, DECODE_OK) << what << " at level " << level;
    ASSERT_TRUE(outcome.output == input) << what << " at level " << level;
    ASSERT_EQ(outcome.bytes_consumed, (int32_t)payload.size()) << what << ": slack after the bits";
}

Bytes random_bytes(size_t size, uint32_t seed, int alphabet = 256) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (uint8_t &byte : bytes)
        byte = (uint8_t)(random() % alphabet);
    return bytes;
}

Bytes text_like(size_t size) {
    static const char *words[] = {"the ", "loader ", "unpacks ", "a ", "payload ", "into ",
                                  "temporary ", "program, ", "then ", "runs ", "it.\n"};
    std::mt19937 random(7);
    std::string text;
    while (text.size() < size)
        text += words[random() % std::size(words)];
    return Bytes(text.begin(), text.begin() + (long)size);
}

// Repeats that sit just inside, at and beyond the window's reach.
Bytes window_edges() {
    Bytes block = random_bytes(WINDOW_SIZE - 100, 3);
    Bytes out = block;
    for (size_t shift : {0u, 99u, 100u, 101u, 300u}) {
        out.insert(out.end(), block.begin() + (long)shift, block.end());
        out.insert(out.end(), 1000, (uint8_t)shift);
    }
    return out;
}

uint64_t fingerprint(const Bytes &bytes) { // FNV-1a
    uint64_t hash = 0xcbf29ce484222325u;
    for (uint8_t byte : bytes)
        hash = (hash ^ byte) * 0x100000001b3u;
    return hash;
}

TEST(RoundTrip, EveryLevelOnVariedData) {
    Bytes runs;
    for (int i = 0; i < 200; i++)
        runs.insert(runs.end(), 1 + (i * 37) % 700, (uint8_t)(i % 5));
    const std::pair<std::string, Bytes> samples[] = {
        {"empty", {}},
        {"one byte", {0x42}},
        {"two equal bytes", {7, 7}},
        {"random", random_bytes(70000, 1)},
        {"all zeros", Bytes(300000, 0)},
        {"long runs", runs},
    };
    for (const auto &[name, data] : samples)
        for (int level = MIN_LEVEL; level <= MAX_LEVEL; level++)
            expect_round_trip(data, level, name);
    for (int level : {1, DEFAULT_LEVEL, MAX_LEVEL})
        expect_round_trip(text_like(1 << 20), level, "1 MiB of text");
}

// What each level makes of fixed inputs is part of the format's contract
// with stored files: the tree's every tie-break shows in these bytes.
TEST(RoundTrip, EveryLevelMakesTheRecordedPayloads) {
    const std::pair<std::string, Bytes> inputs[] = {
        {"text", text_like(60000)},
        {"small alphabet", random_bytes(30000, 2, 3)},
        {"window edges", window_edges()},
    };
    const uint64_t recorded[][MAX_LEVEL] = {
        {0x79a813bf13a6ac70u, 0xdc9133f0764c39d8u, 0x5437260e13cc464du, 0x49ec141a095cbea6u, 0x1a506ba5a4b38367u,
         0x47100b4b4895e208u, 0x43c30a7abdbb95c8u, 0x8cb46060aa956349u, 0x891e0ae76c2a2a57u},
        {0x9dcf57dcecff9324u, 0xd2f33d4df7b47e0du, 0x5afb9847d9aa3185u, 0xe15397599b30910bu, 0xf826bb7b95923800u,
         0x76d42e6ad7f390deu, 0x288822fbeaadd2d4u, 0xd98539d339b48b48u, 0xd98539d339b48b48u},
        {0x7df492ac9f122d42u, 0x7df492ac9f122d42u, 0x7df492ac9f122d42u, 0x7df492ac9f122d42u, 0x7df492ac9f122d42u,
         0x7df492ac9f122d42u, 0xf3fc24cab4425154u, 0xf3fc24cab4425154u, 0xf3fc24cab4425154u},
    };
    for (size_t i = 0; i < std::size(inputs); i++)
        for (int level = MIN_LEVEL; level <= MAX_LEVEL; level++) {
            Bytes payload = encode_payload(inputs[i].second, level);
            DecodeOutcome outcome = decode_memory(payload);
            ASSERT_TRUE(outcome.result == DECODE_OK && outcome.output == inputs[i].second);
            EXPECT_EQ(fingerprint(payload), recorded[i][level - 1]) << inputs[i].first << " at level " << level;
        }
}

} // namespace
