#include "file_layer.h"

#include <string.h>

int32_t file_error;

static int32_t fail_with_last_error() {
    file_error = (int32_t)GetLastError();
    return -1;
}

HANDLE file_open(const char *path, const char *mode) {
    file_error = 0;
    DWORD access, disposition;
    if (mode[0] == 'r') {
        access = GENERIC_READ;
        disposition = OPEN_EXISTING;
    } else if (mode[0] == 'w') {
        access = GENERIC_WRITE;
        disposition = CREATE_ALWAYS;
    } else {
        file_error = FILE_ERR_BAD_MODE;
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, 0, disposition,
                                FILE_ATTRIBUTE_NORMAL, 0);
    if (handle == INVALID_HANDLE_VALUE)
        fail_with_last_error();
    return handle;
}

// Reads go through a buffer in .bss, which costs the file nothing: the
// decoder takes its payload a byte at a time, and every ReadFile is a system
// call. It holds bytes of one handle at a time, from that handle's position
// on; a seek or a close of that handle empties it.
static struct {
    HANDLE handle;
    uint32_t at, filled;
    uint8_t bytes[16384];
} ahead;

int32_t file_read(void *buffer, uint32_t size, FileHandle handle) {
    file_error = 0;
    if (handle != ahead.handle) {
        ahead.handle = handle;
        ahead.at = ahead.filled = 0;
    }
    uint8_t *out = (uint8_t *)buffer, *end = out + size;
    while (out != end) {
        if (ahead.at == ahead.filled) {
            DWORD got;
            if (!ReadFile(handle, ahead.bytes, sizeof ahead.bytes, &got, 0))
                return fail_with_last_error();
            if (got == 0)
                break;
            ahead.at = 0;
            ahead.filled = got;
        }
        *out++ = ahead.bytes[ahead.at++];
    }
    return (int32_t)(out - (uint8_t *)buffer);
}

int32_t file_write(const void *buffer, uint32_t size, FileHandle handle) {
    file_error = 0;
    DWORD done;
    if (!WriteFile(handle, buffer, size, &done, 0))
        return fail_with_last_error();
    return (int32_t)done;
}

int32_t file_seek(HANDLE handle, int32_t distance, int origin) {
    file_error = 0;
    DWORD method = origin == 1 ? FILE_CURRENT : origin == 2 ? FILE_END : FILE_BEGIN;
    if (handle == ahead.handle) {
        // The system's position is past what the buffer still holds.
        if (origin == 1)
            distance -= (int32_t)(ahead.filled - ahead.at);
        ahead.handle = 0;
    }
    DWORD position = SetFilePointer(handle, distance, 0, method);
    if (position == INVALID_SET_FILE_POINTER)
        return fail_with_last_error();
    return (int32_t)position;
}

int file_close(HANDLE handle) {
    file_error = 0;
    if (handle == ahead.handle)
        ahead.handle = 0; // the system may give its number to the next file
    if (!CloseHandle(handle))
        return fail_with_last_error();
    return 0;
}

DWORD file_delete(const char *path) {
    if (DeleteFileA(path))
        return 0;
    file_error = (int32_t)GetLastError();
    return (DWORD)file_error;
}

void *mem_alloc(uint32_t size) { return GlobalAlloc(GMEM_FIXED, size); }

void mem_free(void *pointer) { GlobalFree(pointer); }

// memmove comes from freestanding.cpp in the loader, from the C library in tests.
void *mem_move(void *dst, const void *src, uint32_t size) { return memmove(dst, src, size); }

void *mem_fill(void *dst, int value, uint32_t size) {
    unsigned char *d = (unsigned char *)dst;
    for (uint32_t i = 0; i < size; i++)
        d[i] = (unsigned char)value;
    return dst;
}

char *str_copy(char *dst, const char *src) {
    char *d = dst;
    while ((*d++ = *src++) != 0) {
    }
    return dst;
}
