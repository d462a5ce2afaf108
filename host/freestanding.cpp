// The compiler may emit calls to these for struct copies and clears even
// without a C runtime, so the loader carries its own.
#include <stddef.h>

extern "C" {

void *memcpy(void *dst, const void *src, size_t size) {
    unsigned char *d = (unsigned char *)dst;
    const unsigned char *s = (const unsigned char *)src;
    while (size--)
        *d++ = *s++;
    return dst;
}

void *memmove(void *dst, const void *src, size_t size) {
    unsigned char *d = (unsigned char *)dst;
    const unsigned char *s = (const unsigned char *)src;
    if (s < d && s + size > d) {
        while (size--)
            d[size] = s[size];
        return dst;
    }
    return memcpy(dst, src, size);
}

void *memset(void *dst, int value, size_t size) {
    unsigned char *d = (unsigned char *)dst;
    while (size--)
        *d++ = (unsigned char)value;
    return dst;
}
}
