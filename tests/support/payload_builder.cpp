#include "payload_builder.h"

#include <algorithm>
#include <bit>
#include <stdexcept>

#include "decoder/payload_format.h"

PayloadBuilder::PayloadBuilder() {
    if (!tree_create(&literals_, LITERAL_ALPHABET, LITERAL_MAX_WEIGHT, LITERAL_ESCAPE_BITS) ||
        !tree_create(&distances_, DISTANCE_ALPHABET, DISTANCE_MAX_WEIGHT, DISTANCE_ESCAPE_BITS))
        throw std::bad_alloc();
}

PayloadBuilder::~PayloadBuilder() {
    tree_destroy(&literals_);
    tree_destroy(&distances_);
}

void PayloadBuilder::put_bits(uint32_t value, int n) {
    for (int i = n - 1; i >= 0; i--)
        bits_.push_back((value >> i) & 1);
}

void PayloadBuilder::put_path(const AdaptiveTree &tree, int node) {
    std::vector<bool> path;
    for (; node != 0; node = tree.nodes[node].parent)
        path.push_back(node != tree.nodes[tree.nodes[node].parent].child);
    bits_.insert(bits_.end(), path.rbegin(), path.rend());
}

void PayloadBuilder::put_symbol(AdaptiveTree &tree, int s) {
    if (tree.leaf_index[s] == -1) {
        put_path(tree, tree.leaf_index[tree.escape_symbol]);
        put_bits((uint32_t)s, tree.escape_bits);
        tree_add_symbol(&tree, s);
    } else {
        put_path(tree, tree.leaf_index[s]);
    }
    tree_update(&tree, s);
}

void PayloadBuilder::literal(uint8_t byte) {
    put_symbol(literals_, byte);
    produced_++;
}

void PayloadBuilder::match(uint32_t length, uint32_t distance) {
    int symbol = (int)(length - length_bonus(distance)) + 254;
    if (symbol < FIRST_LENGTH_SYMBOL || symbol > LAST_LENGTH_SYMBOL || distance == 0)
        throw std::invalid_argument("match not codable");
    int k = distance == 1 ? 0 : std::bit_width(distance - 1);
    put_symbol(literals_, symbol);
    put_symbol(distances_, k);
    put_bits(k == 0 ? 0 : distance - (1u << (k - 1)) - 1, distance_extra_bits(k));
    produced_ += length;
}

void PayloadBuilder::raw_escape(bool distance_tree, int s) {
    AdaptiveTree &tree = distance_tree ? distances_ : literals_;
    put_path(tree, tree.leaf_index[tree.escape_symbol]);
    put_bits((uint32_t)s, tree.escape_bits);
}

std::vector<uint8_t> PayloadBuilder::finish(int32_t count) const {
    std::vector<uint8_t> out(PAYLOAD_HEADER_SIZE + (bits_.size() + 7) / 8, 0);
    for (int i = 0; i < 4; i++)
        out[i] = (uint8_t)((uint32_t)count >> (8 * i));
    for (size_t i = 0; i < bits_.size(); i++)
        if (bits_[i])
            out[PAYLOAD_HEADER_SIZE + i / 8] |= (uint8_t)(0x80 >> (i % 8));
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
