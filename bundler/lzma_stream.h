#pragma once
// One raw LZMA stream with its end mark, coded by the LZMA SDK's encoder,
// whose binary-tree match finder runs on threads of its own (one hashes,
// one searches the trees) while the calling thread chooses and codes the
// matches. The bytes do not depend on how those threads are scheduled.

#include <lzma.h>

#include <cstddef>
#include <cstdint>
#include <functional>

// Fills up to 'size' bytes and says how many; 0 at the end. May be called
// on one of the match finder's threads, and may throw: the coding stops and
// code_lzma_stream throws the same.
using LzmaInput = std::function<size_t(uint8_t *bytes, size_t size)>;

// Codes all of 'read' with liblzma's option record (dictionary, lc, lp, pb,
// mode, nice length, match finder and depth; depth 0 as liblzma takes it)
// into 'fd'; returns the bytes written.
uint64_t code_lzma_stream(const lzma_options_lzma &options, const LzmaInput &read, int fd);

// liblzma's coders take their tables through this, as code_lzma_stream's
// does: large blocks aligned and marked for the kernel's huge pages.
extern const lzma_allocator lzma_tables_allocator;

// Writes all of 'bytes' to 'fd' (a coded stream's file or the output), or
// throws what stopped it.
void write_coded(int fd, const uint8_t *bytes, size_t size);
