// The extractor's boxes, in the user's interface language (texts.h): the
// one error box of a failed run, the list of switches, the question before
// files already there are replaced, and the line that says where the files
// are. A silent run shows none of them.
#pragma once
#include <stdint.h>

#include "archive/tar_reader.h"
#include "texts.h"

enum ExtractError {
    EXTRACT_NOT_PACKED,   // no origin trailer: not started by a loader
    EXTRACT_ACCESS,       // the packed file cannot be opened
    EXTRACT_BAD_DATA,     // no intact record, damaged data, bundle header or payload
    EXTRACT_MEMORY,
    EXTRACT_FOLDER,       // the temporary folder cannot be made
    EXTRACT_CREATE,       // a file or folder of the archive cannot be made (the name follows)
    EXTRACT_WRITE,        // a file cannot be written whole, or put in place (the name follows)
    EXTRACT_COMMAND,      // the bundle's command names no valid program
    EXTRACT_START,        // the program cannot be started (the name follows)
    EXTRACT_ARCHIVE,      // the tar reader refused the archive: its own error, the name after some
    EXTRACT_DISK_SPACE,   // the folder's drive has less room than the archive needs (the folder follows)
    EXTRACT_REPARSE,      // a link or junction in the chosen folder (the name follows)
    EXTRACT_TARGET,       // the chosen folder cannot be used (the folder follows)
};

// Chooses the language of every text, whether boxes are shown at all, and
// the error box's last line: after an extraction only, or before a command.
void extract_texts_setup(int silent, int extract_only);
// The text in the chosen language.
const wchar_t *ui_text(TextId id);

// Shows the one error box, unless silent: "Error: " the detail (and the
// UTF-8 'name' when given), then "SFX cannot be started" or, after an
// extraction only, that nothing was extracted. 'archive' is the tar
// reader's error for EXTRACT_ARCHIVE.
void show_extract_error(ExtractError error, ArchiveError archive, const char *name, uint32_t name_length);
// The same for an error whose name is a folder's wide path.
void show_folder_error(ExtractError error, const wchar_t *folder);
// EXTRACT_START's box: the program's name, then the system's message for
// 'system_error', why it could not be started.
void show_start_failure(const char *name, uint32_t name_length, uint32_t system_error);
// The box that lists the switches; after 'bad_length' characters of a
// switch not understood, when given, as an error.
void show_switches(const wchar_t *bad, uint32_t bad_length);
// The line that says where the files are, and whether some that were
// there already were kept; titled 'title'.
void show_where(const wchar_t *title, const wchar_t *folder, int kept);
// Asks whether files already in the folder (the first of them 'name',
// UTF-8) are to be replaced: IDYES, IDNO or IDCANCEL; IDNO when silent.
int ask_replace(const char *name, uint32_t name_length);
