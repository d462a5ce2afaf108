#include "bundle_format.h"

static uint32_t get16(const uint8_t *p) { return p[0] | (uint32_t)p[1] << 8; }
static uint32_t get32(const uint8_t *p) { return get16(p) | get16(p + 2) << 16; }

static void put(uint8_t *to, uint64_t value, uint32_t bytes) {
    for (uint32_t i = 0; i < bytes; i++)
        to[i] = (uint8_t)(value >> (8 * i));
}

int bundle_header_read(const uint8_t *bytes, uint32_t size, BundleHeader *header) {
    if (size < BUNDLE_V1_HEADER_SIZE || get32(bytes) != BUNDLE_MAGIC)
        return 0;
    header->version = get16(bytes + 4);
    uint32_t fixed = get16(bytes + 6);
    header->command_length = get16(bytes + 8);
    header->title_length = get16(bytes + 10);
    header->target_length = 0;
    header->codec = BUNDLE_CODEC_PAYLOAD;
    header->filter = BUNDLE_FILTER_NONE;
    header->properties = header->dictionary = 0;
    header->archive_size = 0;
    header->flags = 0;
    header->stored_size = header->coded_size = 0;
    header->slice_size = 0;
    header->headers_first = header->version >= BUNDLE_HEADERS_FIRST_VERSION;
    int v4 = header->version >= BUNDLE_TARGET_VERSION, v5 = header->version >= BUNDLE_STORED_VERSION,
        v6 = header->version >= BUNDLE_SLICED_VERSION;
    if (header->version == 1) {
        if (fixed != BUNDLE_V1_HEADER_SIZE)
            return 0;
    } else if (header->version >= 2 && header->version <= BUNDLE_VERSION &&
               fixed == (v6 ? BUNDLE_V6_HEADER_SIZE : v5 ? BUNDLE_V5_HEADER_SIZE : v4 ? BUNDLE_V4_HEADER_SIZE : BUNDLE_HEADER_SIZE) && size >= fixed) {
        header->codec = bytes[12];
        header->filter = bytes[13];
        header->properties = bytes[14];
        header->dictionary = get32(bytes + 16);
        header->archive_size = get32(bytes + 20) | (uint64_t)get32(bytes + 24) << 32;
        header->target_length = v4 ? get16(bytes + 28) : 0;
        header->flags = v4 ? bytes[15] : 0;
        if (v5) {
            header->stored_size = get32(bytes + 30) | (uint64_t)get32(bytes + 34) << 32;
            header->coded_size = get32(bytes + 38) | (uint64_t)get32(bytes + 42) << 32;
            if (header->stored_size == 0 ? !v6 || header->coded_size != 0
                                         : header->stored_size > header->archive_size ||
                                               header->coded_size < (header->version == BUNDLE_VERSION ? 1u : 5u))
                return 0;
        }
        if (v6) {
            header->slice_size = get32(bytes + 46);
            int one_stream = header->slice_size == 0 && header->headers_first;
            if ((!one_stream && (header->slice_size < BUNDLE_SLICE_MIN || header->slice_size % 4096 != 0 ||
                                 header->slice_size >= header->archive_size - header->stored_size)) ||
                header->filter == BUNDLE_FILTER_X86)
                return 0;
        }
        uint32_t lc = header->properties % 9, lp = header->properties / 9 % 5, pb = header->properties / 45;
        uint32_t codec = header->version == BUNDLE_VERSION ? BUNDLE_CODEC_LZMA2 : BUNDLE_CODEC_LZMA;
        uint32_t filters = header->version == 2                    ? BUNDLE_FILTER_X86
                           : header->version < BUNDLE_X64_VERSION ? BUNDLE_FILTER_SPLIT
                                                                  : BUNDLE_FILTER_SPLIT_X64;
        if (header->codec != codec || header->filter > filters || (bytes[15] & ~(v4 ? BUNDLE_FLAG_WAIT_COMMAND : 0)) != 0 ||
            pb > 4 || lc + lp > 4 || header->dictionary < BUNDLE_DICTIONARY_MIN ||
            header->dictionary > BUNDLE_DICTIONARY_MAX)
            return 0;
    } else
        return 0;
    header->size = fixed + header->command_length + header->title_length + header->target_length;
    header->command = (const char *)bytes + fixed;
    header->title = header->command + header->command_length;
    header->target = header->title + header->title_length;
    return (header->command_length > 0 || v4) && header->command_length <= BUNDLE_COMMAND_MAX &&
           header->title_length <= BUNDLE_TITLE_MAX && header->target_length <= BUNDLE_TARGET_MAX &&
           header->size <= size;
}

static uint8_t *put_text(uint8_t *to, const char *text, uint32_t length) {
    for (uint32_t i = 0; i < length; i++)
        *to++ = (uint8_t)text[i];
    return to;
}

uint32_t bundle_header_write(const BundleHeader *header, uint8_t *out) {
    int v9 = header->codec == BUNDLE_CODEC_LZMA2, v8 = v9 || header->filter == BUNDLE_FILTER_SPLIT_X64;
    int v7 = v8 || header->headers_first != 0;
    int v6 = v7 || header->slice_size > 0, v5 = v6 || header->stored_size > 0;
    int v4 = v5 || header->command_length == 0 || header->target_length > 0 || header->flags != 0;
    uint32_t fixed = v6   ? BUNDLE_V6_HEADER_SIZE
                     : v5 ? BUNDLE_V5_HEADER_SIZE
                     : v4 ? BUNDLE_V4_HEADER_SIZE
                          : BUNDLE_HEADER_SIZE;
    if (out) {
        put(out, BUNDLE_MAGIC, 4);
        put(out + 4,
            v9   ? BUNDLE_VERSION
            : v8 ? BUNDLE_X64_VERSION
            : v7 ? BUNDLE_HEADERS_FIRST_VERSION
            : v6 ? BUNDLE_SLICED_VERSION
            : v5 ? BUNDLE_STORED_VERSION
            : v4 ? BUNDLE_TARGET_VERSION
                 : BUNDLE_COMMAND_VERSION,
            2);
        put(out + 6, fixed, 2);
        put(out + 8, header->command_length, 2);
        put(out + 10, header->title_length, 2);
        out[12] = v9 ? BUNDLE_CODEC_LZMA2 : BUNDLE_CODEC_LZMA;
        out[13] = (uint8_t)header->filter;
        out[14] = (uint8_t)header->properties;
        out[15] = (uint8_t)header->flags;
        put(out + 16, header->dictionary, 4);
        put(out + 20, header->archive_size, 8);
        if (v4)
            put(out + 28, header->target_length, 2);
        if (v5) {
            put(out + 30, header->stored_size, 8);
            put(out + 38, header->coded_size, 8);
        }
        if (v6)
            put(out + 46, header->slice_size, 4);
        put_text(put_text(put_text(out + fixed, header->command, header->command_length), header->title,
                          header->title_length),
                 header->target, header->target_length);
    }
    return fixed + header->command_length + header->title_length + header->target_length;
}

uint32_t chunk_header_size(uint8_t control) {
    if (control == CHUNK_END)
        return 1;
    if (control < CHUNK_CODED)
        return control == CHUNK_STORED_RESET || control == CHUNK_STORED ? CHUNK_STORED_HEADER : 0;
    return (control >> 5 & 3) >= CHUNK_RESET_STATE_PROPERTIES ? CHUNK_HEADER_MAX : CHUNK_HEADER_MAX - 1;
}

static int is_blank(char c) { return c == ' ' || c == '\t'; }

NameProblem command_split(const char *command, uint32_t length, CommandParts *parts) {
    uint32_t at = 0, start, end;
    while (at < length && is_blank(command[at]))
        at++;
    if (at < length && command[at] == '"') {
        start = ++at;
        while (at < length && command[at] != '"')
            at++;
        if (at == length)
            return NAME_EMPTY; // an unclosed quote
        end = at++;
    } else {
        start = at;
        while (at < length && !is_blank(command[at]) && command[at] != '"')
            at++;
        end = at;
    }
    while (at < length && is_blank(command[at]))
        at++;
    parts->arguments = command + at;
    parts->arguments_length = length - at;
    parts->program_length = 0;
    parts->program[0] = 0;
    if (end - start > ENTRY_NAME_MAX)
        return NAME_TOO_LONG;
    for (uint32_t i = start; i < end; i++)
        parts->program[i - start] = command[i] == '\\' ? '/' : command[i];
    parts->program[end - start] = 0;
    parts->program_length = end - start;
    return entry_name_problem(parts->program, parts->program_length);
}

int name_has_extension(const char *name, uint32_t length, const char *extension) {
    uint32_t n = 0;
    while (extension[n])
        n++;
    if (length < n)
        return 0;
    for (uint32_t i = 0; i < n; i++) {
        char c = name[length - n + i];
        if ((c >= 'A' && c <= 'Z' ? (char)(c + 32) : c) != extension[i])
            return 0;
    }
    return 1;
}

int command_system_program(const CommandParts *parts) {
    int dots = 0;
    for (uint32_t i = 0; i < parts->program_length; i++) {
        if (parts->program[i] == '/')
            return 0;
        dots += parts->program[i] == '.';
    }
    return parts->program_length > 0 &&
           (dots == 0 || (dots == 1 && name_has_extension(parts->program, parts->program_length, ".exe")));
}
