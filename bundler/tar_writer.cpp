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

// libarchive's write callback: the tar stream's next bytes. What the sink
// throws is kept, and thrown once libarchive has returned; from then on the
// bytes go nowhere, though libarchive is told they went: told otherwise, it
// would keep the buffers it frees on closing.
struct SinkCall {
    const ByteSink *sink;
    std::exception_ptr failure;
};

la_ssize_t pass_on(archive *, void *context, const void *buffer, size_t size) {
    auto *call = static_cast<SinkCall *>(context);
    if (!call->failure) {
        try {
            (*call->sink)(static_cast<const uint8_t *>(buffer), size);
        } catch (...) {
            call->failure = std::current_exception();
        }
    }
    return (la_ssize_t)size;
}

// 'block' is the whole tar's one read buffer: a new one for each file would
// clear a megabyte for every small file.
void write_file_data(ArchiveWriter &writer, const fs::path &path, uint64_t size, const std::exception_ptr &failure,
                     std::vector<uint8_t> &block) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        throw BundleError(path.string() + ": cannot read: " + std::strerror(errno));
    std::unique_ptr<int, void (*)(int *)> closer(&fd, [](int *f) { close(*f); });
    uint64_t done = 0;
    for (ssize_t n; done < size; done += (uint64_t)n) {
        n = read(fd, block.data(), std::min<uint64_t>(block.size(), size - done));
        if (n < 0 && errno == EINTR) {
            n = 0;
            continue;
        }
        if (n <= 0)
            throw BundleError(path.string() + (n ? ": cannot read: " + std::string(std::strerror(errno))
                                                : ": changed size while being read"));
        if (la_ssize_t written = archive_write_data(writer.handle, block.data(), (size_t)n); failure || written != n) {
            if (failure)
                std::rethrow_exception(failure);
            throw BundleError(path.string() + ": " + writer.text());
        }
    }
}

} // namespace

uint64_t tar_size_bound(const std::vector<FolderEntry> &entries) {
    // Each entry: its header block, an extended header (one block and its
    // records: the name and perhaps a large size or time), its data padded
    // to a block; then the two end blocks.
    uint64_t total = 2 * TAR_BLOCK;
    for (const FolderEntry &entry : entries)
        total += 3 * TAR_BLOCK + (entry.name.size() + 255) / TAR_BLOCK * TAR_BLOCK +
                 (entry.size + TAR_BLOCK - 1) / TAR_BLOCK * TAR_BLOCK;
    return total;
}

namespace {

// The tar stream of 'entries', their data read from their sources unless
// 'headers_only', where libarchive writes zeros in its place: the same
// number of bytes.
void write_tar(const std::vector<FolderEntry> &entries, const ByteSink &sink, const StoreRest &store_rest,
               bool headers_only) {
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
    // Unblocked: every byte of an entry is handed on before the next one's
    // header is written, so the stored part starts where it should.
    check(archive_write_set_bytes_per_block(writer.handle, 0), "tar");
    check(archive_write_set_bytes_in_last_block(writer.handle, 1), "tar");
    check(archive_write_open2(writer.handle, &call, nullptr, pass_on, nullptr, nullptr), "tar");
    bool storing = false;
    std::vector<uint8_t> block(headers_only ? 0 : 1 << 20);
    for (const FolderEntry &item : entries) {
        if (item.stored && !storing && store_rest) {
            storing = true;
            check(archive_write_finish_entry(writer.handle), "tar"); // the padding of the entry before
            store_rest();
        }
        std::unique_ptr<archive_entry, void (*)(archive_entry *)> entry(archive_entry_new(), archive_entry_free);
        archive_entry_set_pathname_utf8(entry.get(), item.folder ? (item.name + "/").c_str() : item.name.c_str());
        archive_entry_set_filetype(entry.get(), item.folder ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(entry.get(), item.mode);
        archive_entry_set_size(entry.get(), (la_int64_t)item.size);
        archive_entry_set_mtime(entry.get(), item.mtime, 0);
        check(archive_write_header(writer.handle, entry.get()), item.source.string());
        if (!item.folder && !headers_only)
            write_file_data(writer, item.source, item.size, call.failure, block);
    }
    check(archive_write_close(writer.handle), "tar");
}

} // namespace

void tar_folder(const std::vector<FolderEntry> &entries, const ByteSink &sink, const StoreRest &store_rest) {
    write_tar(entries, sink, store_rest, false);
}

TarSize tar_size(const std::vector<FolderEntry> &entries) {
    uint64_t size = 0, stored_from = UINT64_MAX;
    write_tar(entries, [&](const uint8_t *, size_t n) { size += n; }, [&] { stored_from = size; }, true);
    return {size, std::min(size, stored_from)};
}
