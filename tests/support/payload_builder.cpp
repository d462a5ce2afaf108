#include "payload_builder.h"

#include <stdexcept>

#include "decoder/payload_format.h"

void PayloadBuilder::literal(uint8_t byte) {
    steps_.literal(byte);
    produced_++;
}

void PayloadBuilder::match(uint32_t length, uint32_t distance) {
    int symbol = length_symbol(length, distance);
    if (symbol < FIRST_LENGTH_SYMBOL || symbol > LAST_LENGTH_SYMBOL || distance == 0)
        throw std::invalid_argument("match not codable");
    steps_.match(length, distance);
    produced_ += length;
}

void PayloadBuilder::symbol(bool distance_tree, int s) { coder(distance_tree).encode(s, steps_.bits()); }

void PayloadBuilder::raw_escape(bool distance_tree, int s) {
    const AdaptiveTree &tree = coder(distance_tree).tree();
    write_tree_path(tree, tree.leaf_index[tree.escape_symbol], steps_.bits());
    steps_.bits().put((uint32_t)s, tree.escape_bits);
}

std::vector<uint8_t> PayloadBuilder::finish(int32_t count) {
    steps_.finish();
    std::vector<uint8_t> out;
    out.reserve(PAYLOAD_HEADER_SIZE + bits_.size());
    for (int i = 0; i < PAYLOAD_HEADER_SIZE; i++)
        out.push_back((uint8_t)((uint32_t)count >> (8 * i)));
    for (uint8_t byte : bits_)
        out.push_back(byte);
    return out;
}

std::vector<uint8_t> expand_steps(const std::vector<Step> &steps) {
    std::vector<uint8_t> out(WINDOW_SIZE, 0); // the decoder's zeroed window
    for (const Step &step : steps) {
        if (!step.is_match) {
            out.push_back(step.byte);
            continue;
        }
        for (uint32_t i = 0; i < step.length; i++)
            out.push_back(out[out.size() - 1 - ((step.distance - 1) & WINDOW_MASK)]);
    }
    return {out.begin() + WINDOW_SIZE, out.end()};
}

std::vector<uint8_t> build_payload(const std::vector<Step> &steps) {
    PayloadBuilder builder;
    for (const Step &step : steps) {
        if (step.is_match)
            builder.match(step.length, step.distance);
        else
            builder.literal(step.byte);
    }
    return builder.finish();
}
