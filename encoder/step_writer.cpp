#include "step_writer.h"

#include <bit>

int distance_class(uint32_t distance) { return distance == 1 ? 0 : std::bit_width(distance - 1); }

void StepWriter::match(uint32_t length, uint32_t distance) {
    int k = distance_class(distance);
    literals_.encode(length_symbol(length, distance), bits_);
    distances_.encode(k, bits_);
    if (k >= 2)
        bits_.put(distance - (1u << (k - 1)) - 1, distance_extra_bits(k));
}
