#include "bundler/lzma_stream.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>

#include "bundler/bundler.h"

extern "C" {
#include "LzmaEnc.h"
}

namespace {

void *tables_alloc(size_t size) {
    // The match finder's trees and hash take hundreds of megabytes and are
    // read all over: in 4 KiB pages most look-ups miss the TLB and every
    // page costs a fault. Large blocks are asked for in huge pages.
    constexpr size_t HUGE_PAGE = 2 << 20;
    if (size < HUGE_PAGE)
        return std::malloc(size);
    void *address = nullptr;
    if (posix_memalign(&address, HUGE_PAGE, size) != 0)
        return nullptr;
    madvise(address, size, MADV_HUGEPAGE); // a hint: without it, small pages
    return address;
}

// The same memory for the SDK's coder and for liblzma's.
void *big_alloc(ISzAllocPtr, size_t size) { return tables_alloc(size); }
void big_free(ISzAllocPtr, void *address) { std::free(address); }
const ISzAlloc heap = {big_alloc, big_free};
void *liblzma_alloc(void *, size_t count, size_t size) {
    return count > SIZE_MAX / size ? nullptr : tables_alloc(count * size);
}
void liblzma_free(void *, void *address) { std::free(address); }

// The callbacks the encoder calls, and what went wrong in them: C code lies
// between them and the caller, so nothing may be thrown through it.
struct Streams {
    ISeqInStream in;
    ISeqOutStream out;
    const LzmaInput *read;
    int fd;
    uint64_t written = 0;
    std::mutex mutex;
    std::exception_ptr failure;

    void fail() {
        std::lock_guard<std::mutex> lock(mutex);
        if (!failure)
            failure = std::current_exception();
    }
};

Streams *streams_of_in(ISeqInStreamPtr in) { return (Streams *)((char *)in - offsetof(Streams, in)); }
Streams *streams_of_out(ISeqOutStreamPtr out) { return (Streams *)((char *)out - offsetof(Streams, out)); }

SRes read_input(ISeqInStreamPtr in, void *bytes, size_t *size) {
    Streams *streams = streams_of_in(in);
    try {
        *size = (*streams->read)((uint8_t *)bytes, *size);
        return SZ_OK;
    } catch (...) {
        streams->fail();
        *size = 0;
        return SZ_ERROR_READ;
    }
}

size_t write_output(ISeqOutStreamPtr out, const void *bytes, size_t size) {
    Streams *streams = streams_of_out(out);
    try {
        write_coded(streams->fd, (const uint8_t *)bytes, size);
    } catch (...) {
        streams->fail();
        return 0;
    }
    streams->written += size;
    return size;
}

} // namespace

const lzma_allocator lzma_tables_allocator = {liblzma_alloc, liblzma_free, nullptr};

void write_coded(int fd, const uint8_t *bytes, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw BundleError(std::string("cannot write the coded archive: ") + std::strerror(n < 0 ? errno : ENOSPC));
        bytes += n;
        size -= (size_t)n;
    }
}

uint64_t code_lzma_stream(const lzma_options_lzma &options, const LzmaInput &read, int fd) {
    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    bool tree = options.mf == LZMA_MF_BT2 || options.mf == LZMA_MF_BT3 || options.mf == LZMA_MF_BT4;
    props.dictSize = options.dict_size;
    props.lc = (int)options.lc;
    props.lp = (int)options.lp;
    props.pb = (int)options.pb;
    props.algo = options.mode == LZMA_MODE_NORMAL;
    props.fb = (int)options.nice_len;
    props.btMode = tree;
    props.numHashBytes = options.mf == LZMA_MF_HC3 || options.mf == LZMA_MF_BT3 ? 3 : options.mf == LZMA_MF_BT2 ? 2 : 4;
    props.mc = options.depth ? options.depth : tree ? 16 + options.nice_len / 2 : 4 + options.nice_len / 4;
    props.writeEndMark = 1;
    props.numThreads = tree ? 2 : 1;

    Streams streams;
    streams.in.Read = read_input;
    streams.out.Write = write_output;
    streams.read = &read;
    streams.fd = fd;
    CLzmaEncHandle encoder = LzmaEnc_Create(&heap);
    if (!encoder)
        throw std::bad_alloc();
    SRes result = LzmaEnc_SetProps(encoder, &props);
    if (result == SZ_OK)
        result = LzmaEnc_Encode(encoder, &streams.out, &streams.in, nullptr, &heap, &heap);
    LzmaEnc_Destroy(encoder, &heap, &heap);
    if (streams.failure)
        std::rethrow_exception(streams.failure);
    if (result == SZ_ERROR_MEM)
        throw std::bad_alloc();
    if (result != SZ_OK)
        throw BundleError("the folder's archive: the encoder failed (" + std::to_string(result) + ")");
    return streams.written;
}
