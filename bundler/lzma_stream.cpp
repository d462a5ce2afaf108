#include "bundler/lzma_stream.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "bundler/bundler.h"

extern "C" {
#include "LzmaEnc.h"
}

namespace {

constexpr size_t HUGE_PAGE = 2 << 20;

// The SDK's allocator, over one coder's memory.
struct SdkMemory {
    ISzAlloc alloc;
    TablesMemory *memory;
};
void *sdk_alloc(ISzAllocPtr p, size_t size) { return ((const SdkMemory *)p)->memory->allocate(size); }
void sdk_free(ISzAllocPtr p, void *address) { ((const SdkMemory *)p)->memory->release(address); }
void *liblzma_alloc(void *memory, size_t count, size_t size) {
    return count > SIZE_MAX / size ? nullptr : ((TablesMemory *)memory)->allocate(count * size);
}
void liblzma_free(void *memory, void *address) { ((TablesMemory *)memory)->release(address); }

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

// A thread faulting one block in, from its start.
struct TablesMemory::Ahead {
    explicit Ahead(void *block) : address(block) {}
    void *address;
    std::atomic<bool> stopping{false};
    std::thread thread;
};

TablesMemory::TablesMemory(uint32_t dictionary)
    : liblzma_{liblzma_alloc, liblzma_free, this}, ahead_from_((size_t)dictionary * 4) {}

TablesMemory::~TablesMemory() {
    for (auto &ahead : ahead_)
        stop(*ahead);
}

void *TablesMemory::allocate(size_t size) {
    // The match finder's trees and hash take hundreds of megabytes and are
    // read all over: in 4 KiB pages most look-ups miss the TLB and every
    // page costs a fault. Large blocks are asked for in huge pages.
    if (size < HUGE_PAGE)
        return std::malloc(size);
    void *address = nullptr;
    if (posix_memalign(&address, HUGE_PAGE, size) != 0)
        return nullptr;
    madvise(address, size, MADV_HUGEPAGE); // a hint: without it, small pages
    if (size < ahead_from_)
        return address;
    // Called from C code, so nothing may be thrown: without the thread, the
    // pages fault as the coding comes to them.
    try {
        Ahead *ahead;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ahead = ahead_.emplace_back(std::make_unique<Ahead>(address)).get();
        }
        ahead->thread = std::thread([ahead, size] {
            auto *bytes = (uint8_t *)ahead->address;
            for (size_t at = 0; at < size && !ahead->stopping; at += HUGE_PAGE)
                if (madvise(bytes + at, std::min(HUGE_PAGE, size - at), MADV_POPULATE_WRITE) != 0)
                    return; // a kernel without it, or no memory left: faults as before
        });
    } catch (...) {
    }
    return address;
}

void TablesMemory::release(void *address) {
    std::unique_ptr<Ahead> ahead;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = std::find_if(ahead_.begin(), ahead_.end(), [&](const auto &one) { return one->address == address; });
        if (found != ahead_.end()) {
            ahead = std::move(*found);
            ahead_.erase(found);
        }
    }
    if (ahead)
        stop(*ahead);
    std::free(address);
}

void TablesMemory::stop(Ahead &ahead) {
    ahead.stopping = true;
    if (ahead.thread.joinable())
        ahead.thread.join();
}

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
    // The match finder's own threads pay from about 64 KiB on; below, their
    // buffers (5 MiB) would be most of the memory. The matches, and so the
    // bytes, are the same either way.
    props.numThreads = tree && options.dict_size > (64u << 10) ? 2 : 1;
    // Over 16 MiB of dictionary the SDK's hash table doubles to 16 Mi heads
    // (64 MiB): for a 24 MiB folder, two heads for three positions and a
    // fifth of the memory. Below 32 MiB, at most one head for two positions
    // (8 Mi, 32 MiB) codes such a folder in about the same time and size.
    if (tree && props.numHashBytes == 4 && options.dict_size > (16u << 20) && options.dict_size < (32u << 20))
        props.numHashOutBits = 23;

    Streams streams;
    streams.in.Read = read_input;
    streams.out.Write = write_output;
    streams.read = &read;
    streams.fd = fd;
    TablesMemory memory(options.dict_size);
    SdkMemory heap{{sdk_alloc, sdk_free}, &memory};
    CLzmaEncHandle encoder = LzmaEnc_Create(&heap.alloc);
    if (!encoder)
        throw std::bad_alloc();
    SRes result = LzmaEnc_SetProps(encoder, &props);
    if (result == SZ_OK)
        result = LzmaEnc_Encode(encoder, &streams.out, &streams.in, nullptr, &heap.alloc, &heap.alloc);
    LzmaEnc_Destroy(encoder, &heap.alloc, &heap.alloc);
    if (streams.failure)
        std::rethrow_exception(streams.failure);
    if (result == SZ_ERROR_MEM)
        throw std::bad_alloc();
    if (result != SZ_OK)
        throw BundleError("the folder's archive: the encoder failed (" + std::to_string(result) + ")");
    return streams.written;
}
