#include <fcntl.h>
#include <lzma.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "archive/archive_text.h"
#include "archive/branch_split_encoder.h"
#include "archive/coded_reader.h"
#include "archive/tar_reader.h"
#include "bundler/bundler.h"
#include "encoder/payload_encoder.h"
#include "include/sfx_package.h"

namespace {

// liblzma's options for a level: its presets, with the extreme flag when
// asked. Level 9 searches less deep than its extreme preset (binary trees,
// nice length 128 rather than 273, depth 80 rather than 512): on Windows
// libraries that is smaller in four fifths of the work, on text about as
// small (README, "Level 9 and -e").
lzma_options_lzma level_options(int level, bool extreme) {
    lzma_options_lzma options;
    lzma_lzma_preset(&options, (uint32_t)level | (extreme ? LZMA_PRESET_EXTREME : 0));
    if (level == MAX_LEVEL && !extreme)
        options.nice_len = 128;
    return options;
}

} // namespace

CodingSettings coding_settings(int level, bool extreme, uint32_t filter, uint64_t archive_size) {
    lzma_options_lzma options = level_options(level, extreme);
    uint64_t dictionary = std::clamp<uint64_t>(archive_size, BUNDLE_DICTIONARY_MIN, options.dict_size);
    return {level, extreme, filter, (uint32_t)dictionary};
}

uint32_t choose_filter(const std::vector<FolderEntry> &entries) {
    // Splitting the branch targets out gains on x86 and x86-64 code alike,
    // on like libraries most; on other data it costs a few bytes of flags.
    uint64_t code = 0, all = 0;
    for (const FolderEntry &entry : entries) {
        if (entry.stored)
            continue;
        all += entry.size;
        if (entry.folder || entry.size < 512)
            continue;
        int fd = open(entry.source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        uint8_t head[1024];
        ssize_t n = pread(fd, head, sizeof head, 0);
        close(fd);
        if (n < 64 || head[0] != 'M' || head[1] != 'Z')
            continue;
        uint32_t pe = sfx_get32(head + 0x3C);
        if (pe > (uint32_t)n - 6 || std::memcmp(head + pe, "PE\0\0", 4) != 0)
            continue;
        uint32_t machine = head[pe + 4] | (uint32_t)head[pe + 5] << 8;
        if (machine == 0x14C || machine == 0x8664)
            code += entry.size;
    }
    return code > all / 2 ? BUNDLE_FILTER_SPLIT : BUNDLE_FILTER_NONE;
}

namespace {

const char *lzma_text(lzma_ret result) {
    return result == LZMA_MEM_ERROR ? "out of memory" : result == LZMA_OPTIONS_ERROR ? "unsupported options"
                                                                                    : "the encoder failed";
}

void write_all(int fd, const uint8_t *bytes, size_t size) {
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

// The bytes to code, handed from the thread that reads, writes and converts
// the tar stream to the one that codes it, through a few blocks of fixed
// size: memory stays flat however far the reading runs ahead.
class BlockQueue {
  public:
    struct Block {
        std::vector<uint8_t> bytes;
        uint64_t done = 0; // the tar stream's bytes made when it was handed on
        bool stored = false; // bytes to store, not to code
    };
    static constexpr size_t BLOCKS = 4, BLOCK_SIZE = 1 << 20;

    BlockQueue() {
        for (Block &block : blocks_)
            block.bytes.reserve(BLOCK_SIZE);
    }

    // The reading side: appends 'size' bytes, handing each full block on;
    // bytes to store never share a block with bytes to code. Throws
    // Abandoned once the coding side has stopped.
    void put(const uint8_t *bytes, size_t size, uint64_t done, bool stored) {
        if (!blocks_[filling_].bytes.empty() && blocks_[filling_].stored != stored)
            hand_on(false, nullptr);
        while (size > 0) {
            Block &block = blocks_[filling_];
            block.stored = stored;
            size_t piece = std::min(size, BLOCK_SIZE - block.bytes.size());
            block.bytes.insert(block.bytes.end(), bytes, bytes + piece);
            block.done = done;
            bytes += piece;
            size -= piece;
            if (block.bytes.size() == BLOCK_SIZE)
                hand_on(false, nullptr);
        }
    }
    // The reading side has ended, with 'failure' when it failed.
    void close(std::exception_ptr failure) { hand_on(true, std::move(failure)); }
    struct Abandoned {};

    // The coding side: the next block, nullptr after the last or once the
    // reading side has failed; the block before it is given back.
    const Block *take() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (holding_) {
            blocks_[taken_].bytes.clear();
            taken_ = (taken_ + 1) % BLOCKS;
            ready_--;
            holding_ = false;
            changed_.notify_all();
        }
        changed_.wait(lock, [this] { return ready_ > 0 || closed_; });
        if (ready_ == 0 || failure_)
            return nullptr;
        holding_ = true;
        return &blocks_[taken_];
    }
    // The coding side stops: the reading side's next hand-on throws.
    void abandon() {
        std::lock_guard<std::mutex> lock(mutex_);
        abandoned_ = true;
        changed_.notify_all();
    }
    // After the last block: what the reading side failed with, if it did.
    void rethrow() const {
        if (failure_)
            std::rethrow_exception(failure_);
    }

  private:
    void hand_on(bool last, std::exception_ptr failure) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!blocks_[filling_].bytes.empty()) {
            ready_++;
            filling_ = (filling_ + 1) % BLOCKS;
        }
        if (last) {
            closed_ = true;
            failure_ = std::move(failure);
            changed_.notify_all();
            return;
        }
        changed_.notify_all();
        changed_.wait(lock, [this] { return ready_ < BLOCKS || abandoned_; });
        if (abandoned_)
            throw Abandoned();
    }

    Block blocks_[BLOCKS];
    size_t filling_ = 0;           // the reading side's own
    size_t taken_ = 0, ready_ = 0; // the first block handed on and not given back, and how many are
    bool holding_ = false, closed_ = false, abandoned_ = false;
    std::exception_ptr failure_;
    std::mutex mutex_;
    std::condition_variable changed_;
};

// The split conversion's header and its targets and flags, which come before
// the LZMA stream of the rest.
std::vector<uint8_t> split_streams(const BranchSplitter &splitter, const CodingSettings &settings) {
    std::vector<uint8_t> coded(SPLIT_HEADER_SIZE);
    if (!splitter.targets.empty()) {
        lzma_options_lzma options = level_options(settings.level, settings.extreme);
        options.dict_size = std::clamp<uint32_t>((uint32_t)splitter.targets.size(), BUNDLE_DICTIONARY_MIN, options.dict_size);
        options.lc = SPLIT_ADDRESS_PROPERTIES % 9;
        options.lp = SPLIT_ADDRESS_PROPERTIES / 9 % 5;
        options.pb = SPLIT_ADDRESS_PROPERTIES / 45;
        lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
        coded.resize(SPLIT_HEADER_SIZE + splitter.targets.size() + splitter.targets.size() / 8 + 4096);
        size_t size = SPLIT_HEADER_SIZE;
        if (lzma_ret result = lzma_raw_buffer_encode(filters, nullptr, splitter.targets.data(), splitter.targets.size(),
                                                     coded.data(), &size, coded.size());
            result != LZMA_OK)
            throw BundleError(std::string("the folder's archive: ") + lzma_text(result));
        coded.resize(size);
    }
    uint8_t *head = coded.data();
    sfx_put32(head, (uint32_t)splitter.rest_size);
    sfx_put32(head + 4, (uint32_t)(splitter.rest_size >> 32));
    sfx_put32(head + 8, (uint32_t)splitter.targets.size());
    sfx_put32(head + 12, (uint32_t)(coded.size() - SPLIT_HEADER_SIZE));
    sfx_put32(head + 16, (uint32_t)splitter.flags.size());
    coded.insert(coded.end(), splitter.flags.begin(), splitter.flags.end());
    return coded;
}

} // namespace

BundleHeader code_archive(const TarProducer &produce, const CodingSettings &settings, int fd,
                          const ProgressCall &progress, uint64_t *coded_size, bool verify) {
    lzma_options_lzma options = level_options(settings.level, settings.extreme);
    options.dict_size = settings.dictionary;
    lzma_filter filters[3], *next = filters;
    if (settings.filter == BUNDLE_FILTER_X86)
        *next++ = {LZMA_FILTER_X86, nullptr};
    *next++ = {LZMA_FILTER_LZMA1, &options};
    *next = {LZMA_VLI_UNKNOWN, nullptr};
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_ret result = lzma_raw_encoder(&stream, filters); result != LZMA_OK)
        throw BundleError(std::string("the folder's archive: ") + lzma_text(result));
    std::unique_ptr<lzma_stream, void (*)(lzma_stream *)> end(&stream, lzma_end);

    // The stream is read back as it is written, so that whatever the
    // extractor would refuse is refused here.
    auto reader = std::make_unique<TarReader>();
    ArchiveSink accept{nullptr, [](void *, const ArchiveEntry *) { return 1; },
                       [](void *, const uint8_t *, uint32_t) { return 1; }, [](void *, const ArchiveEntry *) { return 1; }};
    tar_reader_init(reader.get(), &accept);
    std::unique_ptr<TarReader, void (*)(TarReader *)> free_reader(reader.get(), tar_reader_free);

    // With the split conversion, the LZMA stream goes after the targets and
    // flags, which are known only at the end: it waits in a file of its own.
    bool split = settings.filter == BUNDLE_FILTER_SPLIT;
    int lzma_fd = split ? coded_archive_file() : fd;
    std::unique_ptr<int, void (*)(int *)> closer(split ? &lzma_fd : nullptr, [](int *f) { close(*f); });
    std::vector<uint8_t> out(1 << 20);
    uint64_t archive_size = 0, stored = 0, coded = 0;
    auto code = [&](const uint8_t *bytes, size_t size, lzma_action action) {
        stream.next_in = bytes;
        stream.avail_in = size;
        for (;;) {
            stream.next_out = out.data();
            stream.avail_out = out.size();
            lzma_ret result = lzma_code(&stream, action);
            if (result != LZMA_OK && result != LZMA_STREAM_END)
                throw BundleError(std::string("the folder's archive: ") + lzma_text(result));
            write_all(lzma_fd, out.data(), out.size() - stream.avail_out);
            coded += out.size() - stream.avail_out;
            if (action == LZMA_FINISH ? result == LZMA_STREAM_END : stream.avail_in == 0 && stream.avail_out > 0)
                break;
        }
    };
    // The bytes to store follow the LZMA stream, which ends before the first.
    bool coded_all = false;
    auto finish_coding = [&] {
        if (!coded_all)
            code(nullptr, 0, LZMA_FINISH);
        coded_all = true;
    };
    auto store = [&](const uint8_t *bytes, size_t size) {
        finish_coding();
        write_all(lzma_fd, bytes, size);
        coded += size;
    };
    // What LZMA takes: coded at once with one thread; with more, made on a
    // thread of its own and coded on this one, block by block, and there the
    // split conversion's part is coded as soon as the tar stream has ended,
    // while LZMA codes the last blocks.
    ByteSink to_code, to_store;
    BranchSplitter splitter([&](const uint8_t *bytes, size_t size) { to_code(bytes, size); });
    std::vector<uint8_t> split_part;
    bool storing = false;
    auto end_coded = [&] {
        if (split) {
            splitter.feed(nullptr, 0, true);
            split_part = split_streams(splitter, settings);
        }
    };
    auto make = [&] {
        auto store_rest = [&] {
            end_coded();
            storing = true;
        };
        produce([&](const uint8_t *bytes, size_t size) {
            for (size_t at = 0; at < size;) {
                uint32_t piece = (uint32_t)std::min<size_t>(size - at, 1 << 30);
                if (verify && tar_reader_feed(reader.get(), bytes + at, piece) != ARCHIVE_OK)
                    throw BundleError("the folder's archive: " + archive_error_text(*reader, reader->error));
                at += piece;
            }
            archive_size += size;
            if (storing) {
                stored += size;
                to_store(bytes, size);
            } else if (split)
                splitter.feed(bytes, size, false);
            else
                to_code(bytes, size);
            if (progress && settings.threads < 2)
                progress(archive_size);
        }, store_rest);
        if (ArchiveError error = verify ? tar_reader_finish(reader.get()) : ArchiveError(ARCHIVE_OK); error != ARCHIVE_OK)
            throw BundleError("the folder's archive: " + archive_error_text(*reader, error));
        if (!storing)
            end_coded();
    };
    if (settings.threads < 2) {
        to_code = [&](const uint8_t *bytes, size_t size) { code(bytes, size, LZMA_RUN); };
        to_store = store;
        make();
    } else {
        BlockQueue queue;
        to_code = [&](const uint8_t *bytes, size_t size) { queue.put(bytes, size, archive_size, false); };
        to_store = [&](const uint8_t *bytes, size_t size) { queue.put(bytes, size, archive_size, true); };
        std::thread maker([&] {
            try {
                make();
                queue.close(nullptr);
            } catch (...) {
                queue.close(std::current_exception());
            }
        });
        try {
            while (const BlockQueue::Block *block = queue.take()) {
                if (block->stored)
                    store(block->bytes.data(), block->bytes.size());
                else
                    code(block->bytes.data(), block->bytes.size(), LZMA_RUN);
                if (progress)
                    progress(block->done);
            }
        } catch (...) {
            queue.abandon();
            maker.join();
            throw;
        }
        maker.join();
        queue.rethrow();
    }
    finish_coding();
    if (split) {
        write_all(fd, split_part.data(), split_part.size());
        read_coded_archive(lzma_fd, coded, [&](const uint8_t *bytes, size_t size) { write_all(fd, bytes, size); });
        coded += split_part.size();
    }
    *coded_size = coded;

    BundleHeader header{};
    header.version = BUNDLE_VERSION;
    header.codec = BUNDLE_CODEC_LZMA;
    header.filter = settings.filter;
    header.properties = options.lc + 9 * (options.lp + 5 * options.pb);
    header.dictionary = options.dict_size;
    header.archive_size = archive_size;
    header.stored_size = stored;
    header.coded_size = stored ? coded - stored : 0;
    return header;
}

int coded_archive_file() {
    const char *folder = std::getenv("TMPDIR");
    std::string temp = std::string(folder && *folder ? folder : "/tmp") + "/sfxpack-coded-XXXXXX";
    // No signal may end the process between the create and the unlink, which
    // would leave the file: they wait until it is gone. Held on this thread
    // only, which is enough: callers make the file before any second starts.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    int fd = mkstemp(temp.data());
    int error = errno;
    if (fd >= 0)
        unlink(temp.c_str());
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (fd < 0)
        throw BundleError(std::string("cannot make a temporary file: ") + std::strerror(error));
    return fd;
}

void read_coded_archive(int fd, uint64_t size, const std::function<void(const uint8_t *, size_t)> &use) {
    std::vector<uint8_t> block(1 << 20);
    for (uint64_t at = 0; at < size;) {
        ssize_t n = pread(fd, block.data(), (size_t)std::min<uint64_t>(block.size(), size - at), (off_t)at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw BundleError("cannot read the coded archive back");
        use(block.data(), (size_t)n);
        at += (uint64_t)n;
    }
}

std::vector<uint8_t> bundle_appended(const std::string &command, const std::string &title,
                                     std::span<const uint8_t> tar, int level, uint32_t filter,
                                     const std::string &target, size_t stored_from) {
    int fd = coded_archive_file();
    std::unique_ptr<int, void (*)(int *)> closer(&fd, [](int *f) { close(*f); });
    uint64_t coded_size;
    auto produce = [&](const ByteSink &sink, const StoreRest &store_rest) {
        size_t coded = std::min(stored_from, tar.size());
        sink(tar.data(), coded);
        if (coded < tar.size()) {
            store_rest();
            sink(tar.data() + coded, tar.size() - coded);
        }
    };
    BundleHeader header = code_archive(produce,
                                       coding_settings(level, false, filter, tar.size()), fd, nullptr, &coded_size, false);
    std::vector<uint8_t> appended = bundle_header_bytes(header, command, title, target);
    appended.resize(appended.size() + coded_size);
    if (pread(fd, appended.data() + appended.size() - coded_size, coded_size, 0) != (ssize_t)coded_size)
        throw BundleError("cannot read the coded archive back");
    return appended;
}

std::vector<uint8_t> bundle_header_bytes(BundleHeader header, const std::string &command, const std::string &title,
                                         const std::string &target) {
    header.command = command.data(), header.command_length = (uint32_t)command.size();
    header.title = title.data(), header.title_length = (uint32_t)title.size();
    header.target = target.data(), header.target_length = (uint32_t)target.size();
    std::vector<uint8_t> bytes(bundle_header_write(&header, nullptr));
    bundle_header_write(&header, bytes.data());
    return bytes;
}
