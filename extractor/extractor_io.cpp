#include "extractor_io.h"

#include <string.h>

int source_open(PayloadSource *source, HANDLE file, uint64_t offset, uint64_t size) {
    source->file = file;
    source->left = size;
    source->at = source->filled = 0;
    LONG high = (LONG)(offset >> 32);
    SetLastError(NO_ERROR);
    return SetFilePointer(file, (LONG)(uint32_t)offset, &high, FILE_BEGIN) != INVALID_SET_FILE_POINTER ||
           GetLastError() == NO_ERROR;
}

int32_t file_read(void *buffer, uint32_t size, FileHandle handle) {
    PayloadSource *source = (PayloadSource *)handle;
    uint8_t *out = (uint8_t *)buffer;
    uint32_t done = 0;
    while (done < size) {
        if (source->at == source->filled) {
            if (source->left == 0)
                break;
            DWORD want = source->left < sizeof source->buffer ? (DWORD)source->left : sizeof source->buffer, got;
            if (!ReadFile(source->file, source->buffer, want, &got, 0))
                return -1;
            if (got == 0)
                break;
            source->left -= got;
            source->at = 0;
            source->filled = got;
        }
        uint32_t n = source->filled - source->at;
        if (n > size - done)
            n = size - done;
        memcpy(out + done, source->buffer + source->at, n);
        source->at += n;
        done += n;
    }
    return (int32_t)done;
}

int32_t file_write(const void *buffer, uint32_t size, FileHandle handle) {
    PayloadSink *sink = (PayloadSink *)handle;
    return sink->take(sink->context, (const uint8_t *)buffer, size) ? (int32_t)size : -1;
}

void *mem_alloc(uint32_t size) { return GlobalAlloc(GMEM_FIXED, size); }

void mem_free(void *pointer) {
    if (pointer)
        GlobalFree(pointer);
}

void *mem_move(void *dst, const void *src, uint32_t size) { return memmove(dst, src, size); }
