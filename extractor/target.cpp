#include "target.h"

#include "extract_options.h"

// RtlGenRandom, exported by ADVAPI32 under this name.
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG size);

// What a run made, in the order it made it: each record is a Record, the
// name (relative to the folder, UTF-16, no NUL) and, in its last 4 bytes,
// its whole size, so that the records can be walked back to front too.
enum {
    RECORD_FOLDER = 1,  // a folder this run made
    RECORD_FILE = 2,    // a file written under its temporary name
    RECORD_REPLACE = 4, // ... whose name a file had before
    RECORD_ASIDE = 8,   // ... which is now under its ".old" name
    RECORD_PLACED = 16, // ... and the new one under its own
};
struct Record {
    uint32_t kind, number;
    int64_t mtime; // a folder's, or -1
    uint32_t length, reserved;
};

static uint32_t made_above; // where in the text the folders this run made above the root begin, or 0

static Record *record_at(Placement *placement, uint32_t at) { return (Record *)(placement->records + at); }
static uint32_t record_size(uint32_t length) { return (sizeof(Record) + 2 * length + 4 + 7) & ~7u; }

// Adds a record for what 'path' names: 1, or 0 without memory.
static int add_record(Placement *placement, FolderPath *path, uint32_t kind, uint32_t number, int64_t mtime) {
    uint32_t length = path->length - path->root - 1, size = record_size(length);
    if (placement->used + size > placement->room) {
        uint32_t room = placement->room * 2 + size + 4096;
        HANDLE heap = GetProcessHeap();
        void *grown = placement->records ? HeapReAlloc(heap, 0, placement->records, room) : HeapAlloc(heap, 0, room);
        if (!grown)
            return 0;
        placement->records = (uint8_t *)grown;
        placement->room = room;
    }
    Record *record = record_at(placement, placement->used);
    record->kind = kind;
    record->number = number;
    record->mtime = mtime;
    record->length = length;
    wchar_t *name = (wchar_t *)(record + 1);
    for (uint32_t i = 0; i < length; i++)
        name[i] = path->text[path->root + 1 + i];
    placement->used += size;
    *(uint32_t *)(placement->records + placement->used - 4) = size;
    return 1;
}

static void end_text(FolderPath *path, uint32_t length) {
    path->length = length;
    path->text[length] = 0;
}

// Sets 'path' to the record's name, or with 'suffix' (".tmp", ".old") to its
// temporary name beside it: "~sfx" + the run's mark + "-" + its number.
static void set_to(Placement *placement, FolderPath *path, const Record *record, const wchar_t *suffix) {
    uint32_t at = path->root;
    path->text[at++] = '\\';
    const wchar_t *name = (const wchar_t *)(record + 1);
    for (uint32_t i = 0; i < record->length; i++)
        path->text[at++] = name[i];
    if (suffix) {
        while (path->text[at - 1] != '\\')
            at--;
        const wchar_t *parts[] = {L"~sfx", placement->mark, L"-"};
        for (const wchar_t *part : parts)
            while (*part)
                path->text[at++] = *part++;
        for (int shift = 28; shift >= 0; shift -= 4)
            path->text[at++] = L"0123456789abcdef"[record->number >> shift & 15];
        while (*suffix)
            path->text[at++] = *suffix++;
    }
    end_text(path, at);
}

static PlaceResult fail(Placement *placement, ExtractError error) {
    placement->error = error;
    return PLACE_FAILED;
}

// What is there already, which this run did not make, by its attributes:
// PLACE_OK for a folder (or a file, with 'file_allowed'), else why it may
// not be used: a link or junction is never gone through nor replaced.
static PlaceResult check_there(Placement *placement, DWORD attributes, int file_allowed) {
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return fail(placement, EXTRACT_REPARSE);
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) || file_allowed ? PLACE_OK : fail(placement, EXTRACT_CREATE);
}

typedef DWORD(WINAPI *FinalPathFn)(HANDLE, LPWSTR, DWORD, DWORD);

// The full path the system reaches for 'path', links followed, in 'out'
// (FOLDER_PATH_MAX characters): its length, or 0.
static uint32_t final_path(FinalPathFn final, const wchar_t *path, wchar_t *out) {
    HANDLE file = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, 0);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    DWORD n = final(file, out, FOLDER_PATH_MAX, 0);
    CloseHandle(file);
    return n < FOLDER_PATH_MAX ? n : 0;
}

// Whether the file 'path' names leads somewhere else than its folder and its
// name: a link that a system shows as the file it names, without the
// attribute (Wine does so). Where the system cannot say (before Vista), no.
static int leads_elsewhere(FolderPath *path) {
    static wchar_t reached[FOLDER_PATH_MAX], folder[FOLDER_PATH_MAX];
    FinalPathFn final =
        (FinalPathFn)(void *)GetProcAddress(GetModuleHandleA("KERNEL32.DLL"), "GetFinalPathNameByHandleW");
    if (!final)
        return 0;
    uint32_t slash = path->length;
    while (path->text[--slash] != '\\') {
    }
    uint32_t n = final_path(final, path->text, reached);
    path->text[slash] = 0;
    uint32_t m = final_path(final, path->text, folder);
    path->text[slash] = '\\';
    if (n == 0 || m == 0 || n <= m || reached[m] != '\\' || lstrcmpiW(reached + m + 1, path->text + slash + 1) != 0)
        return 1;
    reached[m] = 0;
    return lstrcmpW(reached, folder) != 0;
}

PlaceResult place_open(Placement *placement, FolderPath *path, const wchar_t *full, int overwrite) {
    placement->records = 0;
    placement->used = placement->room = placement->files = placement->kept = 0;
    placement->overwrite = overwrite;
    made_above = 0;
    uint8_t random[4];
    if (!SystemFunction036(random, sizeof random))
        return fail(placement, EXTRACT_TARGET);
    for (int i = 0; i < 8; i++)
        placement->mark[i] = L"0123456789abcdef"[random[i / 2] >> (i % 2 ? 0 : 4) & 15];
    placement->mark[8] = 0;
    if (!folder_open(path, full))
        return fail(placement, EXTRACT_TARGET);
    DWORD attributes = GetFileAttributesW(path->text);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (check_there(placement, attributes, 0) == PLACE_OK)
            return PLACE_OK;
        return placement->error == EXTRACT_REPARSE ? PLACE_FAILED : fail(placement, EXTRACT_TARGET);
    }
    // Up to the deepest folder there, then down again making the rest.
    uint32_t at = path->root;
    for (;;) {
        wchar_t kept = path->text[at];
        path->text[at] = 0;
        int made = CreateDirectoryW(path->text, 0);
        DWORD why = GetLastError();
        path->text[at] = kept;
        if (made)
            break;
        if (why != ERROR_PATH_NOT_FOUND)
            return fail(placement, EXTRACT_TARGET);
        while (at > 4 && path->text[--at] != '\\') {
        }
        if (at <= 7) // no further than "\\?\C:\"
            return fail(placement, EXTRACT_TARGET);
    }
    made_above = at;
    while (path->text[--made_above] != '\\') {
    }
    while (at < path->root) {
        while (++at < path->root && path->text[at] != '\\') {
        }
        wchar_t kept = path->text[at];
        path->text[at] = 0;
        int made = CreateDirectoryW(path->text, 0);
        path->text[at] = kept;
        if (!made) {
            place_abandon(placement, path);
            return fail(placement, EXTRACT_TARGET);
        }
    }
    return PLACE_OK;
}

PlaceResult place_folders(Placement *placement, FolderPath *path, int whole, int64_t mtime) {
    uint32_t target = path->length;
    if (!whole)
        while (target > path->made && path->text[target] != '\\')
            target--;
    for (uint32_t at = path->made; at < target;) {
        while (++at < target && path->text[at] != '\\') {
        }
        wchar_t kept = path->text[at];
        uint32_t length = path->length;
        end_text(path, at);
        PlaceResult result = PLACE_OK;
        if (CreateDirectoryW(path->text, 0)) {
            if (!add_record(placement, path, RECORD_FOLDER, 0, at == target && whole ? mtime : -1)) {
                RemoveDirectoryW(path->text);
                result = fail(placement, EXTRACT_MEMORY);
            }
        } else {
            DWORD attributes = GetLastError() == ERROR_ALREADY_EXISTS ? GetFileAttributesW(path->text)
                                                                      : INVALID_FILE_ATTRIBUTES;
            result = attributes == INVALID_FILE_ATTRIBUTES ? fail(placement, EXTRACT_CREATE)
                                                           : check_there(placement, attributes, 0);
        }
        path->text[at] = kept;
        path->length = length;
        if (result != PLACE_OK)
            return result;
        path->made = at;
    }
    return PLACE_OK;
}

PlaceResult place_file(Placement *placement, FolderPath *path, const char *name, uint32_t name_length, HANDLE *file) {
    *file = INVALID_HANDLE_VALUE;
    PlaceResult result = place_folders(placement, path, 0, -1);
    if (result != PLACE_OK)
        return result;
    uint32_t kind = RECORD_FILE;
    DWORD attributes = GetFileAttributesW(path->text);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if ((result = check_there(placement, attributes, 1)) != PLACE_OK)
            return result;
        if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            return fail(placement, EXTRACT_CREATE);
        if (leads_elsewhere(path))
            return fail(placement, EXTRACT_REPARSE);
        if (placement->overwrite == OVERWRITE_ASK) {
            int answer = ask_replace(name, name_length);
            if (answer == IDCANCEL)
                return PLACE_CANCELLED;
            placement->overwrite = answer == IDYES ? OVERWRITE_ALWAYS : OVERWRITE_NEVER;
        }
        if (placement->overwrite == OVERWRITE_NEVER) {
            placement->kept++;
            return PLACE_OK;
        }
        kind |= RECORD_REPLACE;
    } else if (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND) {
        return fail(placement, EXTRACT_CREATE);
    }
    // The record first, for the temporary name; dropped when the file cannot be made.
    uint32_t at = placement->used;
    if (!add_record(placement, path, kind, placement->files, -1))
        return fail(placement, EXTRACT_MEMORY);
    const Record *record = record_at(placement, at);
    set_to(placement, path, record, L".tmp");
    *file = CreateFileW(path->text, GENERIC_WRITE, 0, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, 0);
    set_to(placement, path, record, 0);
    if (*file == INVALID_HANDLE_VALUE) {
        placement->used = at;
        return fail(placement, EXTRACT_CREATE);
    }
    placement->files++;
    return PLACE_OK;
}

int place_file_end(HANDLE file, int64_t mtime) {
    // Seconds since 1970 as 100-nanosecond steps since 1601.
    uint64_t steps = ((uint64_t)mtime + 11644473600ull) * 10000000ull;
    FILETIME time = {(DWORD)steps, (DWORD)(steps >> 32)};
    int stamped = mtime < 0 || SetFileTime(file, 0, 0, &time);
    return CloseHandle(file) && stamped;
}

// Calls 'each' for every record, front to back or back to front: 1, or 0
// with the record where 'each' said stop.
static int for_each_record(Placement *placement, int backwards, int (*each)(Placement *, FolderPath *, Record *),
                           FolderPath *path, Record **stopped) {
    for (uint32_t at = backwards ? placement->used : 0; backwards ? at > 0 : at < placement->used;) {
        if (backwards)
            at -= *(uint32_t *)(placement->records + at - 4);
        Record *record = record_at(placement, at);
        if (!each(placement, path, record)) {
            *stopped = record;
            return 0;
        }
        if (!backwards)
            at += record_size(record->length);
    }
    return 1;
}

// Renames the record's file from one of its names to another: 1, or 0.
static int rename_record(Placement *placement, FolderPath *path, const Record *record, const wchar_t *from,
                         const wchar_t *to) {
    static wchar_t first[FOLDER_PATH_MAX];
    set_to(placement, path, record, from);
    for (uint32_t i = 0; i <= path->length; i++)
        first[i] = path->text[i];
    set_to(placement, path, record, to);
    return MoveFileExW(first, path->text, 0);
}

// A new file in place, the one there before put aside first.
static int put_in_place(Placement *placement, FolderPath *path, Record *record) {
    if (!(record->kind & RECORD_FILE))
        return 1;
    if (record->kind & RECORD_REPLACE) {
        if (!rename_record(placement, path, record, 0, L".old"))
            return 0;
        record->kind |= RECORD_ASIDE;
    }
    if (!rename_record(placement, path, record, L".tmp", 0))
        return 0;
    record->kind |= RECORD_PLACED;
    return 1;
}

// The new file back under its temporary name, the one before back in place.
static int take_back(Placement *placement, FolderPath *path, Record *record) {
    if (record->kind & RECORD_PLACED)
        rename_record(placement, path, record, 0, L".tmp");
    if (record->kind & RECORD_ASIDE)
        rename_record(placement, path, record, L".old", 0);
    record->kind &= ~(uint32_t)(RECORD_PLACED | RECORD_ASIDE);
    return 1;
}

// What is left of a file put aside, and a folder's time.
static int finish(Placement *placement, FolderPath *path, Record *record) {
    if (record->kind & RECORD_ASIDE) {
        set_to(placement, path, record, L".old");
        SetFileAttributesW(path->text, FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path->text);
    } else if ((record->kind & RECORD_FOLDER) && record->mtime >= 0) {
        set_to(placement, path, record, 0);
        HANDLE folder = CreateFileW(path->text, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, 0,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, 0);
        if (folder != INVALID_HANDLE_VALUE)
            place_file_end(folder, record->mtime);
    }
    return 1;
}

// A temporary file deleted, a folder this run made removed.
static int undo(Placement *placement, FolderPath *path, Record *record) {
    set_to(placement, path, record, record->kind & RECORD_FILE ? L".tmp" : 0);
    if (record->kind & RECORD_FILE)
        DeleteFileW(path->text);
    else
        RemoveDirectoryW(path->text);
    return 1;
}

static void free_records(Placement *placement) {
    if (placement->records)
        HeapFree(GetProcessHeap(), 0, placement->records);
    placement->records = 0;
    placement->used = placement->room = 0;
}

PlaceResult place_commit(Placement *placement, FolderPath *path) {
    Record *stopped;
    if (for_each_record(placement, 0, put_in_place, path, &stopped)) {
        for_each_record(placement, 1, finish, path, &stopped);
        free_records(placement);
        return PLACE_OK;
    }
    for_each_record(placement, 1, take_back, path, &stopped);
    static wchar_t failed[FOLDER_PATH_MAX];
    set_to(placement, path, stopped, 0);
    uint32_t length = path->length;
    for (uint32_t i = 0; i <= length; i++)
        failed[i] = path->text[i];
    place_abandon(placement, path);
    for (uint32_t i = 0; i <= length; i++)
        path->text[i] = failed[i];
    path->length = length;
    return fail(placement, EXTRACT_WRITE);
}

void place_abandon(Placement *placement, FolderPath *path) {
    Record *stopped;
    for_each_record(placement, 1, undo, path, &stopped);
    free_records(placement);
    // The target and the folders above it that this run made, deepest first.
    end_text(path, path->root);
    while (made_above && path->length > made_above) {
        RemoveDirectoryW(path->text);
        uint32_t at = path->length;
        while (path->text[--at] != '\\') {
        }
        end_text(path, at);
    }
    made_above = 0;
}
