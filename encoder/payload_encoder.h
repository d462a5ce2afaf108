#pragma once
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

constexpr int MIN_LEVEL = 1;
constexpr int DEFAULT_LEVEL = 6;
constexpr int MAX_LEVEL = 9;

// Called now and then with the number of input bytes coded so far.
using EncodeProgress = std::function<void(size_t done)>;

// The whole payload: count header and bit string. Every payload it returns
// decodes back to 'input'. Throws std::length_error above 2^31 - 1 bytes.
std::vector<uint8_t> encode_payload(std::span<const uint8_t> input, int level = DEFAULT_LEVEL,
                                    const EncodeProgress &progress = {});
