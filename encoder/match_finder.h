#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "decoder/payload_format.h"

struct Match {
    uint32_t length;
    uint32_t distance;
};

// The longest a match may be at a distance, and the shortest worth coding.
inline uint32_t max_match_length(uint32_t distance) { return MAX_BASE_LENGTH + length_bonus(distance); }
inline uint32_t min_match_length(uint32_t distance) { return MIN_BASE_LENGTH + length_bonus(distance); }

// Candidates over the window, from hash chains or from binary trees: every
// position is visited once, in order, by find() or skip().
class MatchFinder {
  public:
    // With tree_depth 0, searches hash chains of at most max_chain
    // candidates and stops at a match of nice_length. Otherwise keeps the
    // window's positions in binary search trees of their suffixes, one per
    // hash, and follows at most tree_depth nodes down: short of that depth
    // it finds the nearest match of every length in the window.
    MatchFinder(std::span<const uint8_t> data, int max_chain, uint32_t nice_length, int tree_depth = 0);

    // Matches at pos with strictly growing lengths, nearest first, each at
    // least as long as its distance requires; then pos joins the window.
    void find(uint32_t pos, std::vector<Match> &matches);
    // The longest match at pos (length 0 if none); then pos joins the window.
    Match longest(uint32_t pos);
    void skip(uint32_t pos);
    // skip() of 'count' positions from pos on.
    void skip(uint32_t pos, uint32_t count);

  private:
    uint32_t hash3(uint32_t pos) const;
    uint32_t match_length_at(uint32_t pos, uint32_t candidate, uint32_t limit) const;
    void insert(uint32_t pos);
    // Puts pos at the root of its tree; with 'matches', records the longer
    // matches than 'best' met on the way.
    void tree_insert(uint32_t pos, std::vector<Match> *matches, uint32_t best);

    std::span<const uint8_t> data_;
    int max_chain_;
    uint32_t nice_length_;
    std::vector<int32_t> head3_;
    std::vector<int32_t> prev3_;
    std::vector<int32_t> head2_; // last position of each byte pair
    int tree_depth_;
    std::vector<int32_t> below_; // each position's smaller and larger subtree, by position modulo twice the window
    std::vector<Match> scratch_;
};
