#pragma once
#include <stdint.h>

#include "archive/tar_reader.h"

// The details the error box names, in German like the loader's.
enum ExtractError {
    EXTRACT_NOT_PACKED,   // no origin trailer: not started by a loader
    EXTRACT_ACCESS,       // the packed file cannot be opened
    EXTRACT_BAD_DATA,     // no intact record, damaged data, bundle header or payload
    EXTRACT_MEMORY,
    EXTRACT_FOLDER,       // the temporary folder cannot be made
    EXTRACT_CREATE,       // a file or folder of the archive cannot be made (the name follows)
    EXTRACT_WRITE,        // a file cannot be written whole (the name follows)
    EXTRACT_COMMAND,      // the bundle's command names no valid program
    EXTRACT_START,        // the program cannot be started (the name follows)
    EXTRACT_ARCHIVE,      // the tar reader refused the archive: its own error, the name after some
};

// Shows the one error box: "Fehler : " the detail (and the UTF-8 'name' when
// given), then "SFX kann nicht gestartet werden". 'archive' is the tar
// reader's error for EXTRACT_ARCHIVE.
void show_extract_error(ExtractError error, ArchiveError archive, const char *name, uint32_t name_length);
