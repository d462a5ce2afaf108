#include <stdlib.h>
#include <string.h>

#include "decoder/decoder_io.h"

void *mem_alloc(uint32_t size) { return malloc(size); }
void mem_free(void *pointer) { free(pointer); }
void *mem_move(void *dst, const void *src, uint32_t size) { return memmove(dst, src, size); }
