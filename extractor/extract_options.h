// What the extractor is asked: its own switches, and the folder an
// extraction goes to. Portable: no Windows call, so that the tests run it
// natively.
//
// The switches come only at the start of its arguments, before the
// command's: each an argument of its own, "/sfx:" and a name in any case,
// some with "=" and a value. The first argument that is no switch and
// everything after it go to the command as they stand.
#pragma once
#include <stdint.h>

enum Overwrite {
    OVERWRITE_DEFAULT, // not given: ask, or never in a silent run
    OVERWRITE_ASK,     // once, at the first file that is there already
    OVERWRITE_ALWAYS,
    OVERWRITE_NEVER,   // the file there stays; the exit code says so
};

struct SfxSwitches {
    int silent;    // /sfx:silent: no window, no box
    int keep;      // /sfx:keep: the command runs, its folder stays
    int nowait;    // /sfx:nowait: the command alone is waited for, not what it starts
    int help;      // /sfx:help: the box that lists these
    int extract;   // /sfx:extract[=DIR]: extract only, run nothing
    int overwrite; // /sfx:overwrite=ask|always|never: Overwrite
    const wchar_t *folder; // DIR, its quotes removed, NUL-terminated, or 0 when not given
    const wchar_t *rest;   // the arguments for the command
    const wchar_t *bad;    // the switch not understood (to its end), when sfx_switches_parse fails
    uint32_t bad_length;
};

// Fills *out from the arguments (what follows the program's name on the
// command line): 1, or 0 for an argument starting "/sfx:" that names no
// switch, a value that is missing, not allowed or too long, or a switch
// given twice. DIR goes into 'folder', 'capacity' characters with its NUL;
// a quote anywhere in an argument opens or closes a quoted part (where
// blanks belong to the argument) and is removed.
int sfx_switches_parse(const wchar_t *arguments, SfxSwitches *out, wchar_t *folder, uint32_t capacity);

// The folder an extraction goes to, for the packed file's full path 'file'
// (in the form "C:\...\name.exe" or "\\server\share\...") and a
// 'target' (a bundle's, its variables expanded, or what the user typed; may
// be empty): an absolute target as it stands ("C:\x", "\\server\x", "\x"),
// a relative one under the file's folder, none the file's path without its
// extension (with "_files" added when it has none). Writes it with its NUL
// into 'out': its length, or 0 when it does not fit 'capacity'.
uint32_t target_path(const wchar_t *file, const wchar_t *target, wchar_t *out, uint32_t capacity);
