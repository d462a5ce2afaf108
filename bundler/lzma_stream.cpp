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
// Public in LzmaEnc.c, for the coding of chunks, though its header leaves
// them out.
SRes LzmaEnc_PrepareForLzma2(CLzmaEncHandle p, ISeqInStreamPtr inStream, UInt32 keepWindowSize, ISzAllocPtr alloc,
                             ISzAllocPtr allocBig);
SRes LzmaEnc_CodeOneMemBlock(CLzmaEncHandle p, BoolInt reInit, Byte *dest, size_t *destLen, UInt32 desiredPackSize,
                             UInt32 *unpackSize);
const Byte *LzmaEnc_GetCurBuf(CLzmaEncHandle p);
void LzmaEnc_Finish(CLzmaEncHandle p);
void LzmaEnc_SaveState(CLzmaEncHandle p);
void LzmaEnc_RestoreState(CLzmaEncHandle p);
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

// Codes the input in chunks (bundle_format.h): each as much as codes into
// CHUNK_CODED_MAX bytes, at most CHUNK_DATA_MAX of input; a chunk that does
// not come out smaller is stored instead, and the coder's state (its
// probabilities, last distances and state machine) goes back to what it was
// before it, as the reader's never left it. The dictionary keeps the stored
// bytes, so later chunks copy from them as from any.
SRes code_chunks(CLzmaEncHandle encoder, const CLzmaEncProps &props, Streams &streams, const ISzAlloc *alloc) {
    // The coder keeps a chunk's input behind it, to store it: no more than
    // the dictionary holds (the archive's size, when it is smaller).
    UInt32 data_max = std::min<UInt32>(CHUNK_DATA_MAX, props.dictSize);
    SRes result = LzmaEnc_PrepareForLzma2(encoder, &streams.in, data_max, alloc, alloc);
    std::vector<uint8_t> chunk(CHUNK_HEADER_MAX + CHUNK_CODED_MAX + 64);
    uint8_t properties = (uint8_t)(props.lc + 9 * (props.lp + 5 * props.pb));
    bool first = true, fresh = true; // the dictionary's first chunk; LZMA's state as it starts
    auto put = [&](const void *bytes, size_t size) {
        if (result == SZ_OK && write_output(&streams.out, bytes, size) != size)
            result = SZ_ERROR_WRITE; // the coding stops: the failure is in streams
    };
    while (result == SZ_OK) {
        LzmaEnc_SaveState(encoder);
        size_t coded = chunk.size() - CHUNK_HEADER_MAX;
        UInt32 size = data_max;
        result = LzmaEnc_CodeOneMemBlock(encoder, first, chunk.data() + CHUNK_HEADER_MAX, &coded, CHUNK_CODED_MAX, &size);
        if (size == 0)
            break; // the input's end, or a failure
        if (result == SZ_ERROR_OUTPUT_EOF) // more than the buffer: stored
            result = SZ_OK, coded = SIZE_MAX;
        if (result != SZ_OK)
            break;
        if (coded > CHUNK_CODED_MAX || coded + CHUNK_HEADER_MAX >= size + CHUNK_STORED_HEADER) {
            LzmaEnc_RestoreState(encoder);
            const uint8_t *bytes = LzmaEnc_GetCurBuf(encoder) - size;
            for (UInt32 piece; size > 0 && result == SZ_OK; bytes += piece, size -= piece, first = false) {
                piece = std::min<UInt32>(size, CHUNK_STORED_MAX);
                uint8_t head[CHUNK_STORED_HEADER] = {(uint8_t)(first ? CHUNK_STORED_RESET : CHUNK_STORED),
                                                     (uint8_t)((piece - 1) >> 8), (uint8_t)(piece - 1)};
                put(head, sizeof head);
                put(bytes, piece);
            }
            continue;
        }
        // The first coded chunk names the properties and starts the state
        // (and, first of all, the dictionary); the others go on from the last.
        unsigned mode = first ? CHUNK_RESET_ALL : fresh ? CHUNK_RESET_STATE_PROPERTIES : CHUNK_RESET_NONE;
        uint8_t control = (uint8_t)(CHUNK_CODED | mode << 5 | (size - 1) >> 16);
        size_t head_size = chunk_header_size(control);
        uint8_t *head = chunk.data() + CHUNK_HEADER_MAX - head_size;
        head[0] = control;
        head[1] = (uint8_t)((size - 1) >> 8);
        head[2] = (uint8_t)(size - 1);
        head[3] = (uint8_t)((coded - 1) >> 8);
        head[4] = (uint8_t)(coded - 1);
        if (head_size == CHUNK_HEADER_MAX)
            head[5] = properties;
        put(head, head_size + coded);
        first = fresh = false;
    }
    LzmaEnc_Finish(encoder);
    uint8_t end = CHUNK_END;
    if (result == SZ_OK)
        put(&end, 1);
    return result;
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

uint64_t code_lzma_stream(const lzma_options_lzma &options, const LzmaInput &read, int fd, bool chunks) {
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
        result = chunks ? code_chunks(encoder, props, streams, &heap.alloc)
                        : LzmaEnc_Encode(encoder, &streams.out, &streams.in, nullptr, &heap.alloc, &heap.alloc);
    LzmaEnc_Destroy(encoder, &heap.alloc, &heap.alloc);
    if (streams.failure)
        std::rethrow_exception(streams.failure);
    if (result == SZ_ERROR_MEM)
        throw std::bad_alloc();
    if (result != SZ_OK)
        throw BundleError("the folder's archive: the encoder failed (" + std::to_string(result) + ")");
    return streams.written;
}
