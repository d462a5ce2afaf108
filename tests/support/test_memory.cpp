#include "test_memory.h"

#include <cstdlib>
#include <cstring>

#include "decoder/decoder_io.h"

namespace {
int allowed = -1;
int live = 0;
uint32_t largest = 0;
} // namespace

void test_memory::fail_after(int successes) { allowed = successes; }
int test_memory::live_blocks() { return live; }
unsigned test_memory::largest_request() {
    uint32_t result = largest;
    largest = 0;
    return result;
}

void *mem_alloc(uint32_t size) {
    if (size > largest)
        largest = size;
    if (allowed == 0)
        return nullptr;
    if (allowed > 0)
        allowed--;
    live++;
    return std::malloc(size);
}

void mem_free(void *pointer) {
    live--;
    std::free(pointer);
}

void *mem_move(void *dst, const void *src, uint32_t size) { return std::memmove(dst, src, size); }
