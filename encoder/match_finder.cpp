#include "match_finder.h"

#include <algorithm>

namespace {
constexpr int HASH_BITS = 15;
constexpr uint32_t MAX_DISTANCE = WINDOW_SIZE; // farther aliases a nearer distance
constexpr uint32_t NEAR_DISTANCE = 256;        // where two-byte matches can pay
constexpr uint32_t LONGEST = MAX_BASE_LENGTH + 2; // at the farthest distance
// Tree nodes live until their position is out of reach; a ring of twice the
// window keeps the farthest reachable one from sharing a slot with pos.
constexpr uint32_t TREE_MASK = 2 * WINDOW_SIZE - 1;
} // namespace

MatchFinder::MatchFinder(std::span<const uint8_t> data, int max_chain, uint32_t nice_length, int tree_depth)
    : data_(data), max_chain_(max_chain), nice_length_(nice_length), head3_(1u << HASH_BITS, -1),
      prev3_(tree_depth ? 0 : WINDOW_SIZE, -1), head2_(1u << 16, -1), tree_depth_(tree_depth),
      below_(tree_depth ? 2 * (TREE_MASK + 1) : 0, -1) {}

uint32_t MatchFinder::hash3(uint32_t pos) const {
    uint32_t v = (uint32_t)data_[pos] << 16 | (uint32_t)data_[pos + 1] << 8 | data_[pos + 2];
    return (v * 2654435761u) >> (32 - HASH_BITS);
}

uint32_t MatchFinder::match_length_at(uint32_t pos, uint32_t candidate, uint32_t limit) const {
    uint32_t length = 0;
    while (length < limit && data_[candidate + length] == data_[pos + length])
        length++;
    return length;
}

void MatchFinder::insert(uint32_t pos) {
    if (pos + 1 < data_.size())
        head2_[(uint32_t)data_[pos] << 8 | data_[pos + 1]] = (int32_t)pos;
    if (tree_depth_) {
        tree_insert(pos, nullptr, 0);
        return;
    }
    if (pos + 2 < data_.size()) {
        uint32_t h = hash3(pos);
        prev3_[pos & WINDOW_MASK] = head3_[h];
        head3_[h] = (int32_t)pos;
    }
}

void MatchFinder::skip(uint32_t pos) { insert(pos); }

void MatchFinder::skip(uint32_t pos, uint32_t count) {
    for (uint32_t end = pos + count; pos < end; pos++)
        insert(pos);
}

void MatchFinder::find(uint32_t pos, std::vector<Match> &matches) {
    matches.clear();
    uint32_t remaining = (uint32_t)data_.size() - pos;
    uint32_t best = 1;
    if (remaining >= 2) {
        int32_t pair = head2_[(uint32_t)data_[pos] << 8 | data_[pos + 1]];
        if (pair >= 0 && pos - (uint32_t)pair <= NEAR_DISTANCE) {
            uint32_t distance = pos - (uint32_t)pair;
            uint32_t length = match_length_at(pos, (uint32_t)pair, std::min(remaining, max_match_length(distance)));
            matches.push_back({length, distance});
            best = length;
        }
    }
    if (tree_depth_) {
        if (pos + 1 < data_.size())
            head2_[(uint32_t)data_[pos] << 8 | data_[pos + 1]] = (int32_t)pos;
        tree_insert(pos, &matches, best);
        return;
    }
    if (remaining >= 3 && best < nice_length_) {
        int32_t candidate = head3_[hash3(pos)];
        for (int chain = 0; candidate >= 0 && chain < max_chain_; chain++) {
            uint32_t distance = pos - (uint32_t)candidate;
            if (distance > MAX_DISTANCE)
                break;
            uint32_t limit = std::min(remaining, max_match_length(distance));
            // Only a longer match is worth a look; check its last byte first.
            if (limit > best && data_[candidate + best] == data_[pos + best]) {
                uint32_t length = match_length_at(pos, (uint32_t)candidate, limit);
                if (length > best && length >= min_match_length(distance)) {
                    matches.push_back({length, distance});
                    best = length;
                    if (length >= nice_length_ || (length == limit && limit >= MAX_BASE_LENGTH))
                        break;
                }
            }
            int32_t next = prev3_[(uint32_t)candidate & WINDOW_MASK];
            if (next >= candidate)
                break; // the slot was reused by a newer position
            candidate = next;
        }
    }
    insert(pos);
}

// The tree of a hash holds its positions as a binary search tree of their
// suffixes (up to LONGEST bytes), newer positions above older ones. Going
// down from the newest, pos's suffix is compared with each node's; the nodes
// smaller than it hang, in order, into pos's smaller subtree, the others into
// its larger one, and the search goes on into the side that may hold closer
// suffixes. A node not visited is older than, and matches no longer than,
// the visited node where the search turned away from it.
void MatchFinder::tree_insert(uint32_t pos, std::vector<Match> *matches, uint32_t best) {
    uint32_t remaining = (uint32_t)data_.size() - pos;
    if (remaining < 3)
        return;
    uint32_t limit = std::min(remaining, LONGEST);
    const uint8_t *here = data_.data() + pos;
    uint32_t h = hash3(pos);
    int32_t candidate = head3_[h];
    head3_[h] = (int32_t)pos;
    int32_t *smaller = &below_[2 * (pos & TREE_MASK)]; // where the next smaller node hangs
    int32_t *larger = smaller + 1;
    uint32_t smaller_length = 0, larger_length = 0; // what all further nodes share with pos
    for (int depth = tree_depth_;; depth--) {
        uint32_t distance = pos - (uint32_t)candidate;
        if (candidate < 0 || distance > MAX_DISTANCE || depth == 0) {
            *smaller = *larger = -1;
            return;
        }
        int32_t *pair = &below_[2 * ((uint32_t)candidate & TREE_MASK)];
        const uint8_t *there = data_.data() + candidate;
        uint32_t length = std::min(smaller_length, larger_length);
        if (there[length] == here[length]) {
            while (++length < limit && there[length] == here[length]) {
            }
            if (matches) {
                uint32_t usable = std::min(length, max_match_length(distance));
                if (usable > best && usable >= min_match_length(distance)) {
                    matches->push_back({usable, distance});
                    best = usable;
                }
            }
            if (length == limit) { // pos replaces the node, which it cannot order
                *smaller = pair[0];
                *larger = pair[1];
                return;
            }
        }
        if (there[length] < here[length]) {
            *smaller = candidate;
            smaller = &pair[1];
            candidate = *smaller;
            smaller_length = length;
        } else {
            *larger = candidate;
            larger = &pair[0];
            candidate = *larger;
            larger_length = length;
        }
    }
}

Match MatchFinder::longest(uint32_t pos) {
    find(pos, scratch_);
    return scratch_.empty() ? Match{0, 0} : scratch_.back();
}
