#include "extract_error.h"

#include <windows.h>

enum { NAME_SHOWN_MAX = 260, REASON_MAX = 300, TEXT_SIZE = 1024 };

static int german, silent;

void extract_texts_setup(int silent_run) {
    german = PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_GERMAN;
    silent = silent_run;
}

const wchar_t *ui_text(const wchar_t *german_text, const wchar_t *english_text) {
    return german ? german_text : english_text;
}

static const wchar_t *archive_detail(ArchiveError archive, int *with_name) {
    *with_name = 1;
    switch (archive) {
    case ARCHIVE_UNSUPPORTED:
        return ui_text(L"Nicht unterst\u00fctzter Eintrag im Archiv: ", L"Unsupported entry in the archive: ");
    case ARCHIVE_LINK:
        return ui_text(L"Verkn\u00fcpfung im Archiv: ", L"A link in the archive: ");
    case ARCHIVE_BAD_NAME:
        return ui_text(L"Unzul\u00e4ssiger Name im Archiv: ", L"A name not allowed in the archive: ");
    case ARCHIVE_DUPLICATE:
        return ui_text(L"Doppelter Name im Archiv: ", L"A name twice in the archive: ");
    default:
        break;
    }
    *with_name = 0;
    switch (archive) {
    case ARCHIVE_TRUNCATED:
        return ui_text(L"Das Archiv ist unvollst\u00e4ndig.", L"The archive is incomplete.");
    case ARCHIVE_NO_MEMORY:
        return ui_text(L"Zuwenig Speicher.", L"Not enough memory.");
    default:
        return ui_text(L"Das Archiv ist fehlerhaft.", L"The archive is damaged.");
    }
}

static const wchar_t *detail_text(ExtractError error) {
    switch (error) {
    case EXTRACT_NOT_PACKED:
        return ui_text(L"Kann SFX-Paket nicht finden", L"Cannot find the SFX package");
    case EXTRACT_ACCESS:
        return ui_text(L"Der Zugriff auf eine Datei wurde vom System verweigert.", L"The system denied access to a file.");
    case EXTRACT_BAD_DATA:
        return ui_text(L"Die Daten des SFX-Pakets sind fehlerhaft.", L"The SFX package's data is damaged.");
    case EXTRACT_MEMORY:
        return ui_text(L"Zuwenig Speicher.", L"Not enough memory.");
    case EXTRACT_FOLDER:
        return ui_text(L"Der tempor\u00e4re Ordner kann nicht angelegt werden.", L"The temporary folder cannot be made.");
    case EXTRACT_CREATE:
        return ui_text(L"Kann nicht angelegt werden: ", L"Cannot be made: ");
    case EXTRACT_WRITE:
        return ui_text(L"Die entpackte Datei kann nicht geschrieben werden: ", L"The extracted file cannot be written: ");
    case EXTRACT_COMMAND:
        return ui_text(L"Der Befehl des SFX-Pakets ist ung\u00fcltig.", L"The SFX package's command is not valid.");
    case EXTRACT_START:
        return ui_text(L"Kann das Programm nicht starten: ", L"Cannot start the program: ");
    case EXTRACT_DISK_SPACE:
        return ui_text(L"Im tempor\u00e4ren Ordner ist nicht genug Platz frei.",
                       L"There is not enough free space in the temporary folder.");
    case EXTRACT_ARCHIVE:
        break;
    }
    return L"";
}

static wchar_t *append(wchar_t *at, const wchar_t *text) {
    while (*text)
        *at++ = *text++;
    return at;
}

static wchar_t text[TEXT_SIZE];

// The box's first line up to the detail, and the name when there is one.
static wchar_t *begin_text(ExtractError error, ArchiveError archive, const char *name, uint32_t name_length) {
    int with_name = error == EXTRACT_CREATE || error == EXTRACT_WRITE || error == EXTRACT_START;
    const wchar_t *detail = error == EXTRACT_ARCHIVE ? archive_detail(archive, &with_name) : detail_text(error);
    wchar_t *at = append(append(text, ui_text(L"Fehler : ", L"Error: ")), detail);
    if (with_name && name) {
        // A refused name need not be UTF-8: shown with replacement characters then.
        int n = MultiByteToWideChar(CP_UTF8, 0, name, (int)(name_length < (uint32_t)NAME_SHOWN_MAX ? name_length : (uint32_t)NAME_SHOWN_MAX),
                                    at, NAME_SHOWN_MAX);
        at += n > 0 ? n : 0;
        if (name_length > NAME_SHOWN_MAX)
            at = append(at, L"...");
    }
    return at;
}

static void show(wchar_t *at) {
    *append(at, ui_text(L"\r\nSFX kann nicht gestartet werden", L"\r\nSFX cannot be started")) = 0;
    MessageBoxW(0, text, 0, MB_ICONERROR);
}

void show_extract_error(ExtractError error, ArchiveError archive, const char *name, uint32_t name_length) {
    if (!silent)
        show(begin_text(error, archive, name, name_length));
}

void show_start_failure(const char *name, uint32_t name_length, uint32_t system_error) {
    if (silent)
        return;
    wchar_t *at = append(begin_text(EXTRACT_START, ARCHIVE_OK, name, name_length), L"\r\n");
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, 0, system_error, 0, at,
                             REASON_MAX, 0);
    at += n;
    while (at > text && (at[-1] == '\r' || at[-1] == '\n' || at[-1] == ' '))
        at--; // the system's message ends with a line break
    show(at);
}
