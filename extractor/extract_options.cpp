#include "extract_options.h"

static int is_blank(wchar_t c) { return c == ' ' || c == '\t'; }

static wchar_t lower(wchar_t c) { return c >= 'A' && c <= 'Z' ? (wchar_t)(c + 32) : c; }

// Whether 'p' starts with 'word' (lower-case ASCII) in any case: its length, else 0.
static uint32_t starts_with(const wchar_t *p, const char *word) {
    uint32_t i = 0;
    while (word[i] && lower(p[i]) == (wchar_t)word[i])
        i++;
    return word[i] ? 0 : i;
}

// The end of the argument at 'p': the first blank outside quotes.
static const wchar_t *argument_end(const wchar_t *p) {
    for (int quoted = 0; *p && (quoted || !is_blank(*p)); p++)
        quoted ^= *p == '"';
    return p;
}

// Whether 'text' is 'word' (lower-case ASCII) in any case.
static int is_word(const wchar_t *text, const char *word) {
    uint32_t n = starts_with(text, word);
    return n && !text[n];
}

static const char *const NAMES[] = {"silent", "keep", "help", "extract", "overwrite", "nowait"};
static const char *const OVERWRITE_VALUES[] = {"ask", "always", "never"};
enum { NAMES_COUNT = sizeof NAMES / sizeof *NAMES, EXTRACT = 3, OVERWRITE = 4 };

int sfx_switches_parse(const wchar_t *arguments, SfxSwitches *out, wchar_t *folder, uint32_t capacity) {
    int *flags[NAMES_COUNT] = {&out->silent, &out->keep, &out->help, &out->extract, &out->overwrite, &out->nowait};
    for (int *flag : flags)
        *flag = 0;
    out->folder = 0;
    const wchar_t *p = arguments;
    while (is_blank(*p))
        p++;
    uint32_t used = 0; // characters of 'folder' that DIR and its NUL take
    for (;;) {
        // The argument without its quotes, in 'folder' after DIR.
        const wchar_t *end = argument_end(p);
        wchar_t *text = folder + used;
        uint32_t n = 0;
        int whole = 1;
        for (const wchar_t *c = p; c < end && whole; c++) {
            if (*c == '"')
                continue;
            if (n + 1 < capacity - used)
                text[n++] = *c;
            else
                whole = 0;
        }
        text[n] = 0;
        uint32_t prefix = starts_with(text, "/sfx:");
        if (!prefix)
            break;
        out->bad = p;
        out->bad_length = (uint32_t)(end - p);
        const wchar_t *name = text + prefix;
        unsigned which = 0;
        uint32_t length = 0;
        while (which < NAMES_COUNT && (!(length = starts_with(name, NAMES[which])) || (name[length] && name[length] != '=')))
            which++;
        if (which == NAMES_COUNT || *flags[which])
            return 0;
        const wchar_t *value = name[length] == '=' ? name + length + 1 : 0;
        if (which == EXTRACT && value) {
            if (!*value || !whole)
                return 0;
            uint32_t v = 0;
            do
                text[v] = value[v];
            while (value[v++]);
            out->folder = text;
            used += v;
        } else if (which == OVERWRITE) {
            for (int v = 0; v < 3 && value && !*flags[which]; v++)
                if (is_word(value, OVERWRITE_VALUES[v]))
                    *flags[which] = OVERWRITE_ASK + v;
            if (!*flags[which])
                return 0;
        } else if (value) {
            return 0;
        }
        if (!*flags[which])
            *flags[which] = 1;
        for (p = end; is_blank(*p);)
            p++;
    }
    out->bad = 0;
    out->bad_length = 0;
    out->rest = p;
    return 1;
}

static uint32_t length_of(const wchar_t *text) {
    uint32_t n = 0;
    while (text[n])
        n++;
    return n;
}

static int is_separator(wchar_t c) { return c == '\\' || c == '/'; }

uint32_t target_path(const wchar_t *file, const wchar_t *target, wchar_t *out, uint32_t capacity) {
    uint32_t file_length = length_of(file), target_length = length_of(target), folder = file_length, n = 0;
    while (folder > 0 && !is_separator(file[folder - 1]))
        folder--;
    const wchar_t *parts[2] = {file, target};
    uint32_t lengths[2] = {folder, target_length};
    if (is_separator(target[0]) || (target[0] && target[1] == ':')) {
        parts[0] = L"", lengths[0] = 0; // absolute, or from the drive's root
    } else if (!target_length) {
        uint32_t dot = file_length;
        while (dot > folder && file[dot - 1] != '.')
            dot--;
        lengths[0] = dot > folder + 1 ? dot - 1 : file_length;
        parts[1] = dot > folder + 1 ? L"" : L"_files", lengths[1] = length_of(parts[1]);
    }
    for (int i = 0; i < 2; i++)
        for (uint32_t c = 0; c < lengths[i]; c++) {
            if (n + 1 >= capacity)
                return 0;
            out[n++] = parts[i][c];
        }
    out[n] = 0;
    return n;
}
