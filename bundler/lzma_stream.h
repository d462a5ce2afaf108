#pragma once
// One raw LZMA stream with its end mark, whole or in chunks, coded by the LZMA SDK's encoder,
// whose binary-tree match finder runs on threads of its own (one hashes,
// one searches the trees) while the calling thread chooses and codes the
// matches. The bytes do not depend on how those threads are scheduled.

#include <lzma.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// Fills up to 'size' bytes and says how many; 0 at the end. May be called
// on one of the match finder's threads, and may throw: the coding stops and
// code_lzma_stream throws the same.
using LzmaInput = std::function<size_t(uint8_t *bytes, size_t size)>;

// Codes all of 'read' with liblzma's option record (dictionary, lc, lp, pb,
// mode, nice length, match finder and depth; depth 0 as liblzma takes it)
// into 'fd', in chunks (bundle_format.h) or as one stream; returns the bytes
// written.
uint64_t code_lzma_stream(const lzma_options_lzma &options, const LzmaInput &read, int fd, bool chunks);

// The memory one coder takes its tables from (code_lzma_stream's, and
// liblzma's through liblzma()). Large blocks are aligned and marked for the
// kernel's huge pages. Those of four dictionaries or more, the match
// finder's trees, which the coding fills from one end to the other, are
// faulted in ahead of it by a thread of their own, so that the search does
// not stop for the kernel at each new page; the input window, touched only
// as far as the input reaches, is left to fault as it comes.
class TablesMemory {
  public:
    explicit TablesMemory(uint32_t dictionary);
    ~TablesMemory();
    TablesMemory(const TablesMemory &) = delete;
    TablesMemory &operator=(const TablesMemory &) = delete;

    void *allocate(size_t size);
    void release(void *address);
    const lzma_allocator *liblzma() const { return &liblzma_; }

  private:
    struct Ahead;
    void stop(Ahead &ahead);
    lzma_allocator liblzma_;
    size_t ahead_from_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Ahead>> ahead_;
};

// Writes all of 'bytes' to 'fd' (a coded stream's file or the output), or
// throws what stopped it.
void write_coded(int fd, const uint8_t *bytes, size_t size);
