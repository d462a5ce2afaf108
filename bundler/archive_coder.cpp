#include <fcntl.h>
#include <lzma.h>
#include <pthread.h>
#include <sched.h>
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
#include "bundler/lzma_stream.h"
#include "encoder/payload_encoder.h"
#include "include/sfx_package.h"

namespace {

// The options for a level: liblzma's presets, with the extreme flag when
// asked. Level 9 searches less deep than its extreme preset (binary trees,
// nice length 128 rather than 273, depth 48 rather than 512): on Windows
// libraries and on text that is within 0.15 % of its size in three quarters
// to nine tenths of its time (README, "Level 9 and -e").
lzma_options_lzma level_options(int level, bool extreme) {
    lzma_options_lzma options;
    lzma_lzma_preset(&options, (uint32_t)level | (extreme ? LZMA_PRESET_EXTREME : 0));
    if (level == MAX_LEVEL && !extreme) {
        options.nice_len = 128;
        options.depth = 48;
    }
    return options;
}

} // namespace

CodingSettings coding_settings(int level, bool extreme, uint32_t filter, uint64_t archive_size) {
    lzma_options_lzma options = level_options(level, extreme);
    uint64_t dictionary = std::clamp<uint64_t>(archive_size, BUNDLE_DICTIONARY_MIN, options.dict_size);
    uint32_t slice = 0;
    if (archive_size >= std::max<uint64_t>(SLICE_FROM, SLICE_DICTIONARIES * options.dict_size) &&
        filter != BUNDLE_FILTER_X86) {
        // The second slice's coder first takes in a dictionary-full of the
        // first's bytes, which costs it about half of coding them: the first
        // slice takes that much more, so that both end together.
        uint64_t first = (archive_size + dictionary / 2 + 1) / 2;
        slice = (uint32_t)std::min<uint64_t>((first + BUNDLE_SLICE_MIN - 1) / BUNDLE_SLICE_MIN * BUNDLE_SLICE_MIN,
                                             UINT32_MAX / BUNDLE_SLICE_MIN * BUNDLE_SLICE_MIN);
    }
    return {level, extreme, filter, (uint32_t)dictionary, slice};
}

uint32_t choose_filter(const std::vector<FolderEntry> &entries) {
    // Splitting the branch targets out gains on x86 and x86-64 code alike,
    // on like libraries most; on other data it costs a few bytes of flags.
    // Absolute data addresses gain on x86-64 code (7 % on A, 0.4 % on B,
    // whose programs are a twelfth of it) and lose a little elsewhere (0.02 %
    // on text), and on x86 code, whose calls through memory hold absolute
    // addresses already.
    uint64_t code = 0, x64 = 0, all = 0;
    for (const FolderEntry &entry : entries)
        if (!entry.stored) {
            all += entry.size;
            code += entry.x86_program ? entry.size : 0;
            x64 += entry.x64_program ? entry.size : 0;
        }
    if (x64 > all / 64 && 2 * x64 >= code)
        return BUNDLE_FILTER_SPLIT_X64;
    return code > all / 2 ? BUNDLE_FILTER_SPLIT : BUNDLE_FILTER_NONE;
}

namespace {

const char *lzma_text(lzma_ret result) {
    return result == LZMA_MEM_ERROR ? "out of memory" : result == LZMA_OPTIONS_ERROR ? "unsupported options"
                                                                                    : "the encoder failed";
}

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

namespace {

// One raw LZMA stream coded into a file of its own.
class StreamCoder {
  public:
    StreamCoder(const lzma_filter *filters, int fd)
        : memory_(((const lzma_options_lzma *)filters[0].options)->dict_size), fd_(fd) {
        stream_.allocator = memory_.liblzma();
        if (lzma_ret result = lzma_raw_encoder(&stream_, filters); result != LZMA_OK)
            throw BundleError(std::string("the folder's archive: ") + lzma_text(result));
    }
    ~StreamCoder() { lzma_end(&stream_); }
    StreamCoder(const StreamCoder &) = delete;
    StreamCoder &operator=(const StreamCoder &) = delete;

    void code(const uint8_t *bytes, size_t size) { run(bytes, size, LZMA_RUN); }
    // Ends the stream with its end mark.
    void finish() { run(nullptr, 0, LZMA_FINISH); }
    uint64_t written = 0;

  private:
    void run(const uint8_t *bytes, size_t size, lzma_action action) {
        stream_.next_in = bytes;
        stream_.avail_in = size;
        for (;;) {
            stream_.next_out = out_;
            stream_.avail_out = sizeof out_;
            lzma_ret result = lzma_code(&stream_, action);
            if (result != LZMA_OK && result != LZMA_STREAM_END)
                throw BundleError(std::string("the folder's archive: ") + lzma_text(result));
            write_coded(fd_, out_, sizeof out_ - stream_.avail_out);
            written += sizeof out_ - stream_.avail_out;
            if (action == LZMA_FINISH ? result == LZMA_STREAM_END : stream_.avail_in == 0 && stream_.avail_out > 0)
                return;
        }
    }
    TablesMemory memory_;
    lzma_stream stream_ = LZMA_STREAM_INIT;
    int fd_;
    uint8_t out_[1 << 16];
};

// The first slice's bytes (all of LZMA's input when there is one slice),
// written to a file as they come and coded from it by a thread of their own
// (Thread), or once they are all in (Later). The file is a ring of
// 'capacity' bytes, which the reading side waits for the coder to make room
// in.
class FirstSlice {
  public:
    enum Mode { Thread, Later };
    FirstSlice(const lzma_options_lzma &options, bool chunks, Mode mode, uint64_t capacity)
        : options_(options), chunks_(chunks), mode_(mode), capacity_(capacity), input_(coded_archive_file()),
          output_(coded_archive_file()) {
        pending_.reserve(PENDING_MAX); // not doubled past it
        if (mode == Thread)
            thread_ = std::thread([this] {
                try {
                    code();
                } catch (...) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    failure_ = std::current_exception();
                    changed_.notify_all();
                }
            });
    }
    ~FirstSlice() {
        stop();
        close(input_);
        close(output_);
    }

    // The reading side: the next bytes, and their end. Throws Failed once
    // the coder has failed. Small pieces (a header, a file's padding) are
    // gathered first, so that the file and the coder see few large ones.
    void put(const uint8_t *bytes, size_t size) {
        if (pending_.size() + size <= PENDING_MAX) {
            pending_.insert(pending_.end(), bytes, bytes + size);
            return;
        }
        flush();
        if (size < PENDING_MAX)
            pending_.assign(bytes, bytes + size);
        else
            write(bytes, size);
    }
    void end() {
        flush();
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }
    struct Failed {};
    struct Stopped {};
    uint64_t size() const { return written_ + pending_.size(); }
    // 'count' bytes ending at 'end', read back (never from a ring that has
    // gone round).
    std::vector<uint8_t> tail(uint64_t end, uint32_t count) {
        flush();
        std::vector<uint8_t> bytes(count);
        if (pread(input_, bytes.data(), count, (off_t)(end - count)) != (ssize_t)count)
            throw BundleError("cannot read the archive's data back");
        return bytes;
    }
    uint64_t coded() {
        std::lock_guard<std::mutex> lock(mutex_);
        return coded_;
    }

    // Codes what is left to code and waits for it, calling 'tick' every
    // tenth of a second; then the coded bytes' file and their count, or what
    // the coder failed with.
    std::pair<int, uint64_t> wait(const std::function<void()> &tick) {
        if (mode_ == Later)
            code();
        std::unique_lock<std::mutex> lock(mutex_);
        while (mode_ == Thread && !done_ && !failure_) {
            changed_.wait_for(lock, std::chrono::milliseconds(100));
            lock.unlock();
            tick();
            lock.lock();
        }
        lock.unlock();
        stop();
        if (failure_)
            std::rethrow_exception(failure_);
        return {output_, written_out_};
    }

  private:
    static constexpr size_t PENDING_MAX = 1 << 20;

    void flush() {
        write(pending_.data(), pending_.size());
        pending_.clear();
    }
    void write(const uint8_t *bytes, size_t size) {
        while (size > 0) {
            uint64_t room;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] { return written_ - coded_ < capacity_ || failure_; });
                if (failure_)
                    throw Failed();
                room = capacity_ - (written_ - coded_);
            }
            uint64_t at = written_ % capacity_;
            size_t piece = (size_t)std::min<uint64_t>({size, room, capacity_ - at});
            for (size_t done = 0; done < piece;) {
                ssize_t n = pwrite(input_, bytes + done, piece - done, (off_t)(at + done));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    throw BundleError(std::string("cannot write a temporary file: ") +
                                      std::strerror(n < 0 ? errno : ENOSPC));
                done += (size_t)n;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            written_ += piece;
            changed_.notify_all();
            bytes += piece;
            size -= piece;
        }
    }

    // The coder's input: what the reading side has put, as it comes. The
    // match finder reads it ahead of the coding, on a thread of its own.
    size_t next(uint8_t *bytes, size_t size) {
        uint64_t have;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return written_ > read_ || ended_ || stopping_; });
            if (stopping_)
                throw Stopped();
            if (written_ == read_)
                return 0;
            have = written_;
        }
        size_t n = (size_t)std::min<uint64_t>({size, have - read_, capacity_ - read_ % capacity_});
        if (pread(input_, bytes, n, (off_t)(read_ % capacity_)) != (ssize_t)n)
            throw BundleError("cannot read the archive's data back");
        read_ += n;
        std::lock_guard<std::mutex> lock(mutex_);
        coded_ = read_;
        changed_.notify_all();
        return n;
    }
    void code() {
        uint64_t out;
        try {
            out = code_lzma_stream(options_, [this](uint8_t *bytes, size_t size) { return next(bytes, size); }, output_,
                                   chunks_);
        } catch (const Stopped &) {
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        written_out_ = out;
        done_ = true;
        changed_.notify_all();
    }
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = !done_;
            changed_.notify_all();
        }
        if (thread_.joinable())
            thread_.join();
    }

    lzma_options_lzma options_;
    bool chunks_;
    Mode mode_;
    uint64_t capacity_;
    int input_, output_;
    uint64_t read_ = 0; // the coder's side
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t written_ = 0, coded_ = 0, written_out_ = 0;
    std::vector<uint8_t> pending_; // put, not yet written: the reading side's alone
    bool ended_ = false, done_ = false, stopping_ = false;
    std::exception_ptr failure_;
};

// With one thread asked for, all the coding's threads (the reading, the
// coders, the match finder's) share the core the caller is on: threads
// start on their creator's cores.
class OneCore {
  public:
    explicit OneCore(bool wanted) {
        int cpu = wanted ? sched_getcpu() : -1;
        if (cpu < 0 || pthread_getaffinity_np(pthread_self(), sizeof before_, &before_) != 0)
            return;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        pinned_ = pthread_setaffinity_np(pthread_self(), sizeof one, &one) == 0;
    }
    ~OneCore() {
        if (pinned_)
            pthread_setaffinity_np(pthread_self(), sizeof before_, &before_);
    }
    OneCore(const OneCore &) = delete;
    OneCore &operator=(const OneCore &) = delete;

  private:
    cpu_set_t before_;
    bool pinned_ = false;
};

} // namespace

BundleHeader code_archive(const TarProducer &produce, const CodingSettings &settings, int fd,
                          const ProgressCall &progress, uint64_t *coded_size, bool verify) {
    if (settings.filter == BUNDLE_FILTER_X86)
        throw BundleError("the folder's archive: the x86 conversion is read, no longer written");
    lzma_options_lzma options = level_options(settings.level, settings.extreme);
    options.dict_size = settings.dictionary;
    uint64_t slice = settings.slice == 0 ? UINT64_MAX : settings.slice;
    // The first slice reaches back no further than its own start, so its
    // coder needs no more dictionary than the slice's size.
    lzma_options_lzma first_options = options;
    first_options.dict_size = (uint32_t)std::clamp<uint64_t>(slice, BUNDLE_DICTIONARY_MIN, options.dict_size);

    // The stream is read back as it is written, so that whatever the
    // extractor would refuse is refused here.
    auto reader = std::make_unique<TarReader>();
    ArchiveSink accept{nullptr, [](void *, const ArchiveEntry *) { return 1; },
                       [](void *, const uint8_t *, uint32_t) { return 1; }, [](void *, const ArchiveEntry *) { return 1; }};
    tar_reader_init(reader.get(), &accept, settings.headers_first);
    std::unique_ptr<TarReader, void (*)(TarReader *)> free_reader(reader.get(), tar_reader_free);

    // The first slice is coded by a thread of its own (with one slice, the
    // reading runs at most 64 MiB ahead of it), or with one thread and two
    // slices once the second is done; the second here, as its bytes come,
    // into a file of its own that the stored bytes follow. Both files are
    // written out once the first slice's coder is done, after the split
    // conversion's targets and flags.
    OneCore one_core(settings.threads <= 1);
    bool chunks = settings.codec == BUNDLE_CODEC_LZMA2;
    FirstSlice first(first_options, chunks, settings.threads > 1 || slice == UINT64_MAX ? FirstSlice::Thread : FirstSlice::Later,
                     slice == UINT64_MAX ? 64 << 20 : UINT64_MAX);
    int second_fd = coded_archive_file();
    std::unique_ptr<int, void (*)(int *)> closer(&second_fd, [](int *f) { close(*f); });
    std::unique_ptr<StreamCoder> second;
    std::vector<uint8_t> split_part;
    uint64_t archive_size = 0, stored = 0, second_coded = 0, second_written = 0;
    auto report = [&] {
        if (progress)
            progress(first.coded() + second_coded + stored);
    };
    auto to_code = [&](const uint8_t *bytes, size_t size) {
        if (first.size() < slice) {
            size_t piece = (size_t)std::min<uint64_t>(size, slice - first.size());
            first.put(bytes, piece);
            bytes += piece;
            size -= piece;
        }
        if (size == 0)
            return;
        if (!second) {
            // The second slice takes the first's last bytes (a whole number
            // of 4 KiB, as many as the dictionary holds) as its dictionary.
            uint32_t preset = (uint32_t)std::min<uint64_t>(slice, options.dict_size) / 4096 * 4096;
            std::vector<uint8_t> before = first.tail(slice, preset);
            lzma_options_lzma with = options;
            with.preset_dict = before.data();
            with.preset_dict_size = preset;
            lzma_filter primed[2] = {{chunks ? LZMA_FILTER_LZMA2 : LZMA_FILTER_LZMA1, &with}, {LZMA_VLI_UNKNOWN, nullptr}};
            second = std::make_unique<StreamCoder>(primed, second_fd);
        }
        second->code(bytes, size);
        second_coded += size;
    };
    BranchSplitter splitter(to_code, settings.filter == BUNDLE_FILTER_SPLIT_X64);
    bool split = settings.filter >= BUNDLE_FILTER_SPLIT, storing = false;
    auto end_coded = [&] {
        if (split) {
            splitter.feed(nullptr, 0, true);
            split_part = split_streams(splitter, settings);
        }
        first.end();
        if (second) {
            // Its memory goes before the first slice's coder takes its own,
            // when that comes after.
            second->finish();
            second_written = second->written;
            second.reset();
        }
    };
    try {
        produce([&](const uint8_t *bytes, size_t size) {
            for (size_t at = 0; at < size;) {
                uint32_t piece = (uint32_t)std::min<size_t>(size - at, 1 << 30);
                if (verify && tar_reader_feed(reader.get(), bytes + at, piece) != ARCHIVE_OK)
                    throw BundleError("the folder's archive: " + archive_error_text(*reader, reader->error));
                at += piece;
            }
            archive_size += size;
            if (storing) {
                write_coded(second_fd, bytes, size);
                stored += size;
            } else if (split)
                splitter.feed(bytes, size, false);
            else
                to_code(bytes, size);
            report();
        }, [&] {
            end_coded();
            storing = true;
        });
        if (ArchiveError error = verify ? tar_reader_finish(reader.get()) : ArchiveError(ARCHIVE_OK); error != ARCHIVE_OK)
            throw BundleError("the folder's archive: " + archive_error_text(*reader, error));
        if (!storing)
            end_coded();
    } catch (const FirstSlice::Failed &) {
        // The first slice's coder failed: what it failed with comes next.
    }
    auto [first_fd, first_coded] = first.wait(report);
    write_coded(fd, split_part.data(), split_part.size());
    read_coded_archive(first_fd, first_coded, [&](const uint8_t *bytes, size_t size) { write_coded(fd, bytes, size); });
    read_coded_archive(second_fd, second_written + stored,
                       [&](const uint8_t *bytes, size_t size) { write_coded(fd, bytes, size); });
    uint64_t coded = split_part.size() + first_coded + second_written + stored;
    *coded_size = coded;

    BundleHeader header{};
    header.version = BUNDLE_VERSION;
    header.codec = settings.codec;
    header.filter = settings.filter;
    header.properties = options.lc + 9 * (options.lp + 5 * options.pb);
    header.dictionary = options.dict_size;
    header.archive_size = archive_size;
    header.stored_size = stored;
    header.coded_size = stored ? coded - stored : 0;
    header.slice_size = second_written ? (uint32_t)slice : 0; // a finished stream is never empty
    header.headers_first = settings.headers_first;
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
                                     const std::string &target, size_t stored_from, uint32_t slice, uint32_t codec) {
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
    CodingSettings settings = coding_settings(level, false, filter, tar.size());
    if (slice)
        settings.slice = slice;
    settings.headers_first = false;
    settings.codec = codec;
    BundleHeader header = code_archive(produce, settings, fd, nullptr, &coded_size, false);
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
