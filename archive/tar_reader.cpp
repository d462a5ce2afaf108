#include "tar_reader.h"

#include "decoder/decoder_io.h"

// Offsets in a ustar header block.
enum {
    H_NAME = 0, H_NAME_SIZE = 100,
    H_MODE = 100, H_MODE_SIZE = 8,
    H_MTIME = 136, H_MTIME_SIZE = 12,
    H_SIZE = 124, H_SIZE_SIZE = 12,
    H_CHECKSUM = 148, H_CHECKSUM_SIZE = 8,
    H_TYPE = 156,
    H_MAGIC = 257, // "ustar\0" then version "00"
    H_PREFIX = 345, H_PREFIX_SIZE = 155,
};

static const uint64_t SIZE_LIMIT = (uint64_t)1 << 62;

void tar_reader_init(TarReader *reader, const ArchiveSink *sink, int headers_first) {
    uint8_t *bytes = (uint8_t *)reader;
    for (uint32_t i = 0; i < sizeof *reader; i++)
        bytes[i] = 0;
    reader->sink = *sink;
    reader->state = TAR_HEADER;
    reader->headers_first = headers_first;
    name_set_init(&reader->names);
}

void tar_reader_free(TarReader *reader) {
    mem_free(reader->extended);
    reader->extended = 0;
    mem_free(reader->pending);
    reader->pending = 0;
    name_set_free(&reader->names);
}

uint64_t tar_data_start(uint64_t position, uint64_t size) {
    uint64_t align = size >= TAR_ALIGN_FROM ? TAR_BLOCK : size ? 4 : 1; // a power of two: no division
    return (position + align - 1) & ~(align - 1);
}

// An entry of a headers-first stream whose data is still to come, in
// TarReader::pending: this record, then its name and a NUL, rounded up to 8
// bytes.
struct PendingEntry {
    uint64_t size;
    int64_t mtime;
    uint32_t mode, type, name_length, unused;
};

static uint32_t pending_bytes(uint32_t name_length) { return (uint32_t)(sizeof(PendingEntry) + name_length + 8) & ~7u; }

static ArchiveError keep_pending(TarReader *reader) {
    uint32_t need = pending_bytes(reader->entry.name_length);
    if (reader->pending_size - reader->pending_used < need) {
        uint32_t size = reader->pending_size ? reader->pending_size : 4096;
        while (size - reader->pending_used < need) {
            if (size > 0x3FFFFFFF)
                return ARCHIVE_NO_MEMORY;
            size *= 2;
        }
        uint8_t *grown = (uint8_t *)mem_alloc(size);
        if (!grown)
            return ARCHIVE_NO_MEMORY;
        if (reader->pending)
            mem_move(grown, reader->pending, reader->pending_used);
        mem_free(reader->pending);
        reader->pending = grown;
        reader->pending_size = size;
    }
    PendingEntry *kept = (PendingEntry *)(reader->pending + reader->pending_used);
    kept->size = reader->entry.size;
    kept->mtime = reader->entry.mtime;
    kept->mode = reader->entry.mode;
    kept->type = (uint32_t)reader->entry.type;
    kept->name_length = reader->entry.name_length;
    mem_move(kept + 1, reader->name, reader->entry.name_length + 1);
    reader->pending_used += need;
    return ARCHIVE_OK;
}

// The next pending entry into 'entry', and the zeros before its data, or
// the stream's end when none is left.
static void next_pending(TarReader *reader) {
    if (reader->pending_next == reader->pending_used) {
        reader->state = TAR_END;
        return;
    }
    const PendingEntry *kept = (const PendingEntry *)(reader->pending + reader->pending_next);
    reader->pending_next += pending_bytes(kept->name_length);
    mem_move(reader->name, kept + 1, kept->name_length + 1);
    reader->entry.name = reader->name;
    reader->entry.name_length = kept->name_length;
    reader->entry.type = (EntryType)kept->type;
    reader->entry.size = kept->size;
    reader->entry.mode = kept->mode;
    reader->entry.mtime = kept->mtime;
    reader->left = tar_data_start(reader->position, kept->size) - reader->position;
    reader->state = TAR_ALIGN;
}

static ArchiveError pass_on_entry(TarReader *reader) {
    reader->entries++;
    if (!reader->sink.begin(reader->sink.context, &reader->entry))
        return ARCHIVE_REFUSED;
    reader->left = reader->entry.size;
    reader->state = TAR_DATA;
    return ARCHIVE_OK;
}

static ArchiveError fail(TarReader *reader, ArchiveError error) {
    if (reader->state != TAR_FAILED) {
        reader->state = TAR_FAILED;
        reader->error = error;
    }
    return reader->error;
}

// An octal field (spaces before, a space or NUL after), or the base-256 form
// with the top bit set that large sizes use: 1 on success.
static int read_number(const uint8_t *field, uint32_t size, uint64_t *value) {
    uint64_t n = 0;
    uint32_t i = 0;
    if (field[0] & 0x80) {
        if (field[0] != 0x80)
            return 0; // negative, or too large
        for (i = 1; i < size; i++) {
            if (n >> 55)
                return 0;
            n = n << 8 | field[i];
        }
        *value = n;
        return n < SIZE_LIMIT;
    }
    while (i < size && field[i] == ' ')
        i++;
    uint32_t digits = 0;
    for (; i < size && field[i] >= '0' && field[i] <= '7'; i++, digits++)
        n = n << 3 | (uint64_t)(field[i] - '0');
    if (digits == 0 || (i < size && field[i] != ' ' && field[i] != 0))
        return 0;
    *value = n;
    return 1;
}

static int checksum_holds(const uint8_t *block) {
    uint64_t stored;
    if (!read_number(block + H_CHECKSUM, H_CHECKSUM_SIZE, &stored))
        return 0;
    uint32_t sum = 0;
    for (uint32_t i = 0; i < TAR_BLOCK; i++)
        sum += (i >= H_CHECKSUM && i < H_CHECKSUM + H_CHECKSUM_SIZE) ? ' ' : block[i];
    return stored == sum;
}

static uint32_t field_length(const uint8_t *field, uint32_t size) {
    uint32_t n = 0;
    while (n < size && field[n])
        n++;
    return n;
}

static uint32_t padding_after(uint64_t size) { return (uint32_t)((TAR_BLOCK - size % TAR_BLOCK) % TAR_BLOCK); }

// Whether a record's key is 'name' (or, with 'prefix', starts with it).
static int key_is(const char *key, uint32_t length, const char *name, int prefix) {
    uint32_t i = 0;
    while (name[i] && i < length && key[i] == name[i])
        i++;
    return !name[i] && (prefix || i == length);
}

// Takes "LENGTH KEY=VALUE\n" records: path and size; sparse files are not
// supported; other keys (times, owners, charset) change nothing here.
static ArchiveError read_extended(TarReader *reader) {
    const uint8_t *p = reader->extended;
    uint32_t size = reader->extended_size, at = 0;
    while (at < size) {
        uint32_t length = 0, i = at;
        while (i < size && p[i] >= '0' && p[i] <= '9' && length < ARCHIVE_EXTENDED_MAX)
            length = length * 10 + (uint32_t)(p[i++] - '0');
        if (i == at || i >= size || p[i] != ' ' || length <= i + 1 - at || length > size - at ||
            p[at + length - 1] != '\n')
            return ARCHIVE_BAD_HEADER;
        uint32_t key = i + 1, end = at + length - 1, equals = key;
        while (equals < end && p[equals] != '=')
            equals++;
        if (equals == end || equals == key)
            return ARCHIVE_BAD_HEADER;
        const uint8_t *value = p + equals + 1;
        uint32_t key_length = equals - key, value_length = end - equals - 1;
        const char *k = (const char *)p + key;
        if (key_is(k, key_length, "path", 0)) {
            if (value_length > ENTRY_NAME_MAX)
                return ARCHIVE_TOO_LONG;
            for (uint32_t n = 0; n < value_length; n++)
                reader->name[n] = (char)value[n];
            reader->name[value_length] = 0;
            reader->entry.name_length = value_length;
            reader->has_path = 1;
        } else if (key_is(k, key_length, "size", 0)) {
            uint64_t n = 0;
            if (value_length == 0 || value_length > 19)
                return ARCHIVE_BAD_HEADER;
            for (uint32_t d = 0; d < value_length; d++) {
                if (value[d] < '0' || value[d] > '9')
                    return ARCHIVE_BAD_HEADER;
                n = n * 10 + (uint64_t)(value[d] - '0');
            }
            if (n >= SIZE_LIMIT)
                return ARCHIVE_BAD_HEADER;
            reader->pax_size = n;
            reader->has_size = 1;
        } else if (key_is(k, key_length, "GNU.sparse", 1)) {
            reader->has_sparse = 1;
        }
        at += length;
    }
    return ARCHIVE_OK;
}

// The entry's name from the header, unless an extended header gave one:
// ustar's prefix, a '/', and the name field.
static void header_name(TarReader *reader) {
    if (reader->has_path)
        return;
    const uint8_t *b = reader->block;
    uint32_t prefix = field_length(b + H_PREFIX, H_PREFIX_SIZE), name = field_length(b + H_NAME, H_NAME_SIZE), n = 0;
    for (uint32_t i = 0; i < prefix; i++)
        reader->name[n++] = (char)b[H_PREFIX + i];
    if (prefix)
        reader->name[n++] = '/';
    for (uint32_t i = 0; i < name; i++)
        reader->name[n++] = (char)b[H_NAME + i];
    reader->name[n] = 0;
    reader->entry.name_length = n;
}

static ArchiveError begin_entry(TarReader *reader, EntryType type, uint64_t size) {
    header_name(reader);
    reader->has_path = reader->has_size = reader->has_sparse = 0;
    uint32_t length = reader->entry.name_length;
    if (type == ENTRY_DIRECTORY && length > 1 && reader->name[length - 1] == '/')
        reader->name[--length] = 0;
    reader->entry.name = reader->name;
    reader->entry.name_length = length;
    reader->entry.type = type;
    reader->entry.size = size;
    // Mode and time are kept only where they can be read; they never refuse an entry.
    uint64_t number;
    reader->entry.mode = read_number(reader->block + H_MODE, H_MODE_SIZE, &number) ? (uint32_t)(number & 0777)
                         : type == ENTRY_DIRECTORY                             ? 0755
                                                                               : 0644;
    reader->entry.mtime =
        read_number(reader->block + H_MTIME, H_MTIME_SIZE, &number) && number < SIZE_LIMIT ? (int64_t)number : -1;
    if ((reader->name_problem = entry_name_problem(reader->name, length)) != NAME_OK)
        return ARCHIVE_BAD_NAME;
    if ((reader->clash = name_set_add(&reader->names, reader->name, length, type == ENTRY_DIRECTORY)) != CLASH_NONE)
        return reader->clash == CLASH_NO_MEMORY ? ARCHIVE_NO_MEMORY : ARCHIVE_DUPLICATE;
    if (reader->headers_first)
        return keep_pending(reader); // and on to the next header
    reader->padding = padding_after(size);
    return pass_on_entry(reader);
}

static ArchiveError end_entry(TarReader *reader) {
    if (!reader->sink.end(reader->sink.context, &reader->entry))
        return ARCHIVE_REFUSED;
    if (reader->headers_first) {
        reader->state = TAR_NEXT;
        return ARCHIVE_OK;
    }
    reader->left = reader->padding;
    reader->state = TAR_SKIP;
    return ARCHIVE_OK;
}

// A whole header block is in 'block'.
static ArchiveError take_header(TarReader *reader) {
    const uint8_t *b = reader->block;
    uint32_t zeros = 0;
    while (zeros < TAR_BLOCK && b[zeros] == 0)
        zeros++;
    if (zeros == TAR_BLOCK) {
        if (reader->has_path || reader->has_size)
            return ARCHIVE_BAD_HEADER; // an extended header for no entry
        reader->left = TAR_BLOCK;
        reader->state = reader->headers_first ? TAR_CLOSING : TAR_END;
        return ARCHIVE_OK;
    }
    static const char magic[8] = {'u', 's', 't', 'a', 'r', 0, '0', '0'};
    for (uint32_t i = 0; i < 8; i++)
        if (b[H_MAGIC + i] != (uint8_t)magic[i])
            return ARCHIVE_BAD_HEADER;
    uint64_t size;
    if (!checksum_holds(b) || !read_number(b + H_SIZE, H_SIZE_SIZE, &size))
        return ARCHIVE_BAD_HEADER;
    uint8_t type = b[H_TYPE];
    if (type == 'x' || type == 'g') {
        if (reader->has_path || reader->has_size || reader->extended)
            return ARCHIVE_BAD_HEADER; // two extended headers for one entry
        if (size > ARCHIVE_EXTENDED_MAX)
            return ARCHIVE_TOO_LONG;
        reader->padding = padding_after(size);
        if (type == 'g') {
            // Global defaults: nothing in them matters to an extraction.
            reader->left = size + reader->padding;
            reader->state = TAR_SKIP;
            return ARCHIVE_OK;
        }
        reader->extended = (uint8_t *)mem_alloc(size ? (uint32_t)size : 1);
        if (!reader->extended)
            return ARCHIVE_NO_MEMORY;
        reader->extended_size = (uint32_t)size;
        reader->filled = 0;
        reader->state = TAR_EXTENDED;
        return ARCHIVE_OK;
    }
    if (reader->has_size)
        size = reader->pax_size;
    if (type == '1' || type == '2') {
        header_name(reader);
        return ARCHIVE_LINK;
    }
    if (type == '5')
        return size == 0 ? begin_entry(reader, ENTRY_DIRECTORY, 0) : ARCHIVE_BAD_HEADER;
    if ((type == '0' || type == 0 || type == '7') && !reader->has_sparse)
        return begin_entry(reader, ENTRY_FILE, size);
    header_name(reader);
    return ARCHIVE_UNSUPPORTED;
}

static uint32_t smaller(uint64_t a, uint32_t b) { return a < b ? (uint32_t)a : b; }

ArchiveError tar_reader_feed(TarReader *reader, const uint8_t *bytes, uint32_t size) {
    ArchiveError error = ARCHIVE_OK;
    while (reader->state != TAR_FAILED) {
        if (reader->state == TAR_DATA && reader->left == 0) {
            if ((error = end_entry(reader)) != ARCHIVE_OK)
                break;
            continue;
        }
        if (reader->state == TAR_NEXT || (reader->state == TAR_CLOSING && reader->left == 0)) {
            next_pending(reader);
            continue;
        }
        if (reader->state == TAR_ALIGN && reader->left == 0) {
            if ((error = pass_on_entry(reader)) != ARCHIVE_OK)
                break;
            continue;
        }
        if (size == 0)
            return ARCHIVE_OK;
        uint32_t n;
        switch (reader->state) {
        case TAR_HEADER:
            n = smaller(TAR_BLOCK - reader->filled, size);
            for (uint32_t i = 0; i < n; i++)
                reader->block[reader->filled + i] = bytes[i];
            reader->filled += n;
            if (reader->filled == TAR_BLOCK) {
                reader->filled = 0;
                error = take_header(reader);
            }
            break;
        case TAR_EXTENDED:
            n = smaller(reader->extended_size - reader->filled, size);
            for (uint32_t i = 0; i < n; i++)
                reader->extended[reader->filled + i] = bytes[i];
            reader->filled += n;
            if (reader->filled == reader->extended_size) {
                reader->filled = 0;
                error = read_extended(reader);
                mem_free(reader->extended);
                reader->extended = 0;
                reader->left = reader->padding;
                reader->state = TAR_SKIP;
            }
            break;
        case TAR_DATA:
            n = smaller(reader->left, size);
            reader->left -= n;
            if (!reader->sink.data(reader->sink.context, bytes, n))
                error = ARCHIVE_REFUSED;
            break;
        case TAR_SKIP:
            n = smaller(reader->left, size);
            reader->left -= n;
            if (reader->left == 0)
                reader->state = TAR_HEADER;
            break;
        case TAR_CLOSING: // the second end block, and the zeros before a file's data
        case TAR_ALIGN:
            n = smaller(reader->left, size);
            reader->left -= n;
            for (uint32_t i = 0; i < n; i++)
                if (bytes[i])
                    error = ARCHIVE_BAD_HEADER;
            break;
        default: // TAR_END: only zeros may follow
            n = size;
            for (uint32_t i = 0; i < n; i++)
                if (bytes[i])
                    error = ARCHIVE_TRAILING_DATA;
            break;
        }
        if (error != ARCHIVE_OK)
            break;
        reader->position += n;
        bytes += n;
        size -= n;
    }
    return fail(reader, error);
}

ArchiveError tar_reader_finish(TarReader *reader) {
    if (reader->state == TAR_FAILED)
        return reader->error;
    return reader->state == TAR_END ? ARCHIVE_OK : fail(reader, ARCHIVE_TRUNCATED);
}
