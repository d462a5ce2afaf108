// Extraction into a folder the user chose, which others may share and which
// may hold files already: nothing is written through a link or junction
// found there or below, every file is written under a temporary name beside
// its own and put in place only once the whole archive has been read, and a
// failed or cancelled extraction takes back all it did, leaving every file
// that was there before as it was.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "extract_error.h"
#include "folder.h"

enum PlaceResult { PLACE_OK, PLACE_FAILED, PLACE_CANCELLED };

struct Placement {
    uint8_t *records; // what this run made, in order (target.cpp), from the process heap
    uint32_t used, room;
    uint32_t files;     // temporary files made so far, which number their names
    wchar_t mark[9];    // 8 random hex digits in this run's temporary names
    int overwrite;      // OVERWRITE_ASK, _ALWAYS or _NEVER, for files already there
    uint32_t kept;      // files already there that stay as they were
    ExtractError error; // why, after PLACE_FAILED
};

// Sets 'path' to the folder 'full' (a full path), made with any missing
// parents unless it is there: as a folder, not a link or junction.
PlaceResult place_open(Placement *placement, FolderPath *path, const wchar_t *full, int overwrite);
// Makes the folders on the way to what 'path' names (as folder_enter leaves
// it), and with 'whole' that one too (then given 'mtime', seconds since
// 1970 or -1, at the end), where they are missing: none that is there may
// be a link or junction or a file.
PlaceResult place_folders(Placement *placement, FolderPath *path, int whole, int64_t mtime);
// Opens a new temporary file for the file that 'path' names (its folders
// made), or, where a file of that name stays, none: *file is then
// INVALID_HANDLE_VALUE. Asks about such a file first when the run says so
// (its archive name shown); the answer holds for the rest.
PlaceResult place_file(Placement *placement, FolderPath *path, const char *name, uint32_t name_length, HANDLE *file);
// Gives the temporary file its time ('mtime' as above) and closes it: 1, or 0.
int place_file_end(HANDLE file, int64_t mtime);
// Puts every file in place, the ones there before first put aside and
// deleted at the end, and gives the folders it made their times. When a
// file cannot be put in place, takes everything back: PLACE_FAILED with
// 'path' naming it.
PlaceResult place_commit(Placement *placement, FolderPath *path);
// Takes everything back: temporary files deleted, folders it made removed.
void place_abandon(Placement *placement, FolderPath *path);
