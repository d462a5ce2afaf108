// Payloads made to hurt: cut short, lying about their size, bit-flipped.
// Each must end in a refusal (or a bounded success), never worse.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "decoder/payload_format.h"
#include "encoder/payload_encoder.h"
#include "support/decode_memory.h"
#include "support/test_memory.h"

namespace {

using Bytes = std::vector<uint8_t>;

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

void set_count(Bytes &payload, uint32_t count) {
    for (int i = 0; i < 4; i++)
        payload[i] = (uint8_t)(count >> (8 * i));
}

bool starts_with(const Bytes &whole, const Bytes &part) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

TEST(HostilePayload, EveryCutIsTruncatedAndYieldsOnlyAPrefix) {
    Bytes data = sample_data();
    Bytes payload = encode_payload(data, 9);
    for (size_t cut = 0; cut < payload.size(); cut++) {
        Bytes shorter(payload.begin(), payload.begin() + (long)cut);
        DecodeOutcome outcome = decode_memory(shorter);
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
        set_count(lying, count);
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

TEST(HostilePayload, FlippedBitsEndInARefusalOrABoundedResult) {
    Bytes data = sample_data();
    data.resize(600);
    Bytes payload = encode_payload(data);
    int refused = 0;
    for (size_t bit = 0; bit < payload.size() * 8; bit++) {
        Bytes flipped = payload;
        flipped[bit / 8] ^= (uint8_t)(0x80 >> bit % 8);
        DecodeOutcome outcome = decode_memory(flipped, 1 << 20);
        int32_t count = (int32_t)(flipped[0] | flipped[1] << 8 | flipped[2] << 16 | (uint32_t)flipped[3] << 24);
        if (outcome.result == DECODE_OK) {
            size_t least = count > 0 ? (size_t)count : 0;
            ASSERT_GE(outcome.output.size(), least) << "bit " << bit;
            ASSERT_LT(outcome.output.size(), least + MAX_BASE_LENGTH + length_bonus(UINT32_MAX)) << "bit " << bit;
        } else {
            ASSERT_TRUE(outcome.result == DECODE_TRUNCATED || outcome.result == DECODE_MALFORMED ||
                        outcome.result == DECODE_WRITE_FAILED)
                << "bit " << bit;
            refused++;
        }
        ASSERT_LE((size_t)outcome.bytes_consumed, flipped.size());
    }
    // Much of the damage must be noticed, or the test is not looking at anything.
    EXPECT_GT(refused, (int)payload.size() * 2);
}

} // namespace
