#include "portable_io.h"

#include <errno.h>
#include <unistd.h>

#include <vector>

#include "include/sfx_package.h"

int32_t file_error;

namespace {

enum class Kind { descriptor, memory_reader, memory_writer, counting_writer };

struct PortableFile {
    explicit PortableFile(Kind k) : kind(k) {}
    Kind kind;
    int fd = -1;                   // descriptor writer; never closed here
    std::vector<uint8_t> buffer;   // memory writer's bytes
    const uint8_t *data = nullptr; // memory reader
    size_t position = 0;           // memory reader
    size_t size = 0;               // reader: data size; writers: limit
    size_t written = 0;            // counting writer
    WrittenBytes taken{0, 0};      // every writer: what it took
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

int32_t file_read(void *buffer, uint32_t size, FileHandle handle) {
    file_error = 0;
    PortableFile *file = file_of(handle);
    auto *out = static_cast<uint8_t *>(buffer);
    switch (file->kind) {
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

const uint32_t *crc32_table() {
    static const struct Table {
        Table() { sfx_crc32_table(entries); }
        uint32_t entries[256];
    } table;
    return table.entries;
}

uint32_t crc32_of(uint32_t crc, const void *data, size_t size) {
    return sfx_crc32_update(crc32_table(), crc, data, size);
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
