// Every text the extractor shows, in each language it speaks: one table,
// a row a text, a column a language, in UTF-8. Portable: the tests check it
// natively.
#pragma once
#include <stdint.h>

enum Language {
    LANGUAGE_ENGLISH,
    LANGUAGE_GERMAN,
    LANGUAGE_FRENCH,
    LANGUAGE_SPANISH,
    LANGUAGE_ITALIAN,
    LANGUAGE_PORTUGUESE, // as in Brazil, for Portugal's too
    LANGUAGE_DUTCH,
    LANGUAGE_POLISH,
    LANGUAGE_RUSSIAN,
    LANGUAGE_JAPANESE,
    LANGUAGE_CHINESE, // simplified
    LANGUAGE_KOREAN,
    LANGUAGE_TURKISH,
    LANGUAGE_COUNT,
};

enum TextId {
    TEXT_ERROR,         // the error box's first words, before the detail
    TEXT_NOT_STARTED,   // the error box's last line after a command's failure
    TEXT_NOT_EXTRACTED, // ... and after an extraction's: nothing stayed behind
    TEXT_NOT_PACKED,
    TEXT_ACCESS,
    TEXT_BAD_DATA,
    TEXT_MEMORY,
    TEXT_FOLDER,
    TEXT_CREATE,        // the name follows
    TEXT_WRITE,         // the name follows
    TEXT_COMMAND,
    TEXT_START,         // the name follows
    TEXT_DISK_SPACE,    // the folder follows
    TEXT_REPARSE,       // the name follows
    TEXT_TARGET,        // the folder follows
    TEXT_SWITCH,        // the switch follows, then the list of switches
    TEXT_UNSUPPORTED,   // the name follows
    TEXT_LINK,          // the name follows
    TEXT_BAD_NAME,      // the name follows
    TEXT_DUPLICATE,     // the name follows
    TEXT_TRUNCATED,
    TEXT_DAMAGED,
    TEXT_EXTRACTING,    // the progress window's title when the bundle gives none
    TEXT_CANCEL,        // buttons
    TEXT_EXTRACT,
    TEXT_BROWSE,
    TEXT_PROMPT,        // the dialog's line above the folder
    TEXT_PICK,          // the folder picker's title
    TEXT_DONE,          // the folder follows: where the files are now
    TEXT_KEPT,          // after TEXT_DONE's folder, when files already there were kept
    TEXT_ASK_EXISTS,    // the first name follows, then TEXT_ASK_REPLACE
    TEXT_ASK_REPLACE,
    TEXT_HELP_TITLE,    // the box that lists the switches
    TEXT_HELP_FOLDER,   // the word for /sfx:extract's value: /sfx:extract[=folder]
    TEXT_HELP_EXTRACT,  // after each switch, what it does
    TEXT_HELP_KEEP,
    TEXT_HELP_NOWAIT,
    TEXT_HELP_SILENT,
    TEXT_HELP_OVERWRITE,
    TEXT_HELP_HELP,
    TEXT_HELP_PLACE,    // the list's last line: where switches go
    TEXT_COUNT,
};

// The language for a Windows language identifier (a LANGID: primary
// language in the low 10 bits, sublanguage above): English for any other.
Language text_language(uint16_t language_id);
// The text in that language, UTF-8.
const char *text_utf8(Language language, TextId id);
