#include <fcntl.h>
#include <lzma.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "archive/archive_text.h"
#include "archive/branch_split_encoder.h"
#include "archive/coded_reader.h"
#include "archive/tar_reader.h"
#include "bundler/bundler.h"
#include "encoder/payload_encoder.h"
#include "include/sfx_package.h"

CodingSettings coding_settings(int level, uint32_t filter, uint64_t archive_bound) {
    lzma_options_lzma options;
    lzma_lzma_preset(&options, (uint32_t)level);
    uint64_t dictionary = std::clamp<uint64_t>(archive_bound, BUNDLE_DICTIONARY_MIN, options.dict_size);
    return {level, filter, (uint32_t)dictionary};
}

uint32_t choose_filter(const std::vector<FolderEntry> &entries) {
    // Splitting the branch targets out gains on x86 and x86-64 code alike,
    // on like libraries most; on other data it costs a few bytes of flags.
    uint64_t code = 0, all = 0;
    for (const FolderEntry &entry : entries) {
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

// The split conversion's header and its targets and flags, which come before
// the LZMA stream of the rest.
std::vector<uint8_t> split_streams(const BranchSplitter &splitter, int level) {
    std::vector<uint8_t> coded(SPLIT_HEADER_SIZE);
    if (!splitter.targets.empty()) {
        lzma_options_lzma options;
        lzma_lzma_preset(&options, (uint32_t)level | (level == MAX_LEVEL ? LZMA_PRESET_EXTREME : 0));
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

BundleHeader code_archive(const std::function<void(const ByteSink &)> &produce, const CodingSettings &settings,
                          int fd, const ProgressCall &progress, uint64_t *coded_size, bool verify) {
    lzma_options_lzma options;
    lzma_lzma_preset(&options, (uint32_t)settings.level | (settings.level == MAX_LEVEL ? LZMA_PRESET_EXTREME : 0));
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
    uint64_t archive_size = 0, coded = 0;
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
    BranchSplitter splitter([&](const uint8_t *bytes, size_t size) { code(bytes, size, LZMA_RUN); });
    produce([&](const uint8_t *bytes, size_t size) {
        for (size_t at = 0; at < size;) {
            uint32_t piece = (uint32_t)std::min<size_t>(size - at, 1 << 30);
            if (verify && tar_reader_feed(reader.get(), bytes + at, piece) != ARCHIVE_OK)
                throw BundleError("the folder's archive: " + archive_error_text(*reader, reader->error));
            at += piece;
        }
        if (split)
            splitter.feed(bytes, size, false);
        else
            code(bytes, size, LZMA_RUN);
        archive_size += size;
        if (progress)
            progress(archive_size);
    });
    if (ArchiveError error = verify ? tar_reader_finish(reader.get()) : ArchiveError(ARCHIVE_OK); error != ARCHIVE_OK)
        throw BundleError("the folder's archive: " + archive_error_text(*reader, error));
    if (split)
        splitter.feed(nullptr, 0, true);
    code(nullptr, 0, LZMA_FINISH);
    if (split) {
        std::vector<uint8_t> head = split_streams(splitter, settings.level);
        write_all(fd, head.data(), head.size());
        read_coded_archive(lzma_fd, coded, [&](const uint8_t *bytes, size_t size) { write_all(fd, bytes, size); });
        coded += head.size();
    }
    *coded_size = coded;

    BundleHeader header{};
    header.version = BUNDLE_VERSION;
    header.codec = BUNDLE_CODEC_LZMA;
    header.filter = settings.filter;
    header.properties = options.lc + 9 * (options.lp + 5 * options.pb);
    header.dictionary = options.dict_size;
    header.archive_size = archive_size;
    return header;
}

int coded_archive_file() {
    const char *folder = std::getenv("TMPDIR");
    std::string temp = std::string(folder && *folder ? folder : "/tmp") + "/sfxpack-coded-XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0)
        throw BundleError(std::string("cannot make a temporary file: ") + std::strerror(errno));
    unlink(temp.c_str());
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
                                     const std::string &target) {
    int fd = coded_archive_file();
    std::unique_ptr<int, void (*)(int *)> closer(&fd, [](int *f) { close(*f); });
    uint64_t coded_size;
    BundleHeader header = code_archive([&](const ByteSink &sink) { sink(tar.data(), tar.size()); },
                                       coding_settings(level, filter, tar.size()), fd, nullptr, &coded_size, false);
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
