#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "decoder/payload_format.h"
#include "support/decode_memory.h"
#include "support/payload_builder.h"
#include "support/test_memory.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes text(const std::string &s) { return Bytes(s.begin(), s.end()); }
Step lit(uint8_t byte) { return {false, byte, 0, 0}; }
Step copy(uint32_t length, uint32_t distance) { return {true, 0, length, distance}; }

// Decodes the payload built from 'steps' and compares with plain expansion.
void expect_round_trip(const std::vector<Step> &steps) {
    DecodeOutcome outcome = decode_memory(build_payload(steps));
    ASSERT_EQ(outcome.result, DECODE_OK);
    Bytes expected = expand_steps(steps);
    ASSERT_EQ(outcome.output.size(), expected.size());
    EXPECT_TRUE(outcome.output == expected);
}

TEST(PayloadDecoder, WorkedExamplesDecodeExactly) {
    struct Example {
        Bytes payload;
        std::string decoded;
    } examples[] = {
        {{0x03, 0, 0, 0, 0x98, 0x43, 0x10, 0x63}, "abc"},
        {{0x08, 0, 0, 0, 0x98, 0x48, 0x2C, 0x00}, "aaaaaaaa"},
        {{0x09, 0, 0, 0, 0x98, 0x43, 0x10, 0x63, 0xE0, 0x92, 0x00}, "abcabcabc"},
    };
    for (const Example &example : examples) {
        DecodeOutcome outcome = decode_memory(example.payload);
        EXPECT_EQ(outcome.result, DECODE_OK);
        EXPECT_EQ(outcome.output, text(example.decoded));
        EXPECT_EQ(outcome.bytes_consumed, (int32_t)example.payload.size());
    }
}

TEST(PayloadDecoder, BuilderReproducesTheWorkedExamples) {
    PayloadBuilder builder;
    builder.literal('a');
    builder.match(7, 1);
    EXPECT_EQ(builder.finish(), (Bytes{0x08, 0, 0, 0, 0x98, 0x48, 0x2C, 0x00}));
}

TEST(PayloadDecoder, NeverReadsPastTheLastCodedByte) {
    Bytes payload{0x09, 0, 0, 0, 0x98, 0x43, 0x10, 0x63, 0xE0, 0x92, 0x00, 0xAA, 0xBB};
    DecodeOutcome outcome = decode_memory(payload);
    EXPECT_EQ(outcome.result, DECODE_OK);
    EXPECT_EQ(outcome.bytes_consumed, 11);
}

TEST(PayloadDecoder, CountOfZeroOrLessDecodesNothingAndReadsOnlyTheHeader) {
    for (Bytes header : {Bytes{0, 0, 0, 0}, Bytes{0xFF, 0xFF, 0xFF, 0xFF}, Bytes{0, 0, 0, 0x80}}) {
        header.push_back(0x98);
        DecodeOutcome outcome = decode_memory(header);
        EXPECT_EQ(outcome.result, DECODE_OK);
        EXPECT_TRUE(outcome.output.empty());
        EXPECT_EQ(outcome.bytes_consumed, 4);
    }
}

TEST(PayloadDecoder, MatchesRepeatAndReachBeforeTheStartAsZeros) {
    expect_round_trip({lit('x'), copy(258, 1), copy(40, 1)});
    expect_round_trip({lit('a'), lit('b'), copy(2, 5), copy(9, 2)});
    DecodeOutcome outcome = decode_memory(build_payload({lit('q'), copy(4, 4000)}));
    EXPECT_EQ(outcome.output, (Bytes{'q', 0, 0, 0, 0}));
}

TEST(PayloadDecoder, DistanceChangesTheLengthAtTwoHundredFiftySixAndEightKilobytes) {
    std::vector<Step> steps;
    for (int i = 0; i < WINDOW_SIZE + 10; i++)
        steps.push_back(lit((uint8_t)(i * 7 + i / 251)));
    for (uint32_t distance : {256u, 257u, 8191u, 8192u})
        for (uint32_t length : {4u, 258u})
            steps.push_back(copy(length + length_bonus(distance), distance));
    expect_round_trip(steps);

    // Exactly 8192 back is the byte at the current window position.
    DecodeOutcome outcome = decode_memory(build_payload({lit(1), copy(4, 8192)}));
    EXPECT_EQ(outcome.output, (Bytes{1, 0, 0, 0, 0}));
    EXPECT_EQ(match_length(256, 256), 2u);
    EXPECT_EQ(match_length(256, 257), 3u);
    EXPECT_EQ(match_length(256, 8192), 4u);
    EXPECT_EQ(match_length(512, 8192), 260u);
}

TEST(PayloadDecoder, CopiesAcrossTheWindowBoundary) {
    std::vector<Step> steps;
    for (int i = 0; i < WINDOW_SIZE - 3; i++)
        steps.push_back(lit((uint8_t)(i % 253)));
    steps.push_back(copy(20, 7));     // crosses the first full-window write
    steps.push_back(copy(258, 8000)); // source also wraps
    for (int i = 0; i < 3 * 32; i++) // three more whole windows
        steps.push_back(copy(256, 4));
    expect_round_trip(steps);
}

TEST(PayloadDecoder, DistancesBeyondTheWindowWrapAround) {
    std::vector<Step> steps;
    for (int i = 0; i < 9000; i++)
        steps.push_back(lit((uint8_t)(i % 241)));
    steps.push_back(copy(40, 8192 + 100)); // class 14 aliases distance 100
    steps.push_back(copy(40, 32768));      // class 15 aliases distance 8192
    expect_round_trip(steps);
}

TEST(PayloadDecoder, FinalMatchOvershootingTheCountIsWrittenWhole) {
    PayloadBuilder builder;
    builder.literal('z');
    builder.match(10, 1);
    DecodeOutcome outcome = decode_memory(builder.finish(3));
    EXPECT_EQ(outcome.result, DECODE_OK);
    EXPECT_EQ(outcome.output, Bytes(11, 'z'));
}

TEST(PayloadDecoder, RandomStepSequencesDecodeToTheirExpansion) {
    std::mt19937 random(12345);
    for (int round = 0; round < 20; round++) {
        std::vector<Step> steps;
        int alphabet = 1 + (int)(random() % 256);
        uint32_t produced = 0;
        while (produced < 40000) {
            if (produced == 0 || random() % 3 == 0) {
                steps.push_back(lit((uint8_t)(random() % alphabet)));
                produced++;
                continue;
            }
            uint32_t distance = 1 + random() % (random() % 2 ? 16 : 8192);
            uint32_t length = 2 + length_bonus(distance) + random() % (random() % 4 ? 8 : 257);
            steps.push_back(copy(length, distance));
            produced += length;
        }
        expect_round_trip(steps);
    }
}

TEST(PayloadDecoder, RepeatedRunsInOneProcessAreIdentical) {
    Bytes payload = build_payload({lit(5), copy(3, 6000), lit(6)});
    DecodeOutcome first = decode_memory(payload);
    DecodeOutcome second = decode_memory(payload);
    EXPECT_EQ(first.output, second.output);
    EXPECT_EQ(first.output, (Bytes{5, 0, 0, 0, 6}));
}

// --- refusals ---

TEST(PayloadDecoder, ShortCountHeaderIsTruncatedAndWritesNothing) {
    for (size_t size = 0; size < 4; size++) {
        DecodeOutcome outcome = decode_memory(Bytes(size, 0x01));
        EXPECT_EQ(outcome.result, DECODE_TRUNCATED) << size << " header bytes";
        EXPECT_TRUE(outcome.output.empty());
    }
}

TEST(PayloadDecoder, SymbolEscapedTwiceIsMalformed) {
    PayloadBuilder literal_twice;
    literal_twice.literal('a');
    literal_twice.raw_escape(false, 'a');
    EXPECT_EQ(decode_memory(literal_twice.finish(2)).result, DECODE_MALFORMED);

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
    EXPECT_EQ(decode_memory(payload, 0).result, DECODE_WRITE_FAILED);
    EXPECT_EQ(decode_memory(payload, WINDOW_SIZE - 1).result, DECODE_WRITE_FAILED);
    EXPECT_EQ(decode_memory(payload, WINDOW_SIZE + 7).result, DECODE_WRITE_FAILED);
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

} // namespace
