#include "extract_error.h"

#include <windows.h>

enum { NAME_SHOWN_MAX = 260, REASON_MAX = 300, TEXT_SIZE = 4096, WIDE_TEXTS_SIZE = 16384 };

static int silent, extract_only;
static const wchar_t *texts[TEXT_COUNT];
static wchar_t wide_texts[WIDE_TEXTS_SIZE];
static wchar_t text[TEXT_SIZE]; // a box's text

void extract_texts_setup(int silent_run, int extract_only_run) {
    Language language = text_language(GetUserDefaultUILanguage());
    silent = silent_run;
    extract_only = extract_only_run;
    wchar_t *at = wide_texts;
    for (int id = 0; id < TEXT_COUNT; id++) {
        int n = MultiByteToWideChar(CP_UTF8, 0, text_utf8(language, (TextId)id), -1, at,
                                    (int)(wide_texts + WIDE_TEXTS_SIZE - at));
        texts[id] = n > 0 ? at : L"";
        at += n > 0 ? n : 0;
    }
}

const wchar_t *ui_text(TextId id) { return texts[id]; }

// Appends as much of 'text' as the box's text has room for.
static wchar_t *append(wchar_t *at, const wchar_t *more) {
    while (*more && at < text + TEXT_SIZE - 1)
        *at++ = *more++;
    return at;
}

// Appends a UTF-8 name, NAME_SHOWN_MAX bytes of it at most; a name refused
// for not being UTF-8 shows with replacement characters.
static wchar_t *append_name(wchar_t *at, const char *name, uint32_t length) {
    int n = MultiByteToWideChar(CP_UTF8, 0, name, (int)(length < NAME_SHOWN_MAX ? length : (uint32_t)NAME_SHOWN_MAX), at,
                                NAME_SHOWN_MAX);
    at += n > 0 ? n : 0;
    return length > NAME_SHOWN_MAX ? append(at, L"...") : at;
}

static TextId archive_detail(ArchiveError archive, int *with_name) {
    switch (archive) {
    case ARCHIVE_UNSUPPORTED:
        return TEXT_UNSUPPORTED;
    case ARCHIVE_LINK:
        return TEXT_LINK;
    case ARCHIVE_BAD_NAME:
        return TEXT_BAD_NAME;
    case ARCHIVE_DUPLICATE:
        return TEXT_DUPLICATE;
    default:
        *with_name = 0;
        return archive == ARCHIVE_TRUNCATED ? TEXT_TRUNCATED : archive == ARCHIVE_NO_MEMORY ? TEXT_MEMORY : TEXT_DAMAGED;
    }
}

// Each error's text, in ExtractError's order; EXTRACT_ARCHIVE's comes from the reader's error.
static const uint8_t DETAILS[] = {TEXT_NOT_PACKED, TEXT_ACCESS,  TEXT_BAD_DATA,   TEXT_MEMORY, TEXT_FOLDER,
                                  TEXT_CREATE,     TEXT_WRITE,   TEXT_COMMAND,    TEXT_START,  TEXT_DAMAGED,
                                  TEXT_DISK_SPACE, TEXT_REPARSE, TEXT_TARGET};

// The box's first line up to the detail, and whether a name follows.
static wchar_t *begin_text(ExtractError error, ArchiveError archive, int *with_name) {
    *with_name = error == EXTRACT_CREATE || error == EXTRACT_WRITE || error == EXTRACT_START ||
                 error >= EXTRACT_DISK_SPACE || error == EXTRACT_ARCHIVE;
    TextId detail = error == EXTRACT_ARCHIVE ? archive_detail(archive, with_name) : (TextId)DETAILS[error];
    return append(append(text, ui_text(TEXT_ERROR)), ui_text(detail));
}

static void show(wchar_t *at) {
    at = append(append(at, L"\r\n"), ui_text(extract_only ? TEXT_NOT_EXTRACTED : TEXT_NOT_STARTED));
    *at = 0;
    MessageBoxW(0, text, 0, MB_ICONERROR);
}

void show_extract_error(ExtractError error, ArchiveError archive, const char *name, uint32_t name_length) {
    int with_name;
    wchar_t *at = begin_text(error, archive, &with_name);
    if (!silent)
        show(with_name && name ? append_name(at, name, name_length) : at);
}

void show_folder_error(ExtractError error, const wchar_t *folder) {
    int with_name;
    wchar_t *at = begin_text(error, ARCHIVE_OK, &with_name);
    if (!silent)
        show(append(at, folder));
}

void show_start_failure(const char *name, uint32_t name_length, uint32_t system_error) {
    if (silent)
        return;
    int with_name;
    wchar_t *at = append(append_name(begin_text(EXTRACT_START, ARCHIVE_OK, &with_name), name, name_length), L"\r\n");
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, 0, system_error, 0, at,
                             REASON_MAX, 0);
    at += n;
    while (at > text && (at[-1] == '\r' || at[-1] == '\n' || at[-1] == ' '))
        at--; // the system's message ends with a line break
    show(at);
}

void show_switches(const wchar_t *bad, uint32_t bad_length) {
    if (silent)
        return;
    wchar_t *at = text;
    if (bad) {
        at = append(append(at, ui_text(TEXT_ERROR)), ui_text(TEXT_SWITCH));
        for (uint32_t i = 0; i < bad_length && i < NAME_SHOWN_MAX; i++)
            *at++ = bad[i];
        at = append(at, L"\r\n\r\n");
    }
    static const struct {
        const wchar_t *name;
        uint8_t text;
    } SWITCHES[] = {
        {L"/sfx:extract[=", TEXT_HELP_EXTRACT}, {L"/sfx:keep", TEXT_HELP_KEEP}, {L"/sfx:nowait", TEXT_HELP_NOWAIT},
        {L"/sfx:silent", TEXT_HELP_SILENT},     {L"/sfx:overwrite=ask|always|never", TEXT_HELP_OVERWRITE},
        {L"/sfx:help", TEXT_HELP_HELP},
    };
    for (const auto &entry : SWITCHES) {
        at = append(at, entry.name);
        if (entry.text == TEXT_HELP_EXTRACT)
            at = append(append(at, ui_text(TEXT_HELP_FOLDER)), L"]");
        at = append(append(append(at, L"\r\n    "), ui_text((TextId)entry.text)), L"\r\n");
    }
    *append(at, ui_text(TEXT_HELP_PLACE)) = 0;
    MessageBoxW(0, text, ui_text(TEXT_HELP_TITLE), bad ? MB_ICONERROR : MB_ICONINFORMATION);
}

void show_where(const wchar_t *title, const wchar_t *folder, int kept) {
    if (silent)
        return;
    wchar_t *at = append(append(append(text, ui_text(TEXT_DONE)), L"\r\n"), folder);
    if (kept)
        at = append(append(at, L"\r\n\r\n"), ui_text(TEXT_KEPT));
    *at = 0;
    MessageBoxW(0, text, title, MB_ICONINFORMATION);
}

int ask_replace(const char *name, uint32_t name_length) {
    if (silent)
        return IDNO;
    wchar_t *at = append(append(text, ui_text(TEXT_ASK_EXISTS)), L"\r\n");
    at = append(append(append_name(at, name, name_length), L"\r\n\r\n"), ui_text(TEXT_ASK_REPLACE));
    *at = 0;
    return MessageBoxW(0, text, ui_text(TEXT_EXTRACTING), MB_ICONQUESTION | MB_YESNOCANCEL);
}
