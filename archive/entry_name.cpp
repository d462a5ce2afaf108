#include "entry_name.h"

#include "decoder/decoder_io.h"

// The next code point of well-formed UTF-8 (no overlong forms, surrogates or
// values past U+10FFFF): its value, advancing *at, or -1.
static int32_t next_code_point(const uint8_t *p, uint32_t length, uint32_t *at) {
    uint32_t i = *at, c = p[i], need, min;
    if (c < 0x80) {
        *at = i + 1;
        return (int32_t)c;
    }
    if (c >= 0xC2 && c <= 0xDF)
        need = 1, min = 0x80, c &= 0x1F;
    else if (c >= 0xE0 && c <= 0xEF)
        need = 2, min = 0x800, c &= 0x0F;
    else if (c >= 0xF0 && c <= 0xF4)
        need = 3, min = 0x10000, c &= 0x07;
    else
        return -1;
    if (length - i <= need)
        return -1;
    for (uint32_t k = 1; k <= need; k++) {
        if ((p[i + k] & 0xC0) != 0x80)
            return -1;
        c = c << 6 | (p[i + k] & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return -1;
    *at = i + 1 + need;
    return (int32_t)c;
}

int utf8_valid(const char *text, uint32_t length) {
    for (uint32_t at = 0; at < length;)
        if (next_code_point((const uint8_t *)text, length, &at) <= 0)
            return 0;
    return 1;
}

static char upper_ascii(char c) { return c >= 'a' && c <= 'z' ? (char)(c - 32) : c; }

// Windows keeps these names for devices in every folder, with any extension.
static int is_device_name(const char *part, uint32_t length) {
    static const char *const names[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
    uint32_t base = 0;
    while (base < length && part[base] != '.')
        base++;
    while (base > 0 && part[base - 1] == ' ')
        base--;
    for (const char *name : names) {
        uint32_t i = 0;
        while (i < base && name[i] && upper_ascii(part[i]) == name[i])
            i++;
        if (i == base && !name[i])
            return 1;
    }
    if (base < 4 || base > 5)
        return 0;
    char a = upper_ascii(part[0]), b = upper_ascii(part[1]), c = upper_ascii(part[2]);
    int port = (a == 'C' && b == 'O' && c == 'M') || (a == 'L' && b == 'P' && c == 'T');
    if (!port)
        return 0;
    if (base == 4)
        return part[3] >= '0' && part[3] <= '9';
    // COM and LPT with a superscript 1, 2 or 3 in UTF-8.
    return (uint8_t)part[3] == 0xC2 &&
           ((uint8_t)part[4] == 0xB9 || (uint8_t)part[4] == 0xB2 || (uint8_t)part[4] == 0xB3);
}

static NameProblem component_problem(const char *part, uint32_t length) {
    if (length == 0)
        return NAME_EMPTY;
    if (length == 2 && part[0] == '.' && part[1] == '.')
        return NAME_PARENT;
    if (length == 1 && part[0] == '.')
        return NAME_DOT;
    for (uint32_t i = 0; i < length; i++) {
        uint8_t c = (uint8_t)part[i];
        if (c == ':')
            return NAME_STREAM;
        if (c < 0x20 || c == 0x7F || c == '\\' || c == '<' || c == '>' || c == '"' || c == '|' || c == '?' ||
            c == '*')
            return NAME_CHARACTER;
    }
    if (part[length - 1] == '.' || part[length - 1] == ' ')
        return NAME_TRAILING;
    return is_device_name(part, length) ? NAME_DEVICE : NAME_OK;
}

NameProblem entry_name_problem(const char *name, uint32_t length) {
    if (!utf8_valid(name, length))
        return NAME_NOT_UTF8;
    if (length == 0)
        return NAME_EMPTY;
    if (length > ENTRY_NAME_MAX)
        return NAME_TOO_LONG;
    if (name[0] == '/' || name[0] == '\\')
        return NAME_ABSOLUTE;
    // A drive is a letter and ':' alone or before a folder separator; any
    // other ':' ("a:b") names a stream, refused as such below.
    if (length >= 2 && name[1] == ':' && upper_ascii(name[0]) >= 'A' && upper_ascii(name[0]) <= 'Z' &&
        (length == 2 || name[2] == '/' || name[2] == '\\'))
        return NAME_DRIVE;
    uint32_t start = 0;
    for (uint32_t i = 0; i <= length; i++) {
        if (i < length && name[i] != '/')
            continue;
        NameProblem problem = component_problem(name + start, i - start);
        if (problem != NAME_OK)
            return problem;
        start = i + 1;
    }
    return NAME_OK;
}

// Windows takes two names for one when their UTF-16 units are equal after
// its upcase table; the table made from the Unicode Character Database
// holds the same simple uppercase mappings of the Basic Multilingual Plane.
struct CaseRange {
    uint16_t first;
    uint8_t span, step; // every step-th code point from first to first + span
    uint16_t delta;     // added modulo 65536
};
#include "case_table.h"

// Code points past U+FFFF (surrogate pairs in UTF-16, which no upcase table
// changes) lie beyond every range.
static uint32_t fold(uint32_t c) {
    if (c < 0x80) // most names are ASCII: spared the search
        return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c;
    uint32_t low = 0, high = CASE_RANGE_COUNT; // the last range starting at or before c is in [low, high)
    while (high - low > 1) {
        uint32_t middle = (low + high) / 2;
        if (CASE_RANGES[middle].first <= c)
            low = middle;
        else
            high = middle;
    }
    const CaseRange &range = CASE_RANGES[low];
    uint32_t offset = c - range.first;
    if (c < range.first || offset > range.span || offset % range.step)
        return c;
    return (c + range.delta) & 0xFFFF;
}

struct NameSlot {
    uint32_t hash, offset, length; // offset 0 marks a free slot: the pool starts with one unused byte
    uint8_t explicit_entry, is_directory;
};

void name_set_init(NameSet *set) {
    set->pool = 0;
    set->pool_used = set->pool_size = 0;
    set->slots = 0;
    set->slot_count = set->used = 0;
}

void name_set_free(NameSet *set) {
    mem_free(set->pool);
    mem_free(set->slots);
    name_set_init(set);
}

static uint32_t hash_of(const uint8_t *bytes, uint32_t length) {
    uint32_t h = 2166136261u;
    for (uint32_t i = 0; i < length; i++)
        h = (h ^ bytes[i]) * 16777619u;
    return h | 1;
}

static NameSlot *find_slot(NameSet *set, const uint8_t *key, uint32_t length, uint32_t hash) {
    uint32_t mask = set->slot_count - 1;
    for (uint32_t i = hash & mask;; i = (i + 1) & mask) {
        NameSlot *slot = &set->slots[i];
        if (slot->offset == 0)
            return slot;
        if (slot->hash == hash && slot->length == length) {
            const uint8_t *other = set->pool + slot->offset;
            uint32_t k = 0;
            while (k < length && other[k] == key[k])
                k++;
            if (k == length)
                return slot;
        }
    }
}

// Room for 'more_bytes' in the pool and 'more_slots' new names.
static int grow(NameSet *set, uint32_t more_bytes, uint32_t more_slots) {
    if (set->pool_used + more_bytes + 1 > set->pool_size) {
        uint32_t size = set->pool_size ? set->pool_size : 4096;
        while (size < set->pool_used + more_bytes + 1) {
            if (size > 0x7FFFFFFF)
                return 0;
            size *= 2;
        }
        uint8_t *pool = (uint8_t *)mem_alloc(size);
        if (!pool)
            return 0;
        for (uint32_t i = 0; i < set->pool_used; i++)
            pool[i] = set->pool[i];
        if (set->pool_used == 0)
            pool[set->pool_used++] = 0;
        mem_free(set->pool);
        set->pool = pool;
        set->pool_size = size;
    }
    if ((uint64_t)(set->used + more_slots) * 2 > set->slot_count) {
        uint32_t count = set->slot_count ? set->slot_count : 256;
        while ((uint64_t)(set->used + more_slots) * 2 > count) {
            if (count >= 0x4000000)
                return 0;
            count *= 2;
        }
        NameSlot *old = set->slots;
        uint32_t old_count = set->slot_count;
        set->slots = (NameSlot *)mem_alloc(count * (uint32_t)sizeof(NameSlot));
        if (!set->slots) {
            set->slots = old;
            return 0;
        }
        set->slot_count = count;
        for (uint32_t i = 0; i < count; i++)
            set->slots[i].offset = 0;
        for (uint32_t i = 0; i < old_count; i++)
            if (old[i].offset)
                *find_slot(set, set->pool + old[i].offset, old[i].length, old[i].hash) = old[i];
        mem_free(old);
    }
    return 1;
}

// Looks up the folded key of 'length' bytes at the pool's 'offset', and
// keeps a slot for it when it is new; *known tells whether it was not.
static NameClash add_folded(NameSet *set, uint32_t offset, uint32_t length, int is_directory, int explicit_entry,
                            int *known) {
    const uint8_t *key = set->pool + offset;
    uint32_t hash = hash_of(key, length);
    NameSlot *slot = find_slot(set, key, length, hash);
    *known = slot->offset != 0;
    if (!slot->offset) {
        slot->hash = hash;
        slot->offset = offset;
        slot->length = length;
        slot->is_directory = (uint8_t)is_directory;
        slot->explicit_entry = (uint8_t)explicit_entry;
        set->used++;
        return CLASH_NONE;
    }
    if (is_directory != slot->is_directory)
        return CLASH_FILE_PATH;
    if (!is_directory || (explicit_entry && slot->explicit_entry))
        return CLASH_DUPLICATE;
    slot->explicit_entry |= (uint8_t)explicit_entry;
    return CLASH_NONE;
}

uint32_t name_fold(const char *name, uint32_t length, uint8_t *out) {
    uint32_t n = 0;
    const uint8_t *p = (const uint8_t *)name;
    for (uint32_t at = 0; at < length;) {
        uint32_t before = at;
        int32_t c = next_code_point(p, length, &at);
        uint32_t f = c < 0 ? p[at++] : fold((uint32_t)c);
        if (c < 0 || f < 0x80) {
            out[n++] = (uint8_t)f;
        } else if (f < 0x800) {
            out[n++] = (uint8_t)(0xC0 | f >> 6);
            out[n++] = (uint8_t)(0x80 | (f & 0x3F));
        } else if (f < 0x10000) {
            out[n++] = (uint8_t)(0xE0 | f >> 12);
            out[n++] = (uint8_t)(0x80 | (f >> 6 & 0x3F));
            out[n++] = (uint8_t)(0x80 | (f & 0x3F));
        } else {
            while (before < at) // past the plane, as it was
                out[n++] = p[before++];
        }
    }
    return n;
}

NameClash name_set_add(NameSet *set, const char *name, uint32_t length, int is_directory) {
    // The folders a path implies are keyed by the folded name's prefixes.
    uint32_t parts = 1;
    for (uint32_t i = 0; i < length; i++)
        parts += name[i] == '/';
    if (!grow(set, length + length / 2, parts))
        return CLASH_NO_MEMORY;
    uint32_t offset = set->pool_used;
    uint8_t *out = set->pool + offset;
    uint32_t n = name_fold(name, length, out);
    set->pool_used += n;
    // Deepest first: a folder known already came with the folders above it,
    // so a path costs its own length, not its length times its depth.
    int known = 0;
    for (uint32_t i = n; i-- > 0 && !known;)
        if (out[i] == '/') {
            NameClash clash = add_folded(set, offset, i, 1, 0, &known);
            if (clash != CLASH_NONE)
                return clash;
        }
    return add_folded(set, offset, n, is_directory, 1, &known);
}
