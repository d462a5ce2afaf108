// Shared by the loader and the extractor, inline so each keeps its own copy.
#pragma once

// What follows the program's name on a command line, skipped as Windows
// does (in quotes, or up to the first space or tab), less the blanks after it.
template <typename Char> static inline Char *command_line_arguments(Char *command_line) {
    Char *p = command_line;
    if (*p == '"') {
        for (p++; *p && *p != '"'; p++) {
        }
        if (*p == '"')
            p++;
    } else {
        while (*p && *p != ' ' && *p != '\t')
            p++;
    }
    while (*p == ' ' || *p == '\t')
        p++;
    return p;
}

// Whether the arguments 'p' start with the switch 'name' (lower-case ASCII,
// matched in any case) followed by a blank or their end: its length, else 0.
template <typename Char> static inline unsigned leading_switch(const Char *p, const char *name) {
    unsigned i = 0;
    while (name[i] && (p[i] >= 'A' && p[i] <= 'Z' ? p[i] + 32 : p[i]) == name[i])
        i++;
    return !name[i] && (p[i] == 0 || p[i] == ' ' || p[i] == '\t') ? i : 0;
}

// Runs without a window, as the silent record flag asks, for a file that
// takes its arguments: the loader and the extractor alike.
#define SILENT_SWITCH "/sfx:silent"
