#include "start_error.h"

#include <windows.h>

static const char *detail_text(int code) {
    switch (code) {
    case START_ERR_STUB_NOT_FOUND:
        return "Kann SFX-Stub nicht finden";
    case START_ERR_ACCESS:
        return "Der Zugriff auf eine Datei wurde vom System verweigert.";
    case START_ERR_MEMORY:
        return "Zuwenig Speicher.";
    case START_ERR_BAD_DATA:
        return "Die Daten des SFX-Stubs sind fehlerhaft.";
    case START_ERR_WRITE:
        return "Die entpackte Datei kann nicht geschrieben werden.";
    }
    return "";
}

void show_start_error(int code) {
    char text[152];
    lstrcpyA(text, "Fehler : ");
    lstrcatA(text, detail_text(code));
    lstrcatA(text, "\r\nSFX kann nicht gestartet werden");
    MessageBoxA(0, text, 0, MB_ICONERROR);
}
