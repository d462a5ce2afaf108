// POSIX and in-memory backing for the decoder's file and memory functions,
// for the Linux tools, tests, fuzzers and benchmarks.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "decoder/decoder_io.h"

// errno of the last failed call, or 0 after a success.
extern int32_t file_error;

// Writes to an open descriptor, which file_close leaves open.
FileHandle file_from_fd(int fd);
// Memory readers only: origin 0, 1, 2 as SEEK_SET, SEEK_CUR, SEEK_END; the
// new position or -1.
int32_t file_seek(FileHandle handle, int32_t distance, int origin);
int file_close(FileHandle handle);

// Reads from caller-owned bytes, which must outlive the handle.
FileHandle memory_reader_open(const void *data, size_t size);
// Reads bytes 'offset' up to 'end' of a descriptor that can seek, a block at
// a time into a buffer of its own, never beyond 'end' (nor the file's end);
// file_close leaves the descriptor open.
FileHandle range_reader_open(int fd, uint64_t offset, uint64_t end);
// Up to 'size' of the bytes a range reader will deliver next, without
// delivering them: the count, or -1.
int32_t file_peek(void *buffer, uint32_t size, FileHandle handle);
// How many bytes a range reader has delivered.
uint64_t file_delivered(FileHandle handle);
// Collects written bytes; a write beyond 'limit' bytes in all comes back short.
FileHandle memory_writer_open(size_t limit);
const uint8_t *memory_writer_data(FileHandle handle, size_t *size);
// Counts and discards what is written, refusing bytes beyond 'limit' like a writer.
FileHandle counting_writer_open(size_t limit);
size_t counting_writer_total(FileHandle handle);
// Hands every write to 'callback', which takes all the bytes (nonzero) or
// refuses them (0: the write fails).
typedef int (*WriteCallback)(void *context, const uint8_t *bytes, uint32_t size);
FileHandle callback_writer_open(WriteCallback callback, void *context);
// What was written through a writer so far: the bytes taken and their CRC-32.
struct WrittenBytes {
    uint64_t size;
    uint32_t crc32;
};
WrittenBytes file_written(FileHandle handle);

// zlib's CRC-32 table, made on first use, and the CRC-32 of 'size' more
// bytes after 'crc' (0 to start).
const uint32_t *crc32_table();
uint32_t crc32_of(uint32_t crc, const void *data, size_t size);
