#include "texts.h"

// A row a text (TextId's order), a column a language (Language's order).
// Where a text names the buttons of a question box (TEXT_ASK_REPLACE), it
// names them as the system labels them in that language.
static const char *const TEXTS[TEXT_COUNT][LANGUAGE_COUNT] = {
    {// TEXT_ERROR
     /* en */ "Error: ",
     /* de */ "Fehler : "},
    {// TEXT_NOT_STARTED
     /* en */ "SFX cannot be started",
     /* de */ "SFX kann nicht gestartet werden"},
    {// TEXT_NOT_EXTRACTED
     /* en */ "Nothing was extracted; the folder is as it was.",
     /* de */ "Es wurde nichts entpackt; der Ordner ist unverändert."},
    {// TEXT_NOT_PACKED
     /* en */ "Cannot find the SFX package",
     /* de */ "Kann SFX-Paket nicht finden"},
    {// TEXT_ACCESS
     /* en */ "The system denied access to a file.",
     /* de */ "Der Zugriff auf eine Datei wurde vom System verweigert."},
    {// TEXT_BAD_DATA
     /* en */ "The SFX package's data is damaged.",
     /* de */ "Die Daten des SFX-Pakets sind fehlerhaft."},
    {// TEXT_MEMORY
     /* en */ "Not enough memory.",
     /* de */ "Zuwenig Speicher."},
    {// TEXT_FOLDER
     /* en */ "The temporary folder cannot be made.",
     /* de */ "Der temporäre Ordner kann nicht angelegt werden."},
    {// TEXT_CREATE
     /* en */ "Cannot be made: ",
     /* de */ "Kann nicht angelegt werden: "},
    {// TEXT_WRITE
     /* en */ "The extracted file cannot be written: ",
     /* de */ "Die entpackte Datei kann nicht geschrieben werden: "},
    {// TEXT_COMMAND
     /* en */ "The SFX package's command is not valid.",
     /* de */ "Der Befehl des SFX-Pakets ist ungültig."},
    {// TEXT_START
     /* en */ "Cannot start the program: ",
     /* de */ "Kann das Programm nicht starten: "},
    {// TEXT_DISK_SPACE
     /* en */ "There is not enough free space for the files in: ",
     /* de */ "Für die Dateien ist nicht genug Platz frei in: "},
    {// TEXT_REPARSE
     /* en */ "A link or junction in the folder, which is not followed: ",
     /* de */ "Eine Verknüpfung oder Verzeichnisverbindung im Ordner, der nicht gefolgt wird: "},
    {// TEXT_TARGET
     /* en */ "The files cannot be extracted into this folder: ",
     /* de */ "In diesen Ordner kann nicht entpackt werden: "},
    {// TEXT_SWITCH
     /* en */ "Unknown switch: ",
     /* de */ "Unbekannter Schalter: "},
    {// TEXT_UNSUPPORTED
     /* en */ "Unsupported entry in the archive: ",
     /* de */ "Nicht unterstützter Eintrag im Archiv: "},
    {// TEXT_LINK
     /* en */ "A link in the archive: ",
     /* de */ "Verknüpfung im Archiv: "},
    {// TEXT_BAD_NAME
     /* en */ "A name not allowed in the archive: ",
     /* de */ "Unzulässiger Name im Archiv: "},
    {// TEXT_DUPLICATE
     /* en */ "A name twice in the archive: ",
     /* de */ "Doppelter Name im Archiv: "},
    {// TEXT_TRUNCATED
     /* en */ "The archive is incomplete.",
     /* de */ "Das Archiv ist unvollständig."},
    {// TEXT_DAMAGED
     /* en */ "The archive is damaged.",
     /* de */ "Das Archiv ist fehlerhaft."},
    {// TEXT_EXTRACTING
     /* en */ "Extracting",
     /* de */ "Entpacken"},
    {// TEXT_CANCEL
     /* en */ "Cancel",
     /* de */ "Abbrechen"},
    {// TEXT_EXTRACT
     /* en */ "Extract",
     /* de */ "Entpacken"},
    {// TEXT_BROWSE
     /* en */ "Browse…",
     /* de */ "Durchsuchen…"},
    {// TEXT_PROMPT
     /* en */ "Extract the files into this folder:",
     /* de */ "Die Dateien in diesen Ordner entpacken:"},
    {// TEXT_PICK
     /* en */ "Choose the folder to extract into",
     /* de */ "Ordner zum Entpacken wählen"},
    {// TEXT_DONE
     /* en */ "The files are in:",
     /* de */ "Die Dateien liegen in:"},
    {// TEXT_KEPT
     /* en */ "Files that were there already have been kept.",
     /* de */ "Dateien, die schon da waren, wurden behalten."},
    {// TEXT_ASK_EXISTS
     /* en */ "Some of the files are in the folder already, such as:",
     /* de */ "Einige der Dateien sind schon im Ordner, zum Beispiel:"},
    {// TEXT_ASK_REPLACE
     /* en */ "Replace them? Yes replaces them all, No keeps them all, Cancel stops.",
     /* de */ "Ersetzen? Ja ersetzt alle, Nein behält alle, Abbrechen hört auf."},
    {// TEXT_HELP_TITLE
     /* en */ "Command-line switches",
     /* de */ "Befehlszeilenschalter"},
    {// TEXT_HELP_FOLDER
     /* en */ "folder",
     /* de */ "Ordner"},
    {// TEXT_HELP_EXTRACT
     /* en */ "Only extract the files, into the folder given or else the default one, and run nothing.",
     /* de */ "Nur die Dateien entpacken, in den angegebenen Ordner oder sonst den vorgesehenen, und nichts ausführen."},
    {// TEXT_HELP_KEEP
     /* en */ "Run the command, then keep its folder and say where it is.",
     /* de */ "Den Befehl ausführen, danach seinen Ordner behalten und sagen, wo er liegt."},
    {// TEXT_HELP_SILENT
     /* en */ "Show no window; an archive goes into its default folder.",
     /* de */ "Kein Fenster zeigen; ein Archiv wird in seinen vorgesehenen Ordner entpackt."},
    {// TEXT_HELP_OVERWRITE
     /* en */ "Files already in the folder: ask (the default), replace them, or keep them (the default without windows).",
     /* de */ "Dateien, die schon im Ordner sind: nachfragen (Standard), ersetzen oder behalten (Standard ohne Fenster)."},
    {// TEXT_HELP_HELP
     /* en */ "Show this list.",
     /* de */ "Diese Liste zeigen."},
    {// TEXT_HELP_PLACE
     /* en */ "The switches come first; the arguments after them go to the command.",
     /* de */ "Die Schalter stehen vorn; die Argumente danach erhält der Befehl."},
};

Language text_language(uint16_t language_id) {
    static const uint8_t PRIMARY[LANGUAGE_COUNT] = {0x09, 0x07};
    unsigned primary = language_id & 0x3FF;
    for (int language = 0; language < LANGUAGE_COUNT; language++)
        if (PRIMARY[language] == primary)
            return (Language)language;
    return LANGUAGE_ENGLISH;
}

const char *text_utf8(Language language, TextId id) { return TEXTS[id][language]; }
