#include "extract_error.h"

#include <windows.h>

enum { NAME_SHOWN_MAX = 260, TEXT_SIZE = 640 };

static const wchar_t *archive_detail(ArchiveError archive, int *with_name) {
    *with_name = 1;
    switch (archive) {
    case ARCHIVE_UNSUPPORTED:
        return L"Nicht unterst\u00fctzter Eintrag im Archiv: ";
    case ARCHIVE_LINK:
        return L"Verkn\u00fcpfung im Archiv: ";
    case ARCHIVE_BAD_NAME:
        return L"Unzul\u00e4ssiger Name im Archiv: ";
    case ARCHIVE_DUPLICATE:
        return L"Doppelter Name im Archiv: ";
    default:
        break;
    }
    *with_name = 0;
    switch (archive) {
    case ARCHIVE_TRUNCATED:
        return L"Das Archiv ist unvollst\u00e4ndig.";
    case ARCHIVE_NO_MEMORY:
        return L"Zuwenig Speicher.";
    default:
        return L"Das Archiv ist fehlerhaft.";
    }
}

static const wchar_t *detail_text(ExtractError error) {
    switch (error) {
    case EXTRACT_NOT_PACKED:
        return L"Kann SFX-Paket nicht finden";
    case EXTRACT_ACCESS:
        return L"Der Zugriff auf eine Datei wurde vom System verweigert.";
    case EXTRACT_BAD_DATA:
        return L"Die Daten des SFX-Pakets sind fehlerhaft.";
    case EXTRACT_MEMORY:
        return L"Zuwenig Speicher.";
    case EXTRACT_FOLDER:
        return L"Der tempor\u00e4re Ordner kann nicht angelegt werden.";
    case EXTRACT_CREATE:
        return L"Kann nicht angelegt werden: ";
    case EXTRACT_WRITE:
        return L"Die entpackte Datei kann nicht geschrieben werden: ";
    case EXTRACT_COMMAND:
        return L"Der Befehl des SFX-Pakets ist ung\u00fcltig.";
    case EXTRACT_START:
        return L"Kann das Programm nicht starten: ";
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

void show_extract_error(ExtractError error, ArchiveError archive, const char *name, uint32_t name_length) {
    static wchar_t text[TEXT_SIZE];
    int with_name = error == EXTRACT_CREATE || error == EXTRACT_WRITE || error == EXTRACT_START;
    const wchar_t *detail = error == EXTRACT_ARCHIVE ? archive_detail(archive, &with_name) : detail_text(error);
    wchar_t *at = append(append(text, L"Fehler : "), detail);
    if (with_name && name) {
        // A refused name need not be UTF-8: shown with replacement characters then.
        int n = MultiByteToWideChar(CP_UTF8, 0, name, (int)(name_length < (uint32_t)NAME_SHOWN_MAX ? name_length : (uint32_t)NAME_SHOWN_MAX),
                                    at, NAME_SHOWN_MAX);
        at += n > 0 ? n : 0;
        if (name_length > NAME_SHOWN_MAX)
            at = append(at, L"...");
    }
    *append(at, L"\r\nSFX kann nicht gestartet werden") = 0;
    MessageBoxW(0, text, 0, MB_ICONERROR);
}
