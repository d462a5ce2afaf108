/* sfx_package.h: for the program inside a packed executable (the stub).
 *
 * Finds the packed executable the stub was unpacked from (the origin, named
 * in the trailer at the end of the stub's own file), the package record in
 * it, and the data that `sfxpack pack --append` placed after the payload,
 * checked against the record's CRC-32. Code signing appends to the packed
 * file; the record still says exactly where the appended data lies.
 *
 * One header and no library: include it from C or C++, with MinGW or MSVC.
 * The record's layout and the CRC-32 need nothing but <stdint.h>; the
 * functions that read files need <windows.h>.
 *
 * The record ends at file offset 32768, where the payload starts; every
 * number little-endian. Version 2 (40 bytes, from offset 32728), which
 * `sfxpack` writes:
 *   0  4  magic "SFXR"
 *   4  2  version, 2
 *   6  2  record size, 40
 *   8  4  stub size: the bytes the payload decodes to
 *  12  4  stub CRC-32
 *  16  4  payload size: the coded payload, count header included
 *  20  4  payload CRC-32
 *  24  4  appended size: the appended data starts at 32768 + payload size
 *  28  4  appended CRC-32
 *  32  4  flags: SFX_FLAG_* below, how the loader runs the stub
 *  36  4  check: CRC-32 of bytes 0 to 35
 * Version 1 (36 bytes, from offset 32732) is the same without the flags:
 * its check, at 32, covers bytes 0 to 31. Both are read; a reader of
 * version 1 alone finds no magic at 32732 in a version-2 file and takes it
 * for a file without a record.
 * CRC-32 is zlib's (polynomial 0xEDB88320, reflected, inverted in and out).
 */
#ifndef SFX_PACKAGE_H
#define SFX_PACKAGE_H

#include <stddef.h>
#include <stdint.h>

#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 199901L)
#define SFX_INLINE static inline
#else
#define SFX_INLINE static __inline /* MSVC's C, and C89 */
#endif

enum {
    SFX_PAYLOAD_OFFSET = 32768,
    SFX_RECORD_SIZE = 40, /* the bytes a reader takes: version 2's, which hold version 1's at their end */
    SFX_RECORD_OFFSET = SFX_PAYLOAD_OFFSET - SFX_RECORD_SIZE,
    SFX_RECORD_VERSION = 2,
    SFX_RECORD_V1_SIZE = 36,
    SFX_RECORD_MAGIC = 0x52584653 /* "SFXR" read as a little-endian number */
};

/* The flags of a version-2 record; version 1 has none (all clear). */
enum {
    /* The loader exits with the stub's exit code, and with SFX_LOADER_FAILED
     * plus its error number when it fails before the stub ran. */
    SFX_FLAG_PASS_EXIT_CODE = 1,
    /* The loader appends its own arguments, as given, to the stub's command
     * line, after the stub's path in quotes. */
    SFX_FLAG_PASS_ARGUMENTS = 2,
    /* No box on failure, from the loader nor from the bundle extractor; the
     * extractor shows no progress window either. */
    SFX_FLAG_SILENT = 4,
    SFX_LOADER_FAILED = 0x20000000 /* the bit Windows leaves to applications' own error numbers */
};

typedef struct SfxRecord {
    uint32_t version; /* 1 or 2, as read; sfx_record_write writes 2 */
    uint32_t flags;
    uint32_t stub_size;
    uint32_t stub_crc32;
    uint32_t payload_size;
    uint32_t payload_crc32;
    uint32_t appended_size;
    uint32_t appended_crc32;
} SfxRecord;

SFX_INLINE void sfx_crc32_table(uint32_t table[256]) {
    uint32_t n, k, c;
    for (n = 0; n < 256; n++) {
        c = n;
        for (k = 0; k < 8; k++)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
}

/* Like zlib's crc32(): start from 0 and feed the pieces in order. */
SFX_INLINE uint32_t sfx_crc32_update(const uint32_t table[256], uint32_t crc, const void *data, size_t size) {
    const unsigned char *p = (const unsigned char *)data;
    crc = ~crc;
    while (size--)
        crc = table[(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

SFX_INLINE uint32_t sfx_get32(const unsigned char *p) {
    return p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

SFX_INLINE void sfx_put32(unsigned char *p, uint32_t v) {
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}

/* Fills *record from the SFX_RECORD_SIZE bytes before the payload offset,
 * then says what they hold:
 * 1: a record of a known version whose check holds;
 * 0: no record (no magic where either version starts);
 * -1: a record that is damaged or of another version. */
SFX_INLINE int sfx_record_read(const uint32_t table[256], const unsigned char bytes[SFX_RECORD_SIZE],
                               SfxRecord *record) {
    const unsigned char *at = bytes;
    uint32_t checked = 36, version_word = SFX_RECORD_VERSION | (uint32_t)SFX_RECORD_SIZE << 16;
    if (sfx_get32(bytes) != SFX_RECORD_MAGIC) {
        at = bytes + SFX_RECORD_SIZE - SFX_RECORD_V1_SIZE;
        checked = 32;
        version_word = 1 | (uint32_t)SFX_RECORD_V1_SIZE << 16;
    }
    record->version = sfx_get32(at + 4) & 0xFFFF;
    record->stub_size = sfx_get32(at + 8);
    record->stub_crc32 = sfx_get32(at + 12);
    record->payload_size = sfx_get32(at + 16);
    record->payload_crc32 = sfx_get32(at + 20);
    record->appended_size = sfx_get32(at + 24);
    record->appended_crc32 = sfx_get32(at + 28);
    record->flags = checked == 36 ? sfx_get32(at + 32) : 0;
    if (sfx_get32(at) != SFX_RECORD_MAGIC)
        return 0;
    if (sfx_get32(at + 4) != version_word ||
        sfx_crc32_update(table, 0, at, checked) != sfx_get32(at + checked))
        return -1;
    return 1;
}

/* Writes a version-2 record, flags included, into the SFX_RECORD_SIZE bytes
 * before the payload offset. */
SFX_INLINE void sfx_record_write(const uint32_t table[256], const SfxRecord *record,
                                 unsigned char bytes[SFX_RECORD_SIZE]) {
    sfx_put32(bytes, SFX_RECORD_MAGIC);
    sfx_put32(bytes + 4, SFX_RECORD_VERSION | (uint32_t)SFX_RECORD_SIZE << 16);
    sfx_put32(bytes + 8, record->stub_size);
    sfx_put32(bytes + 12, record->stub_crc32);
    sfx_put32(bytes + 16, record->payload_size);
    sfx_put32(bytes + 20, record->payload_crc32);
    sfx_put32(bytes + 24, record->appended_size);
    sfx_put32(bytes + 28, record->appended_crc32);
    sfx_put32(bytes + 32, record->flags);
    sfx_put32(bytes + 36, sfx_crc32_update(table, 0, bytes, 36));
}

#ifdef _WIN32
#include <windows.h>

typedef struct SfxPackage {
    char origin_path[MAX_PATH]; /* the packed executable this stub came from */
    SfxRecord record;
    uint64_t appended_offset;   /* where the appended data starts in it */
    uint32_t appended_size;
} SfxPackage;

enum {
    SFX_OK = 0,
    SFX_NO_TRAILER, /* this program's file has no origin trailer: no loader started it */
    SFX_NO_ORIGIN,  /* the packed executable cannot be opened */
    SFX_NO_RECORD,  /* the packed executable has no package record, or a damaged one */
    SFX_DAMAGED     /* the appended data is cut short or does not match its CRC-32 */
};

SFX_INLINE HANDLE sfx_open(const char *path) {
    return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, NULL);
}

/* Up to 'size' bytes from 'offset' of an open file: the count read. */
SFX_INLINE uint32_t sfx_read_at(HANDLE file, uint64_t offset, void *buffer, uint32_t size) {
    LONG high = (LONG)(offset >> 32);
    DWORD done, total = 0;
    SetLastError(NO_ERROR);
    if (SetFilePointer(file, (LONG)(uint32_t)offset, &high, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR)
        return 0;
    while (total < size && ReadFile(file, (char *)buffer + total, size - total, &done, NULL) && done > 0)
        total += done;
    return total;
}

/* The origin path from the trailer of this program's own file: the path's
 * length L in the last two bytes, the path in the L bytes before them. The
 * path is in the ANSI code page (the short 8.3 form where the long one has
 * characters that code page lacks) and opens with CreateFileA. This program's
 * own file is found through the wide API: it may lie in a temporary folder
 * whose name the ANSI code page cannot spell. */
SFX_INLINE int sfx_find_origin(char origin[MAX_PATH]) {
    WCHAR self[MAX_PATH];
    unsigned char tail[2];
    DWORD size, length = GetModuleFileNameW(NULL, self, MAX_PATH);
    HANDLE file;
    int found = 0;
    if (length == 0 || length >= MAX_PATH ||
        (file = CreateFileW(self, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL)) == INVALID_HANDLE_VALUE)
        return 0;
    size = GetFileSize(file, NULL);
    if (size != INVALID_FILE_SIZE && size >= 2 && sfx_read_at(file, size - 2, tail, 2) == 2) {
        length = tail[0] | (DWORD)tail[1] << 8;
        if (length > 0 && length < MAX_PATH && length + 2 <= size &&
            sfx_read_at(file, size - 2 - length, origin, length) == length) {
            origin[length] = 0;
            found = 1;
        }
    }
    CloseHandle(file);
    return found;
}

/* Fills *package for the running stub: SFX_OK when the appended data is
 * there whole and matches its CRC-32, else why not. */
SFX_INLINE int sfx_package_find(SfxPackage *package) {
    uint32_t table[256], crc = 0, done = 0, n;
    unsigned char buffer[4096];
    HANDLE file;
    int result = SFX_NO_RECORD;
    package->appended_offset = 0;
    package->appended_size = 0;
    if (!sfx_find_origin(package->origin_path))
        return SFX_NO_TRAILER;
    if ((file = sfx_open(package->origin_path)) == INVALID_HANDLE_VALUE)
        return SFX_NO_ORIGIN;
    sfx_crc32_table(table);
    if (sfx_read_at(file, SFX_RECORD_OFFSET, buffer, SFX_RECORD_SIZE) == SFX_RECORD_SIZE &&
        sfx_record_read(table, buffer, &package->record) > 0) {
        uint64_t offset = SFX_PAYLOAD_OFFSET + (uint64_t)package->record.payload_size;
        uint32_t size = package->record.appended_size;
        do {
            n = sfx_read_at(file, offset + done, buffer, size - done < sizeof buffer ? size - done : sizeof buffer);
            crc = sfx_crc32_update(table, crc, buffer, n);
            done += n;
        } while (n > 0 && done < size);
        result = done == size && crc == package->record.appended_crc32 ? SFX_OK : SFX_DAMAGED;
        if (result == SFX_OK) {
            package->appended_offset = offset;
            package->appended_size = size;
        }
    }
    CloseHandle(file);
    return result;
}

/* Reads up to 'size' bytes of the appended data, from 'offset' within it,
 * after sfx_package_find succeeded: the count read. */
SFX_INLINE uint32_t sfx_package_read(const SfxPackage *package, uint32_t offset, void *buffer, uint32_t size) {
    HANDLE file;
    uint32_t done = 0;
    if (offset >= package->appended_size)
        return 0;
    if (size > package->appended_size - offset)
        size = package->appended_size - offset;
    if ((file = sfx_open(package->origin_path)) != INVALID_HANDLE_VALUE) {
        done = sfx_read_at(file, package->appended_offset + offset, buffer, size);
        CloseHandle(file);
    }
    return done;
}

SFX_INLINE const char *sfx_package_error(int result) {
    switch (result) {
    case SFX_OK:
        return "ok";
    case SFX_NO_TRAILER:
        return "this program was not started from a packed executable (no origin trailer)";
    case SFX_NO_ORIGIN:
        return "the packed executable cannot be opened";
    case SFX_NO_RECORD:
        return "the packed executable has no intact package record";
    case SFX_DAMAGED:
        return "the data appended to the packed executable is damaged";
    }
    return "unknown result";
}
#endif /* _WIN32 */

#endif /* SFX_PACKAGE_H */
