#include "payload_encoder.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "match_finder.h"
#include "step_writer.h"

namespace {

enum class Parse { greedy, lazy, optimal };

struct LevelSettings {
    int max_chain;
    Parse parse;
    uint32_t nice_length; // a match this long is taken without looking further
    int tree_depth;       // 0: hash chains; else binary trees searched this deep
};

// Level 9's trees find what a chain of 1024 found, and a little more, in
// less than half the time.
constexpr LevelSettings LEVELS[MAX_LEVEL + 1] = {
    {},
    {4, Parse::greedy, 32, 0},     {8, Parse::greedy, 64, 0},     {16, Parse::greedy, 128, 0},
    {16, Parse::lazy, 128, 0},     {32, Parse::lazy, 258, 0},     {64, Parse::lazy, 258, 0},
    {32, Parse::optimal, 128, 0},  {128, Parse::optimal, 258, 0}, {0, Parse::optimal, 258, 32},
};

constexpr size_t PROGRESS_STEP = 1 << 20;

struct Context {
    std::span<const uint8_t> data;
    MatchFinder &finder;
    StepWriter &writer;
    const LevelSettings &settings;
    const EncodeProgress &progress;
    size_t next_report = PROGRESS_STEP;

    void report(size_t done) {
        if (progress && done >= next_report) {
            progress(done);
            next_report = done + PROGRESS_STEP;
        }
    }
};

// A minimum-length match far back costs more than its literals would.
bool worth_coding(Match m) {
    return m.length >= min_match_length(m.distance) &&
           !(m.length == min_match_length(m.distance) && m.distance > 1024);
}

// Codes the match at pos and lets the finder see the positions it covers.
uint32_t take_match(Context &c, uint32_t pos, Match m, uint32_t already_seen) {
    c.writer.match(m.length, m.distance);
    if (already_seen < m.length)
        c.finder.skip(pos + already_seen, m.length - already_seen);
    return pos + m.length;
}

void parse_greedy(Context &c) {
    uint32_t size = (uint32_t)c.data.size();
    for (uint32_t pos = 0; pos < size; c.report(pos)) {
        Match m = c.finder.longest(pos);
        if (worth_coding(m)) {
            pos = take_match(c, pos, m, 1);
        } else {
            c.writer.literal(c.data[pos]);
            pos++;
        }
    }
}

// Defers a match by one byte when the next position starts a longer one.
void parse_lazy(Context &c) {
    uint32_t size = (uint32_t)c.data.size();
    uint32_t pos = 0;
    Match current = size > 0 ? c.finder.longest(0) : Match{};
    while (pos < size) {
        c.report(pos);
        if (!worth_coding(current)) {
            c.writer.literal(c.data[pos++]);
            if (pos < size)
                current = c.finder.longest(pos);
            continue;
        }
        if (current.length < c.settings.nice_length && pos + 1 < size) {
            Match next = c.finder.longest(pos + 1);
            if (worth_coding(next) && next.length > current.length) {
                c.writer.literal(c.data[pos++]);
                current = next;
                continue;
            }
            pos = take_match(c, pos, current, 2);
        } else {
            pos = take_match(c, pos, current, 1);
        }
        if (pos < size)
            current = c.finder.longest(pos);
    }
}

// Cheapest path through each block, priced by the trees as they stand at
// the block's start. Only the steps that start well before the block's end
// are coded; the rest is parsed again, with fresh prices, as the start of the
// next block, so no match is cut short at a block boundary.
class OptimalParser {
  public:
    explicit OptimalParser(Context &c) : c_(c), trial_(trial_bits_), found_(RING) {}

    void run() {
        uint32_t size = (uint32_t)c_.data.size();
        for (uint32_t start = 0; start < size; c_.report(start))
            start = parse_block(start, std::min(size, start + BLOCK));
    }

  private:
    static constexpr uint32_t BLOCK = 1536;
    static constexpr uint32_t TAIL = 768; // parsed again by the next block
    static constexpr uint32_t RING = 2 * (BLOCK + MAX_BASE_LENGTH + 3);
    static constexpr uint32_t UNREACHED = std::numeric_limits<uint32_t>::max();

    // The matches at pos, searching each position once, in order.
    const std::vector<Match> &matches_at(uint32_t pos) {
        std::vector<Match> &matches = found_[pos % RING];
        if (pos < searched_until_)
            return matches;
        searched_until_ = pos + 1;
        if (pos < covered_until_) {
            matches.clear();
            c_.finder.skip(pos);
            return matches;
        }
        c_.finder.find(pos, matches);
        // The nearest long match is taken whole, so its inside is not searched.
        for (Match m : matches)
            if (m.length >= c_.settings.nice_length) {
                covered_until_ = pos + m.length;
                break;
            }
        return matches;
    }

    void relax(uint32_t to, uint32_t price, Match step) {
        if (price < cost_[to]) {
            cost_[to] = price;
            arrival_[to] = step;
        }
    }

    void relax_matches(uint32_t pos, uint32_t here, uint32_t end) {
        uint32_t shorter = 1;
        for (Match m : matches_at(pos)) {
            uint32_t limit = std::min(m.length, end - pos);
            int k = distance_class(m.distance);
            uint32_t base = cost_[here] + distance_costs_[k] + (uint32_t)distance_extra_bits(k);
            for (uint32_t length = std::max(shorter + 1, min_match_length(m.distance)); length <= limit; length++)
                relax(here + length, base + literal_costs_[length_symbol(length, m.distance)], {length, m.distance});
            shorter = std::max(shorter, limit);
        }
    }

    // Returns where the next block starts.
    uint32_t parse_block(uint32_t start, uint32_t end) {
        c_.writer.current_costs(literal_costs_, distance_costs_);
        end = find_path(start, end);
        // Price again by the trees as that path would leave them.
        trial_bits_.clear();
        trial_.copy_model(c_.writer);
        code_path(trial_, start, end);
        trial_.current_costs(literal_costs_, distance_costs_);
        end = find_path(start, end);
        return code_path(c_.writer, start, end);
    }

    // Codes the steps of path_ that start before the commit point; returns where they end.
    uint32_t code_path(StepWriter &writer, uint32_t start, uint32_t end) {
        bool last_block = end == c_.data.size();
        uint32_t commit_before = last_block ? end : end - TAIL;
        uint32_t pos = start;
        for (auto step = path_.rbegin(); step != path_.rend() && pos < commit_before; ++step) {
            if (step->length == 1)
                writer.literal(c_.data[pos]);
            else
                writer.match(step->length, step->distance);
            pos += step->length;
        }
        return pos;
    }

    // The cheapest path from start to end into path_ (last step first); returns
    // the end, stretched to hold a long match whole.
    uint32_t find_path(uint32_t start, uint32_t end) {
        cost_.assign(BLOCK + MAX_BASE_LENGTH + 3, UNREACHED);
        arrival_.resize(cost_.size());
        cost_[0] = 0;
        uint32_t block_end = end;
        for (uint32_t pos = start; pos < end; pos++) {
            uint32_t here = pos - start;
            relax(here + 1, cost_[here] + literal_costs_[c_.data[pos]], {1, 0});
            relax_matches(pos, here, end);
            if (pos < block_end && covered_until_ > end)
                end = covered_until_; // stretch to hold a long match whole
        }

        path_.clear();
        for (uint32_t at = end - start; at > 0; at -= arrival_[at].length)
            path_.push_back(arrival_[at]);
        return end;
    }

    Context &c_;
    std::vector<uint8_t> trial_bits_;
    StepWriter trial_; // tries a path out on a copy of the model
    std::vector<std::vector<Match>> found_; // match lists by position, modulo RING
    uint32_t searched_until_ = 0;
    uint32_t covered_until_ = 0;
    std::vector<uint32_t> literal_costs_, distance_costs_, cost_;
    std::vector<Match> arrival_, path_; // arrival: the step reaching each offset; length 1 is a literal
};

void parse_optimal(Context &c) { OptimalParser(c).run(); }

} // namespace

std::vector<uint8_t> encode_payload(std::span<const uint8_t> input, int level,
                                    const EncodeProgress &progress) {
    if (input.size() > (size_t)std::numeric_limits<int32_t>::max())
        throw std::length_error("input larger than a payload can describe (2 GiB - 1)");
    const LevelSettings &settings = LEVELS[std::clamp(level, MIN_LEVEL, MAX_LEVEL)];

    std::vector<uint8_t> out;
    out.reserve(input.size() / 2 + 64);
    uint32_t count = (uint32_t)input.size();
    for (int i = 0; i < PAYLOAD_HEADER_SIZE; i++)
        out.push_back((uint8_t)(count >> (8 * i)));

    StepWriter writer(out);
    MatchFinder finder(input, settings.max_chain, settings.nice_length, settings.tree_depth);
    Context context{input, finder, writer, settings, progress};
    switch (settings.parse) {
    case Parse::greedy:
        parse_greedy(context);
        break;
    case Parse::lazy:
        parse_lazy(context);
        break;
    case Parse::optimal:
        parse_optimal(context);
        break;
    }
    writer.finish();
    if (progress)
        progress(input.size());
    return out;
}
