#include "portable_io.h"

#include <errno.h>
#include <unistd.h>

#include <vector>

#include "include/sfx_package.h"

int32_t file_error;

namespace {

enum class Kind { descriptor, memory_reader, range_reader, memory_writer, counting_writer, callback_writer };

constexpr size_t RANGE_BLOCK = 1 << 16;

struct PortableFile {
    explicit PortableFile(Kind k) : kind(k) {}
    Kind kind;
    int fd = -1;                   // descriptor writer; never closed here
    std::vector<uint8_t> buffer;   // memory writer's bytes; range reader's block
    const uint8_t *data = nullptr; // memory reader
    size_t position = 0;           // memory reader; range reader: next byte of its block
    size_t filled = 0;             // range reader: bytes in its block
    uint64_t next = 0, end = 0;    // range reader: the file's next offset to read, and where to stop
    uint64_t delivered = 0;        // range reader
    size_t size = 0;               // reader: data size; writers: limit
    size_t written = 0;            // counting writer
    WrittenBytes taken{0, 0};      // every writer: what it took
    WriteCallback callback = nullptr; // callback writer, with its context
    void *context = nullptr;
};

PortableFile *file_of(FileHandle handle) { return static_cast<PortableFile *>(handle); }

int32_t fail_with_errno() {
    file_error = errno;
    return -1;
}

int32_t write_descriptor(PortableFile *file, const uint8_t *in, uint32_t size) {
    uint32_t done = 0;
    while (done < size) {
        ssize_t n = write(file->fd, in + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return done ? (int32_t)done : fail_with_errno();
        done += (uint32_t)n;
    }
    return (int32_t)done;
}

// Tops the range reader's block up to at least 'want' unread bytes where the
// range allows: the unread bytes, or -1 on a read error.
int64_t top_up(PortableFile *file, size_t want) {
    size_t unread = file->filled - file->position;
    if (unread >= want || file->next >= file->end)
        return (int64_t)unread;
    for (size_t i = 0; i < unread; i++)
        file->buffer[i] = file->buffer[file->position + i];
    file->position = 0;
    file->filled = unread;
    while (file->filled < want && file->next < file->end) {
        uint64_t room = file->buffer.size() - file->filled;
        uint64_t left = file->end - file->next;
        ssize_t n = pread(file->fd, file->buffer.data() + file->filled, (size_t)(left < room ? left : room),
                          (off_t)file->next);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail_with_errno();
        if (n == 0)
            file->end = file->next; // the file is shorter than the range
        file->next += (uint64_t)n;
        file->filled += (size_t)n;
    }
    return (int64_t)file->filled;
}

} // namespace

FileHandle file_from_fd(int fd) {
    auto *file = new PortableFile(Kind::descriptor);
    file->fd = fd;
    return file;
}

FileHandle memory_reader_open(const void *data, size_t size) {
    auto *file = new PortableFile(Kind::memory_reader);
    file->data = static_cast<const uint8_t *>(data);
    file->size = size;
    return file;
}

FileHandle range_reader_open(int fd, uint64_t offset, uint64_t end) {
    auto *file = new PortableFile(Kind::range_reader);
    file->fd = fd;
    file->buffer.resize(RANGE_BLOCK);
    file->next = offset;
    file->end = end > offset ? end : offset;
    return file;
}

int32_t file_peek(void *buffer, uint32_t size, FileHandle handle) {
    file_error = 0;
    PortableFile *file = file_of(handle);
    if (file->kind != Kind::range_reader || size > RANGE_BLOCK) {
        file_error = EINVAL;
        return -1;
    }
    int64_t unread = top_up(file, size);
    if (unread < 0)
        return -1;
    uint32_t take = unread < (int64_t)size ? (uint32_t)unread : size;
    for (uint32_t i = 0; i < take; i++)
        static_cast<uint8_t *>(buffer)[i] = file->buffer[file->position + i];
    return (int32_t)take;
}

uint64_t file_delivered(FileHandle handle) { return file_of(handle)->delivered; }

FileHandle memory_writer_open(size_t limit) {
    auto *file = new PortableFile(Kind::memory_writer);
    file->size = limit;
    return file;
}

const uint8_t *memory_writer_data(FileHandle handle, size_t *size) {
    PortableFile *file = file_of(handle);
    *size = file->buffer.size();
    return file->buffer.data();
}

FileHandle counting_writer_open(size_t limit) {
    auto *file = new PortableFile(Kind::counting_writer);
    file->size = limit;
    return file;
}

size_t counting_writer_total(FileHandle handle) { return file_of(handle)->written; }

FileHandle callback_writer_open(WriteCallback callback, void *context) {
    auto *file = new PortableFile(Kind::callback_writer);
    file->callback = callback;
    file->context = context;
    return file;
}

// A writer that holds at most 'limit' bytes takes what still fits.
static int32_t take_within_limit(size_t limit, size_t used, uint32_t size, size_t *take) {
    size_t room = limit - used;
    *take = size < room ? size : room;
    if (*take == 0 && size > 0) {
        file_error = ENOSPC;
        return -1;
    }
    return (int32_t)*take;
}

[[gnu::noinline]] static int32_t read_any(PortableFile *file, uint8_t *out, uint32_t size);

int32_t file_read(void *buffer, uint32_t size, FileHandle handle) {
    file_error = 0;
    PortableFile *file = file_of(handle);
    auto *out = static_cast<uint8_t *>(buffer);
    if (size == 1 && file->kind == Kind::range_reader && file->position < file->filled) {
        *out = file->buffer[file->position++]; // the decoder's one-byte reads
        file->delivered++;
        return 1;
    }
    return read_any(file, out, size);
}

static int32_t read_any(PortableFile *file, uint8_t *out, uint32_t size) {
    switch (file->kind) {
    case Kind::range_reader: {
        uint32_t done = 0;
        while (done < size) {
            int64_t unread = top_up(file, 1);
            if (unread < 0 && done == 0)
                return -1;
            if (unread <= 0)
                break;
            size_t take = size - done < (uint64_t)unread ? size - done : (size_t)unread;
            for (size_t i = 0; i < take; i++)
                out[done + i] = file->buffer[file->position + i];
            file->position += take;
            done += (uint32_t)take;
        }
        file->delivered += done;
        return (int32_t)done;
    }
    case Kind::memory_reader: {
        size_t take = file->size - file->position;
        if (take > size)
            take = size;
        for (size_t i = 0; i < take; i++)
            out[i] = file->data[file->position + i];
        file->position += take;
        return (int32_t)take;
    }
    default:
        break;
    }
    file_error = EBADF;
    return -1;
}

static int32_t write_any(PortableFile *file, const void *buffer, uint32_t size);

int32_t file_write(const void *buffer, uint32_t size, FileHandle handle) {
    file_error = 0;
    PortableFile *file = file_of(handle);
    int32_t written = write_any(file, buffer, size);
    if (written > 0) {
        file->taken.size += (uint32_t)written;
        file->taken.crc32 = crc32_of(file->taken.crc32, buffer, (size_t)written);
    }
    return written;
}

WrittenBytes file_written(FileHandle handle) { return file_of(handle)->taken; }

// The CRC-32 table, then three more for taking four bytes a step: entry i
// of table k is the CRC of byte i followed by k zero bytes.
static const uint32_t *crc32_tables() {
    static const struct Tables {
        Tables() {
            sfx_crc32_table(entries[0]);
            for (int i = 0; i < 256; i++)
                for (int k = 1; k < 4; k++)
                    entries[k][i] = entries[0][entries[k - 1][i] & 0xFF] ^ (entries[k - 1][i] >> 8);
        }
        uint32_t entries[4][256];
    } tables;
    return tables.entries[0];
}

const uint32_t *crc32_table() { return crc32_tables(); }

uint32_t crc32_of(uint32_t crc, const void *data, size_t size) {
    const uint32_t *t = crc32_tables();
    const uint8_t *p = static_cast<const uint8_t *>(data);
    crc = ~crc;
    for (; size >= 4; size -= 4, p += 4) {
        crc ^= (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
        crc = t[768 + (crc & 0xFF)] ^ t[512 + (crc >> 8 & 0xFF)] ^ t[256 + (crc >> 16 & 0xFF)] ^ t[crc >> 24];
    }
    return sfx_crc32_update(t, ~crc, p, size);
}

static int32_t write_any(PortableFile *file, const void *buffer, uint32_t size) {
    auto *in = static_cast<const uint8_t *>(buffer);
    switch (file->kind) {
    case Kind::descriptor:
        return write_descriptor(file, in, size);
    case Kind::memory_writer: {
        size_t take;
        int32_t result = take_within_limit(file->size, file->buffer.size(), size, &take);
        file->buffer.insert(file->buffer.end(), in, in + take);
        return result;
    }
    case Kind::callback_writer:
        if (file->callback(file->context, in, size))
            return (int32_t)size;
        file_error = ECANCELED;
        return -1;
    case Kind::counting_writer: {
        size_t take;
        int32_t result = take_within_limit(file->size, file->written, size, &take);
        file->written += take;
        return result;
    }
    default:
        break;
    }
    file_error = EBADF;
    return -1;
}

int32_t file_seek(FileHandle handle, int32_t distance, int origin) {
    file_error = 0;
    PortableFile *file = file_of(handle);
    if (file->kind != Kind::memory_reader) {
        file_error = ESPIPE;
        return -1;
    }
    int64_t base = origin == 0 ? 0 : origin == 1 ? (int64_t)file->position : (int64_t)file->size;
    int64_t target = base + distance;
    if (target < 0 || target > INT32_MAX) {
        file_error = EINVAL;
        return -1;
    }
    // Past the end reads nothing, as with a file.
    file->position = target > (int64_t)file->size ? file->size : (size_t)target;
    return (int32_t)target;
}

int file_close(FileHandle handle) {
    file_error = 0;
    delete file_of(handle);
    return 0;
}
