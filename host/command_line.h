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
