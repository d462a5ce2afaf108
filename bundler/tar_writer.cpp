// The reader's header first: libarchive's macros take the names of its
// enumerators (ARCHIVE_OK) from there on.
#include "archive/tar_reader.h"
#include "bundler/bundler.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <locale.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace fs = std::filesystem;

namespace {

struct ArchiveWriter {
    archive *handle = archive_write_new();
    const ByteSink *sink;
    ~ArchiveWriter() { archive_write_free(handle); }
    std::string text() const {
        const char *message = archive_error_string(handle);
        return message ? message : "cannot write the archive";
    }
    void check(int result, const std::string &what) {
        if (result < ARCHIVE_WARN)
            throw BundleError(what + ": " + text());
    }
};

// libarchive's write callback: the headers' next bytes, unless libarchive
// is writing a file's data (as zeros: its data comes after all headers).
// What the sink throws is kept, and thrown once libarchive has returned;
// from then on the bytes go nowhere, though libarchive is told they went:
// told otherwise, it would keep the buffers it frees on closing.
struct SinkCall {
    const ByteSink *sink;
    std::exception_ptr failure;
    bool pass = true;
    uint64_t passed = 0;
};

la_ssize_t pass_on(archive *, void *context, const void *buffer, size_t size) {
    auto *call = static_cast<SinkCall *>(context);
    if (!call->failure && call->pass) {
        try {
            (*call->sink)(static_cast<const uint8_t *>(buffer), size);
            call->passed += size;
        } catch (...) {
            call->failure = std::current_exception();
        }
    }
    return (la_ssize_t)size;
}

// 'block' is the whole stream's one read buffer: a new one for each file
// would clear a megabyte for every small file.
void write_file_data(const std::string &path, uint64_t size, const ByteSink &sink, std::vector<uint8_t> &block) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        throw BundleError(path + ": cannot read: " + std::strerror(errno));
    std::unique_ptr<int, void (*)(int *)> closer(&fd, [](int *f) { close(*f); });
    uint64_t done = 0;
    for (ssize_t n; done < size; done += (uint64_t)n) {
        n = read(fd, block.data(), std::min<uint64_t>(block.size(), size - done));
        if (n < 0 && errno == EINTR) {
            n = 0;
            continue;
        }
        if (n <= 0)
            throw BundleError(path + (n ? ": cannot read: " + std::string(std::strerror(errno))
                                        : ": changed size while being read"));
        sink(block.data(), (size_t)n);
    }
}

} // namespace

uint64_t tar_size_bound(const std::vector<FolderEntry> &entries) {
    // Each entry: its header block, an extended header (one block and its
    // records: the name and perhaps a large size or time), its data padded
    // to a block and the zeros before it; then the two end blocks.
    uint64_t total = 2 * TAR_BLOCK;
    for (const FolderEntry &entry : entries)
        total += 4 * TAR_BLOCK + (entry.name.size() + 255) / TAR_BLOCK * TAR_BLOCK +
                 (entry.size + TAR_BLOCK - 1) / TAR_BLOCK * TAR_BLOCK;
    return total;
}

namespace {

// The entries' headers and the two end blocks, as libarchive writes them:
// the bytes handed to 'sink'.
uint64_t write_headers(const std::vector<FolderEntry> &entries, const ByteSink &sink) {
    // Names are UTF-8 whatever the user's locale; libarchive converts with
    // the thread's, which for its extended headers must then be UTF-8 too.
    struct Utf8Locale {
        locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
        locale_t before = utf8 ? uselocale(utf8) : (locale_t)0;
        ~Utf8Locale() {
            if (utf8) {
                uselocale(before);
                freelocale(utf8);
            }
        }
    } utf8_locale;
    SinkCall call{&sink, nullptr}; // outlives the writer, which writes as it closes
    ArchiveWriter writer;
    auto check = [&](int result, const std::string &what) {
        if (call.failure)
            std::rethrow_exception(call.failure);
        writer.check(result, what);
    };
    check(archive_write_set_format_pax_restricted(writer.handle), "tar");
    // Unblocked: each header is handed on as it is written, and a file's
    // zeros between two headers, which are not, as they are.
    check(archive_write_set_bytes_per_block(writer.handle, 0), "tar");
    check(archive_write_set_bytes_in_last_block(writer.handle, 1), "tar");
    check(archive_write_open2(writer.handle, &call, nullptr, pass_on, nullptr, nullptr), "tar");
    for (const FolderEntry &item : entries) {
        std::unique_ptr<archive_entry, void (*)(archive_entry *)> entry(archive_entry_new(), archive_entry_free);
        archive_entry_set_pathname_utf8(entry.get(), item.folder ? (item.name + "/").c_str() : item.name.c_str());
        archive_entry_set_filetype(entry.get(), item.folder ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(entry.get(), item.mode);
        archive_entry_set_size(entry.get(), (la_int64_t)item.size);
        archive_entry_set_mtime(entry.get(), item.mtime, 0);
        check(archive_write_header(writer.handle, entry.get()), item.source);
        call.pass = false;
        check(archive_write_finish_entry(writer.handle), "tar");
        call.pass = true;
    }
    check(archive_write_close(writer.handle), "tar");
    return call.passed;
}

// Goes through the files' data as it lies after the headers: 'at' for each
// file with where its data starts, 'store' once before the first to store.
template <typename At, typename Store>
uint64_t lay_out_data(const std::vector<FolderEntry> &entries, uint64_t position, At at, Store store) {
    bool storing = false;
    for (const FolderEntry &item : entries) {
        if (item.folder)
            continue;
        if (item.stored && !storing) {
            storing = true;
            store(position);
        }
        uint64_t start = tar_data_start(position, item.size);
        at(item, position, start);
        position = start + item.size;
    }
    return position;
}

} // namespace

void tar_folder(const std::vector<FolderEntry> &entries, const ByteSink &sink, const StoreRest &store_rest) {
    static const uint8_t zeros[TAR_BLOCK] = {};
    std::vector<uint8_t> block(1 << 20);
    lay_out_data(
        entries, write_headers(entries, sink),
        [&](const FolderEntry &item, uint64_t position, uint64_t start) {
            if (start > position)
                sink(zeros, start - position);
            write_file_data(item.source, item.size, sink, block);
        },
        [&](uint64_t) {
            if (store_rest)
                store_rest();
        });
}

TarSize tar_size(const std::vector<FolderEntry> &entries) {
    uint64_t stored_from = UINT64_MAX;
    uint64_t size = lay_out_data(
        entries, write_headers(entries, [](const uint8_t *, size_t) {}),
        [](const FolderEntry &, uint64_t, uint64_t) {}, [&](uint64_t position) { stored_from = position; });
    return {size, std::min(size, stored_from)};
}
