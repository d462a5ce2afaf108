// The split branch conversion's encoder, beside its model and decoder
// (branch_split.h): takes the tar stream in pieces, hands what is left of it
// on, and keeps the targets and the flags for the bundle's split header.
// With 'x64', the x86-64 relative addresses are made absolute first.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "archive/branch_split.h"

class BranchSplitter {
public:
    using Sink = std::function<void(const uint8_t *bytes, size_t size)>;
    explicit BranchSplitter(Sink rest, bool x64 = false);
    // 'last': the stream ends with this piece.
    void feed(const uint8_t *bytes, size_t size, bool last);

    std::vector<uint8_t> targets, flags;
    uint64_t rest_size = 0;

private:
    void split(const uint8_t *bytes, size_t size, bool last);

    static constexpr int32_t NEAR = 1 << 22;
    Sink rest_;
    bool x64_;
    RelativeState relative_{};
    std::vector<uint8_t> relative_held_; // given, not yet final after the x86-64 conversion
    SplitModel model_;
    SplitFlagWriter writer_;
    std::vector<uint8_t> held_, out_;
    uint64_t position_ = 0;
    uint8_t previous_ = 0;
};
