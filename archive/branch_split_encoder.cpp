#include "archive/branch_split_encoder.h"

#include <algorithm>
#include <utility>

#include "include/sfx_package.h"

BranchSplitter::BranchSplitter(Sink rest, bool x64) : rest_(std::move(rest)), x64_(x64) {
    split_model_init(&model_);
    split_writer_start(&writer_, [](void *flags, uint8_t byte) { static_cast<std::vector<uint8_t> *>(flags)->push_back(byte); },
                       &flags);
}

void BranchSplitter::feed(const uint8_t *bytes, size_t size, bool last) {
    if (!x64_)
        return split(bytes, size, last);
    do { // in small pieces, copied twice more on their way: the memory stays small
        size_t piece = std::min<size_t>(size, 64 << 10);
        relative_held_.insert(relative_held_.end(), bytes, bytes + piece);
        bytes += piece;
        size -= piece;
        bool end = last && size == 0;
        size_t done = relative_convert(&relative_, relative_held_.data(), (uint32_t)relative_held_.size(), 1);
        if (end)
            done = relative_held_.size(); // the last few stay as they are
        split(relative_held_.data(), done, end);
        relative_held_.erase(relative_held_.begin(), relative_held_.begin() + (ptrdiff_t)done);
    } while (size > 0);
}

void BranchSplitter::split(const uint8_t *bytes, size_t size, bool last) {
    held_.insert(held_.end(), bytes, bytes + size);
    size_t at = 0, end = held_.size();
    out_.clear();
    while (at < end) {
        uint8_t byte = held_[at];
        if ((byte == 0xE8 || byte == 0xE9) && end - at - 1 < 4 && !last)
            break; // its flag waits for its operand, or the stream's end
        out_.push_back(byte);
        at++;
        position_++;
        if (split_is_branch(byte, end - at)) {
            // Near targets are nearly always real calls and jumps. Within
            // 4 MiB: 1 MiB would leave distinct libraries' code 2 % larger
            // (and like libraries 0.2 % smaller), 16 MiB like ones 0.2 %
            // larger.
            int32_t operand = (int32_t)sfx_get32(&held_[at]);
            bool take = operand > -NEAR && operand < NEAR && targets.size() + 4 <= SPLIT_TARGETS_MAX;
            split_writer_bit(&writer_, &model_.probability[split_context(byte, previous_)], take);
            if (take) {
                uint32_t target = split_absolute((uint32_t)operand, position_ + 4);
                for (int shift = 24; shift >= 0; shift -= 8)
                    targets.push_back((uint8_t)(target >> shift));
                at += 4;
                position_ += 4;
                byte = held_[at - 1];
            }
        }
        previous_ = byte;
    }
    held_.erase(held_.begin(), held_.begin() + (ptrdiff_t)at);
    rest_size += out_.size();
    if (!out_.empty())
        rest_(out_.data(), out_.size());
    if (last)
        split_writer_finish(&writer_);
}
