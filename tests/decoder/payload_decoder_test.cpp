#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "decoder/payload_format.h"
#include "encoder/payload_encoder.h"
#include "support/decode_memory.h"
#include "support/payload_builder.h"
#include "support/test_memory.h"

namespace {

using Bytes = std::vector<uint8_t>;

Step lit(uint8_t byte) { return {false, byte, 0, 0}; }
Step copy(uint32_t length, uint32_t distance) { return {true, 0, length, distance}; }

TEST(PayloadDecoder, FixedPayloads) {
    struct Case {
        Bytes payload;
        DecodeResult result;
        std::string decoded;
        int32_t consumed;
    } cases[] = {
        {{0x03, 0, 0, 0, 0x98, 0x43, 0x10, 0x63}, DECODE_OK, "abc", 8},
        {{0x08, 0, 0, 0, 0x98, 0x48, 0x2C, 0x00}, DECODE_OK, "aaaaaaaa", 8},
        // Never reads past the last coded byte.
        {{0x09, 0, 0, 0, 0x98, 0x43, 0x10, 0x63, 0xE0, 0x92, 0x00, 0xAA, 0xBB}, DECODE_OK, "abcabcabc", 11},
        // A count of zero or less decodes nothing and reads only the header.
        {{0, 0, 0, 0, 0x98}, DECODE_OK, "", 4},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x98}, DECODE_OK, "", 4},
        {{0, 0, 0, 0x80, 0x98}, DECODE_OK, "", 4},
        {{}, DECODE_TRUNCATED, "", 0},
        {{0x01, 0x01, 0x01}, DECODE_TRUNCATED, "", 3},
        {{0x03, 0, 0, 0, 0x98, 0x43, 0x10}, DECODE_TRUNCATED, "", 7},
        // 'a', then the escape code naming 'a' again.
        {{0x02, 0, 0, 0, 0x98, 0x43, 0x08}, DECODE_MALFORMED, "", 7},
    };
    for (const Case &c : cases) {
        DecodeOutcome outcome = decode_memory(c.payload);
        EXPECT_EQ(outcome.result, c.result) << c.decoded;
        EXPECT_EQ(std::string(outcome.output.begin(), outcome.output.end()), c.decoded);
        EXPECT_EQ(outcome.bytes_consumed, c.consumed) << c.decoded;
    }
}

// Random steps, after matches at the distances where the format changes:
// before the start of the data, the length bonus, beyond the window.
TEST(PayloadDecoder, StepSequencesDecodeToTheirExpansion) {
    std::mt19937 random(12345);
    for (int round = 0; round < 20; round++) {
        std::vector<Step> steps{lit('q'), copy(4, 4000), lit('x'), copy(258, 1)};
        for (int i = 0; i < WINDOW_SIZE + 900; i++)
            steps.push_back(lit((uint8_t)(i * 7 + i / 251)));
        for (uint32_t distance : {256u, 257u, 8191u, 8192u, 8192u + 100, 32768u})
            steps.push_back(copy(4 + length_bonus(distance), distance));
        int alphabet = 1 + (int)(random() % 256);
        for (uint32_t produced = 0; produced < 40000;) {
            if (random() % 3 == 0) {
                steps.push_back(lit((uint8_t)(random() % alphabet)));
                produced++;
                continue;
            }
            uint32_t distance = 1 + random() % (random() % 2 ? 16 : 8192);
            uint32_t length = 2 + length_bonus(distance) + random() % (random() % 4 ? 8 : 257);
            steps.push_back(copy(length, distance));
            produced += length;
        }
        DecodeOutcome outcome = decode_memory(build_payload(steps));
        ASSERT_EQ(outcome.result, DECODE_OK);
        ASSERT_TRUE(outcome.output == expand_steps(steps)) << "round " << round;
    }
    EXPECT_EQ(match_length(256, 256), 2u);
    EXPECT_EQ(match_length(512, 8192), 260u);
}

TEST(PayloadDecoder, FinalMatchOvershootingTheCountIsWrittenWhole) {
    PayloadBuilder builder;
    builder.literal('z');
    builder.match(10, 1);
    DecodeOutcome outcome = decode_memory(builder.finish(3));
    EXPECT_EQ(outcome.result, DECODE_OK);
    EXPECT_EQ(outcome.output, Bytes(11, 'z'));
}

TEST(PayloadDecoder, SymbolEscapedTwiceIsMalformed) {
    PayloadBuilder length_twice;
    length_twice.literal('a');
    length_twice.match(2, 1); // length symbol 256 and class 0 enter their trees
    length_twice.raw_escape(false, 256);
    EXPECT_EQ(decode_memory(length_twice.finish(10)).result, DECODE_MALFORMED);

    PayloadBuilder class_twice;
    class_twice.literal('a');
    class_twice.match(2, 1);
    class_twice.symbol(false, 256);
    class_twice.raw_escape(true, 0);
    EXPECT_EQ(decode_memory(class_twice.finish(10)).result, DECODE_MALFORMED);
}

TEST(PayloadDecoder, FailedOrShortWritesAreReported) {
    std::vector<Step> steps{lit('a')};
    for (int i = 0; i < 32; i++)
        steps.push_back(copy(256, 1));
    steps.push_back(copy(7, 1)); // 8200 bytes: one whole window and 8 more
    Bytes payload = build_payload(steps);
    for (size_t limit : {(size_t)0, (size_t)WINDOW_SIZE - 1, (size_t)WINDOW_SIZE + 7})
        EXPECT_EQ(decode_memory(payload, limit).result, DECODE_WRITE_FAILED) << limit;
    DecodeOutcome exact = decode_memory(payload, WINDOW_SIZE + 8);
    EXPECT_EQ(exact.result, DECODE_OK);
    EXPECT_EQ(exact.output.size(), WINDOW_SIZE + 8u);
}

TEST(PayloadDecoder, CreateFailsCleanlyWhenMemoryRunsOut) {
    for (int successes = 0; successes < 4; successes++) {
        test_memory::fail_after(successes);
        int created = decoder_create();
        test_memory::fail_after(-1);
        EXPECT_EQ(created, 0);
        // Only a failure of the second tree leaves the first one allocated.
        EXPECT_EQ(test_memory::live_blocks(), successes >= 2 ? 2 : 0);
        decoder_destroy();
        EXPECT_EQ(test_memory::live_blocks(), 0);
    }
}

// --- payloads made to hurt: each ends in a refusal or a bounded success ---

// A little of everything: literals, near and far matches, a window's worth.
Bytes sample_data() {
    Bytes data;
    const std::string words = "the loader decodes its payload into a temporary program; ";
    for (int i = 0; data.size() < 9000; i++) {
        data.insert(data.end(), words.begin() + i % 7, words.end());
        data.push_back((uint8_t)(i * 37));
    }
    return data;
}

bool starts_with(const Bytes &whole, const Bytes &part) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

TEST(HostilePayload, EveryCutIsTruncatedAndYieldsOnlyAPrefix) {
    Bytes data = sample_data();
    Bytes payload = encode_payload(data, 9);
    for (size_t cut = 0; cut < payload.size(); cut++) {
        DecodeOutcome outcome = decode_memory(Bytes(payload.begin(), payload.begin() + (long)cut));
        ASSERT_EQ(outcome.result, DECODE_TRUNCATED) << "cut at " << cut;
        ASSERT_TRUE(starts_with(data, outcome.output)) << "cut at " << cut;
        ASSERT_LE((size_t)outcome.bytes_consumed, cut);
    }
}

TEST(HostilePayload, CountsFarBeyondTheDataCostNoMoreMemory) {
    Bytes data = sample_data();
    Bytes payload = encode_payload(data);
    test_memory::largest_request();
    ASSERT_EQ(decode_memory(payload).result, DECODE_OK);
    unsigned honest_peak = test_memory::largest_request();

    for (uint32_t count : {(uint32_t)data.size() * 1000, 0x7FFFFFFFu}) {
        Bytes lying = payload;
        for (int i = 0; i < 4; i++)
            lying[i] = (uint8_t)(count >> (8 * i));
        DecodeOutcome outcome = decode_memory(lying);
        EXPECT_EQ(outcome.result, DECODE_TRUNCATED) << count;
        // Whole windows are written as they fill: all of the real data's,
        // then whatever the padding bits decode to before the input ends.
        EXPECT_GE(outcome.output.size(), (size_t)WINDOW_SIZE) << count;
        size_t common = std::min(outcome.output.size(), data.size());
        EXPECT_TRUE(std::equal(data.begin(), data.begin() + (long)common, outcome.output.begin())) << count;
        EXPECT_EQ(test_memory::largest_request(), honest_peak) << count;
        EXPECT_EQ(test_memory::live_blocks(), 0);
    }
}

} // namespace
