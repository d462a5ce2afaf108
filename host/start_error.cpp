#include "start_error.h"

#include <windows.h>

// Each text after its code's byte; a table the size of its texts, where a
// switch over the codes would take a jump table of every number up to 29.
static const char detail_texts[] = "\x02" "Kann SFX-Stub nicht finden\0"
                                   "\x05" "Der Zugriff auf eine Datei wurde vom System verweigert.\0"
                                   "\x08" "Zuwenig Speicher.\0"
                                   "\x0D" "Die Daten des SFX-Stubs sind fehlerhaft.\0"
                                   "\x1D" "Die entpackte Datei kann nicht geschrieben werden.\0";

static const char *detail_text(int code) {
    const char *text = detail_texts;
    for (; *text; text += lstrlenA(text) + 1)
        if (*text == code)
            return text + 1;
    return text;
}

void show_start_error(int code) {
    char text[152];
    lstrcpyA(text, "Fehler : ");
    lstrcatA(text, detail_text(code));
    lstrcatA(text, "\r\nSFX kann nicht gestartet werden");
    MessageBoxA(0, text, 0, MB_ICONERROR);
}
