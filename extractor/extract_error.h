#pragma once
#include <stdint.h>

#include "archive/tar_reader.h"

// The details the error box names, in English, or in German where the
// user's interface language is German.
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
    EXTRACT_DISK_SPACE,   // the temporary folder's drive has less room than the archive needs
};

// Chooses the language of every text, and whether boxes are shown at all.
void extract_texts_setup(int silent);
// The German or the English text, as chosen.
const wchar_t *ui_text(const wchar_t *german, const wchar_t *english);

// Shows the one error box, unless silent: "Error: " the detail (and the
// UTF-8 'name' when given), then "SFX cannot be started" ("Fehler : " and
// "SFX kann nicht gestartet werden" in German). 'archive' is the tar
// reader's error for EXTRACT_ARCHIVE.
void show_extract_error(ExtractError error, ArchiveError archive, const char *name, uint32_t name_length);
// EXTRACT_START's box: the program's name, then the system's message for
// 'system_error', why it could not be started.
void show_start_failure(const char *name, uint32_t name_length, uint32_t system_error);
