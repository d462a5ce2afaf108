// The private extraction folder under the user's temporary folder (or a
// folder the user chose, target.h), and the wide paths beneath it. Names in the archive may make paths far longer than
// MAX_PATH, so every call on them goes through the "\\?\" form.
#pragma once
#include <windows.h>
#include <stdint.h>

enum { FOLDER_PATH_MAX = 32768 + 16 };

struct FolderPath {
    wchar_t plain[MAX_PATH + 32]; // the folder as programs see it: "C:\...\Temp\sfx-0123456789abcdef"
    wchar_t text[FOLDER_PATH_MAX]; // "\\?\" (or "\\?\UNC\") + the folder [+ "\" + a name within]
    uint32_t root;                 // characters of 'text' up to the folder's end
    uint32_t length;               // characters of 'text' now
    uint32_t made;                 // characters of 'text' known to be folders on disk (root at least)
    HANDLE guard;                  // the folder held open while it is in use
};

// Makes a new folder with a random name ("sfx-" and 16 hex digits from the
// system's cryptographic generator), never one that already exists: 1, or 0.
int folder_create(FolderPath *path);
// Sets 'text' to the "\\?\" form of 'full', a folder's full path, as the
// folder the names go under, without a last '\' but for a drive's root
// ('plain' stays empty): 1, or 0 when it does not fit.
int folder_open(FolderPath *path, const wchar_t *full);
// Sets 'text' to the folder + "\" + a UTF-8 '/'-separated name: 1, or 0 when
// the name is not UTF-8 or does not fit. The folders it shares with the name
// before, as far as those were made, are known to be there.
int folder_enter(FolderPath *path, const char *name, uint32_t length);
// Makes the folders on the way to 'text' (and 'text' itself when 'whole'),
// those that are not known to be there: 1, or 0. Each folder of an archive
// that names parents before children is made by one call.
int folder_make_parents(FolderPath *path, int whole);
// Leaves the folder for good, under its name and "-kept", which
// folder_remove_stale passes over: that name, or its own where it cannot
// be renamed.
const wchar_t *folder_keep(FolderPath *path);
// Deletes the folder and everything in it, waiting a little for files still
// in use: 1 when it is gone.
int folder_remove(FolderPath *path);
// Removes, as far as it can at once, the folders under the user's temporary
// folder that extractors killed before they could remove theirs left behind:
// "sfx-" and 16 hex digits, unchanged for some minutes, and not in use, that
// is, one they can rename to the same name and "~" (a folder whose removal
// was cut short is found by that name). A live extractor holds its
// folder against renaming, and on Windows so does any file open inside.
void folder_remove_stale(FolderPath *path);
