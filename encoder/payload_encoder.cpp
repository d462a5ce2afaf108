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
};

constexpr LevelSettings LEVELS[MAX_LEVEL + 1] = {
    {},
    {4, Parse::greedy, 32},     {8, Parse::greedy, 64},    {16, Parse::greedy, 128},
    {16, Parse::lazy, 128},     {32, Parse::lazy, 258},    {64, Parse::lazy, 258},
    {32, Parse::optimal, 128},  {128, Parse::optimal, 258}, {512, Parse::optimal, 258},
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
    for (uint32_t i = already_seen; i < m.length; i++)
        c.finder.skip(pos + i);
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
// the block's start; the trees then learn from the chosen steps.
void parse_optimal(Context &c) {
    constexpr uint32_t BLOCK = 4096;
    constexpr uint32_t UNREACHED = std::numeric_limits<uint32_t>::max();
    uint32_t size = (uint32_t)c.data.size();
    std::vector<uint32_t> literal_costs, distance_costs;
    std::vector<Match> matches, path;
    std::vector<uint32_t> cost(BLOCK + MAX_BASE_LENGTH + 3);
    std::vector<Match> arrival(cost.size()); // the step that reaches each offset; length 1 is a literal

    for (uint32_t start = 0; start < size; c.report(start)) {
        uint32_t end = std::min(size, start + BLOCK);
        c.writer.current_costs(literal_costs, distance_costs);
        std::fill(cost.begin(), cost.end(), UNREACHED);
        cost[0] = 0;
        auto relax = [&](uint32_t to, uint32_t price, Match step) {
            if (price < cost[to]) {
                cost[to] = price;
                arrival[to] = step;
            }
        };

        uint32_t covered_until = start;
        for (uint32_t pos = start; pos < end; pos++) {
            uint32_t here = pos - start;
            relax(here + 1, cost[here] + literal_costs[c.data[pos]], {1, 0});
            if (pos < covered_until) {
                c.finder.skip(pos);
                continue;
            }
            c.finder.find(pos, matches);
            // The nearest long match is taken whole without searching the
            // positions it covers, and the block stretches to hold it.
            auto long_match = std::find_if(matches.begin(), matches.end(), [&](Match m) {
                return m.length >= c.settings.nice_length;
            });
            if (long_match != matches.end()) {
                covered_until = pos + long_match->length;
                end = std::max(end, covered_until);
            }
            uint32_t shorter = 1;
            for (Match m : matches) {
                uint32_t limit = std::min(m.length, end - pos);
                int k = distance_class(m.distance);
                uint32_t base = cost[here] + distance_costs[k] + (uint32_t)distance_extra_bits(k);
                for (uint32_t length = std::max(shorter + 1, min_match_length(m.distance)); length <= limit; length++)
                    relax(here + length, base + literal_costs[length_symbol(length, m.distance)],
                          {length, m.distance});
                shorter = std::max(shorter, limit);
            }
        }

        path.clear();
        for (uint32_t at = end - start; at > 0; at -= arrival[at].length)
            path.push_back(arrival[at]);
        uint32_t pos = start;
        for (auto step = path.rbegin(); step != path.rend(); ++step) {
            if (step->length == 1)
                c.writer.literal(c.data[pos]);
            else
                c.writer.match(step->length, step->distance);
            pos += step->length;
        }
        start = end;
    }
}

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
    MatchFinder finder(input, settings.max_chain, settings.nice_length);
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
