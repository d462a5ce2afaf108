// The rules every name in an archive must follow before anything is written
// under it, on Windows and on POSIX alike, and the set that finds two names
// a case-insensitive file system would take for one.
#pragma once
#include <stdint.h>

enum {
    ENTRY_NAME_MAX = 8192, // bytes of UTF-8; far past MAX_PATH, within \\?\ paths
};

enum NameProblem {
    NAME_OK = 0,
    NAME_NOT_UTF8,      // not well-formed UTF-8
    NAME_EMPTY,         // an empty name or an empty component ("a//b")
    NAME_TOO_LONG,      // over ENTRY_NAME_MAX bytes
    NAME_ABSOLUTE,      // starts with '/' or '\' (so also "//server" and "\\?\")
    NAME_DRIVE,         // starts with a drive letter and ':'
    NAME_PARENT,        // a ".." component
    NAME_DOT,           // a "." component
    NAME_STREAM,        // a ':' (an alternate data stream on Windows)
    NAME_CHARACTER,     // a control character, '\' or one of < > " | ? *
    NAME_TRAILING,      // a component that ends in '.' or ' ', which Windows drops
    NAME_DEVICE,        // a reserved device name: CON, PRN, AUX, NUL, COM0-9, LPT0-9, ...
};

// Whether the bytes are well-formed UTF-8 without NULs (what MultiByteToWideChar
// takes with MB_ERR_INVALID_CHARS, and more strictly).
int utf8_valid(const char *text, uint32_t length);

// What is wrong with a '/'-separated relative name, or NAME_OK.
NameProblem entry_name_problem(const char *name, uint32_t length);

// Every name added so far, folded as Windows compares them (each character of
// the Basic Multilingual Plane by its simple uppercase mapping), with the
// folders their paths imply.
struct NameSet {
    uint8_t *pool;       // the folded names, one after another
    uint32_t pool_used, pool_size;
    struct NameSlot *slots; // open addressing; a power of two in size
    uint32_t slot_count, used;
};

enum NameClash {
    CLASH_NONE = 0,
    CLASH_DUPLICATE,  // the same name (after folding) as an earlier entry
    CLASH_FILE_PATH,  // a path through an earlier file, or a file where a folder is
    CLASH_NO_MEMORY,
};

// Writes the name as Windows compares names, each letter as its capital, to
// 'out', which holds at least length + length / 2 bytes (a capital may take
// one byte more than its letter); returns how many bytes it wrote. Two
// names are one to Windows when their folds are the same bytes.
uint32_t name_fold(const char *name, uint32_t length, uint8_t *out);

void name_set_init(NameSet *set);
// Adds an entry (a checked name) and its parent folders: a folder may be
// named again only where it was so far implied by a path beneath it.
NameClash name_set_add(NameSet *set, const char *name, uint32_t length, int is_directory);
void name_set_free(NameSet *set);
