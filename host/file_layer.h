// A small stdio-like layer over the Win32 file, heap and byte calls, so the
// loader needs no C runtime. The decoder's file_read, file_write, mem_alloc,
// mem_free and mem_move come from here.
#pragma once
#include <windows.h>

#include "decoder/decoder_io.h"

enum { FILE_ERR_BAD_MODE = -99 };

// GetLastError() after the last failed call, FILE_ERR_BAD_MODE, or 0.
extern int32_t file_error;

// "r..." opens an existing file for reading, "w..." creates or truncates.
HANDLE file_open(const char *path, const char *mode);
// origin 0, 1, 2: FILE_BEGIN, FILE_CURRENT, FILE_END. The new position or -1.
int32_t file_seek(HANDLE handle, int32_t distance, int origin);
int file_close(HANDLE handle);
// 0, or the system error code.
DWORD file_delete(const char *path);

void *mem_fill(void *dst, int value, uint32_t size);
char *str_copy(char *dst, const char *src);
