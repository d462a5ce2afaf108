#include "bundle_format.h"

static uint32_t get16(const uint8_t *p) { return p[0] | (uint32_t)p[1] << 8; }

int bundle_header_read(const uint8_t *bytes, uint32_t size, BundleHeader *header) {
    if (size < BUNDLE_HEADER_SIZE)
        return 0;
    uint32_t magic = bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 | (uint32_t)bytes[3] << 24;
    header->command_length = get16(bytes + 8);
    header->title_length = get16(bytes + 10);
    header->size = BUNDLE_HEADER_SIZE + header->command_length + header->title_length;
    header->command = (const char *)bytes + BUNDLE_HEADER_SIZE;
    header->title = header->command + header->command_length;
    return magic == BUNDLE_MAGIC && get16(bytes + 4) == BUNDLE_VERSION && get16(bytes + 6) == BUNDLE_HEADER_SIZE &&
           header->command_length > 0 && header->command_length <= BUNDLE_COMMAND_MAX &&
           header->title_length <= BUNDLE_TITLE_MAX && header->size <= size;
}

void bundle_header_write(uint32_t command_length, uint32_t title_length, uint8_t out[BUNDLE_HEADER_SIZE]) {
    const uint32_t values[] = {BUNDLE_MAGIC & 0xFFFF, BUNDLE_MAGIC >> 16, BUNDLE_VERSION, BUNDLE_HEADER_SIZE,
                               command_length, title_length};
    for (uint32_t i = 0; i < 6; i++) {
        out[2 * i] = (uint8_t)values[i];
        out[2 * i + 1] = (uint8_t)(values[i] >> 8);
    }
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
