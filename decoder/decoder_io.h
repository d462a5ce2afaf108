// The decoder's only contact with the outside world. Each platform links one
// implementation of these: host/ on Windows, portable/ on POSIX and in tests.
#pragma once
#include <stddef.h>
#include <stdint.h>

// A file handle is opaque to the decoder; FILE_INVALID marks a failed open,
// matching INVALID_HANDLE_VALUE on Windows.
typedef void *FileHandle;
#define FILE_INVALID ((FileHandle)(intptr_t)-1)

// The two process-wide handles decode_payload reads and writes.
extern FileHandle payload_in;
extern FileHandle payload_out;

// Byte counts or -1 on failure; a short count is not an error by itself.
int32_t file_read(void *buffer, uint32_t size, FileHandle handle);
int32_t file_write(const void *buffer, uint32_t size, FileHandle handle);

void *mem_alloc(uint32_t size);
void mem_free(void *pointer);
void *mem_move(void *dst, const void *src, uint32_t size);
