#include "portable_io.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "include/sfx_package.h"

int32_t file_error;

namespace {

enum class Kind { descriptor, memory_reader, memory_writer, counting_writer };

// The decoder asks for one byte at a time; reads are served from 'buffer'.
constexpr size_t READ_BUFFER_SIZE = 64 * 1024;

struct PortableFile {
    explicit PortableFile(Kind k) : kind(k) {}
    Kind kind;
    int fd = -1;
    bool owns_fd = false;
    std::vector<uint8_t> buffer;  // descriptor read-ahead, or the writer's bytes
    size_t buffer_pos = 0;
    size_t buffer_len = 0;
    const uint8_t *data = nullptr; // memory reader
    size_t size = 0;               // reader: data size; writers: limit
    size_t written = 0;            // counting writer
    WrittenBytes taken{0, 0};      // every writer: what it took
};

PortableFile *file_of(FileHandle handle) { return static_cast<PortableFile *>(handle); }

int32_t fail_with_errno() {
    file_error = errno;
    return -1;
}

int32_t read_descriptor(PortableFile *file, uint8_t *out, uint32_t size) {
    uint32_t done = 0;
    while (done < size) {
        if (file->buffer_pos == file->buffer_len) {
            if (size - done >= READ_BUFFER_SIZE) {
                ssize_t n = read(file->fd, out + done, size - done);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    return done ? (int32_t)done : fail_with_errno();
                if (n == 0)
                    break;
                done += (uint32_t)n;
                continue;
            }
            ssize_t n = read(file->fd, file->buffer.data(), READ_BUFFER_SIZE);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return done ? (int32_t)done : fail_with_errno();
            if (n == 0)
                break;
            file->buffer_pos = 0;
            file->buffer_len = (size_t)n;
        }
        size_t take = file->buffer_len - file->buffer_pos;
        if (take > size - done)
            take = size - done;
        for (size_t i = 0; i < take; i++)
            out[done + i] = file->buffer[file->buffer_pos + i];
        file->buffer_pos += take;
        done += (uint32_t)take;
    }
    return (int32_t)done;
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

FileHandle file_from_fd(int fd, int owns_fd) {
    auto *file = new PortableFile(Kind::descriptor);
    file->fd = fd;
    file->owns_fd = owns_fd != 0;
    file->buffer.resize(READ_BUFFER_SIZE);
    return file;
}

FileHandle file_open(const char *path, const char *mode) {
    file_error = 0;
    int flags;
    if (mode[0] == 'r')
        flags = O_RDONLY;
    else if (mode[0] == 'w')
        flags = O_WRONLY | O_CREAT | O_TRUNC;
    else {
        file_error = FILE_ERR_BAD_MODE;
        return FILE_INVALID;
    }
    int fd = open(path, flags | O_CLOEXEC, 0666);
    if (fd < 0) {
        file_error = errno;
        return FILE_INVALID;
    }
    return file_from_fd(fd, 1);
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
    case Kind::descriptor:
        return read_descriptor(file, out, size);
    case Kind::memory_reader: {
        size_t take = file->size - file->buffer_pos;
        if (take > size)
            take = size;
        for (size_t i = 0; i < take; i++)
            out[i] = file->data[file->buffer_pos + i];
        file->buffer_pos += take;
        return (int32_t)take;
    }
    case Kind::memory_writer:
    case Kind::counting_writer:
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
    case Kind::memory_reader:
        break;
    }
    file_error = EBADF;
    return -1;
}

int32_t file_seek(FileHandle handle, int32_t distance, int origin) {
    file_error = 0;
    PortableFile *file = file_of(handle);
    if (file->kind == Kind::memory_writer || file->kind == Kind::counting_writer) {
        file_error = ESPIPE;
        return -1;
    }
    if (file->kind == Kind::memory_reader) {
        int64_t base = origin == 0 ? 0 : origin == 1 ? (int64_t)file->buffer_pos : (int64_t)file->size;
        int64_t target = base + distance;
        if (target < 0 || target > INT32_MAX) {
            file_error = EINVAL;
            return -1;
        }
        // Past the end reads nothing, as with a file.
        file->buffer_pos = target > (int64_t)file->size ? file->size : (size_t)target;
        return (int32_t)target;
    }
    off_t offset = distance;
    if (origin == 1)
        offset -= (off_t)(file->buffer_len - file->buffer_pos);
    int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END;
    off_t result = lseek(file->fd, offset, whence);
    if (result < 0)
        return fail_with_errno();
    file->buffer_pos = file->buffer_len = 0;
    if (result > INT32_MAX) {
        file_error = EOVERFLOW;
        return -1;
    }
    return (int32_t)result;
}

int file_close(FileHandle handle) {
    file_error = 0;
    PortableFile *file = file_of(handle);
    int result = 0;
    if (file->kind == Kind::descriptor && file->owns_fd && close(file->fd) != 0)
        result = fail_with_errno();
    delete file;
    return result;
}
