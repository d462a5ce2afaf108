#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
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
    ASSERT_EQ(outcome.output.size(), input.size()) << what << " at level " << level;
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

struct Sample {
    std::string name;
    Bytes data;
};

std::vector<Sample> varied_samples() {
    Bytes runs;
    for (int i = 0; i < 200; i++)
        runs.insert(runs.end(), 1 + (i * 37) % 700, (uint8_t)(i % 5));
    Bytes ramps;
    for (int i = 0; i < 100000; i++)
        ramps.push_back((uint8_t)(i / 3 + (i >> 9)));
    return {
        {"empty", {}},
        {"one byte", {0x42}},
        {"two equal bytes", {7, 7}},
        {"text", text_like(50000)},
        {"random", random_bytes(70000, 1)},
        {"small alphabet", random_bytes(60000, 2, 3)},
        {"all zeros", Bytes(300000, 0)},
        {"long runs", runs},
        {"ramps", ramps},
        {"window edges", window_edges()},
    };
}

TEST(RoundTrip, EveryLevelOnVariedData) {
    for (const Sample &sample : varied_samples())
        for (int level = MIN_LEVEL; level <= MAX_LEVEL; level++)
            expect_round_trip(sample.data, level, sample.name);
}

TEST(RoundTrip, RandomStructuredInputs) {
    std::mt19937 random(2024);
    for (int round = 0; round < 30; round++) {
        Bytes data;
        size_t size = random() % 40000;
        while (data.size() < size) {
            if (data.size() > 10 && random() % 3 == 0) {
                size_t distance = 1 + random() % std::min<size_t>(data.size(), 9000);
                size_t length = 1 + random() % 300;
                for (size_t i = 0; i < length; i++)
                    data.push_back(data[data.size() - distance]);
            } else {
                data.push_back((uint8_t)(random() % (1 + round * 8)));
            }
        }
        expect_round_trip(data, 1 + round % MAX_LEVEL, "random round " + std::to_string(round));
    }
}

TEST(RoundTrip, SeveralMegabytes) {
    Bytes big = text_like(3 << 20);
    Bytes noise = random_bytes(1 << 20, 9);
    big.insert(big.end(), noise.begin(), noise.end());
    for (int level : {1, DEFAULT_LEVEL, MAX_LEVEL})
        expect_round_trip(big, level, "4 MB");
}

TEST(RoundTrip, RealExecutablesWhereTheMachineHasThem) {
    const char *folder = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows";
    std::vector<std::string> names{"notepad.exe", "cmd.exe", "regedit.exe"};
    int found = 0;
    for (const std::string &name : names) {
        std::ifstream in(std::string(folder) + "/" + name, std::ios::binary);
        if (!in)
            continue;
        Bytes data{std::istreambuf_iterator<char>(in), {}};
        found++;
        for (int level : {1, 4, DEFAULT_LEVEL, 7, MAX_LEVEL})
            expect_round_trip(data, level, name);
    }
    if (found == 0)
        GTEST_SKIP() << "no Windows executables under " << folder;
}

TEST(RoundTrip, HigherLevelsCompressBetterOnStructuredData) {
    Bytes data = text_like(200000);
    size_t fastest = encode_payload(data, MIN_LEVEL).size();
    size_t best = encode_payload(data, MAX_LEVEL).size();
    EXPECT_LT(best, fastest);
    EXPECT_LT(encode_payload(Bytes(100000, 0), MAX_LEVEL).size(), 200u);
}

TEST(RoundTrip, CountHeaderIsTheInputSize) {
    Bytes payload = encode_payload(Bytes(1000, 'x'));
    ASSERT_GE(payload.size(), 4u);
    EXPECT_EQ(payload[0] | payload[1] << 8 | payload[2] << 16 | payload[3] << 24, 1000);
    EXPECT_EQ(encode_payload({}), (Bytes{0, 0, 0, 0}));
}

} // namespace
