#include "own_path.h"

enum {
    WIDE_PATH_MAX = 32768,
    PREFIX_ROOM = 6,      // "\\?\UNC" takes the place of a share's first "\"
    TRAILER_MAX = 32767,  // the trailer's length is a signed 16-bit number
    SHORT_ROOM = MAX_PATH + 8,
};

// Static rather than on the stack, which has no probes.
static WCHAR own_buffer[PREFIX_ROOM + WIDE_PATH_MAX];
static const WCHAR *own_path; // in own_buffer: the "\\?\" form from MAX_PATH on
static char trailer[TRAILER_MAX + 1];
static WCHAR short_path[SHORT_ROOM];
static WCHAR temp_folder[MAX_PATH + 1];
static char temp_folder_ansi[MAX_PATH];

int own_path_query(HINSTANCE instance) {
    WCHAR *path = own_buffer + PREFIX_ROOM;
    DWORD length = GetModuleFileNameW(instance, path, WIDE_PATH_MAX);
    own_path = path;
    if (length >= MAX_PATH && path[2] != '?' && path[2] != '.') {
        // "C:\..." becomes "\\?\C:\...", "\\server\..." "\\?\UNC\server\...".
        int share = path[1] == '\\';
        WCHAR *start = path - 4 - 2 * share;
        for (int i = 0; i < 4 + 3 * share; i++)
            start[i] = L"\\\\?\\UNC"[i];
        own_path = start;
    }
    return length != 0 && length < WIDE_PATH_MAX; // a full buffer may be cut short
}

HANDLE own_file_open() {
    return CreateFileW(own_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, 0);
}

// 'path' in the ANSI code page with no character replaced or mapped to a
// look-alike, in fewer than MAX_PATH bytes: 1 with it in 'ansi'. (UTF-8 as
// the ANSI code page refuses the question; the trailer's last form, the
// plain conversion, is then exact all the same.)
static int exact_ansi(const WCHAR *path, char *ansi) {
    BOOL replaced = FALSE;
    return WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path, -1, ansi, MAX_PATH, 0, &replaced) > 0 &&
           !replaced;
}

// The long path if the ANSI code page spells it exactly, else the short one;
// the system spells short names in characters that code page holds, but
// where 8.3 names are switched off there is none.
static int ansi_form(const WCHAR *path, char *ansi) {
    if (exact_ansi(path, ansi))
        return 1;
    DWORD length = GetShortPathNameW(path, short_path, SHORT_ROOM);
    if (length == 0 || length >= SHORT_ROOM)
        return 0;
    // Back from the "\\?\" form, which a path under MAX_PATH does not need.
    WCHAR *plain = short_path;
    if (plain[2] == '?') {
        plain += 4;
        if (plain[1] == 'N') // "UNC\server", not "C:\"
            *(plain += 2) = '\\';
    }
    return exact_ansi(plain, ansi);
}

const char *own_path_trailer() {
    if (!ansi_form(own_path, trailer) &&
        WideCharToMultiByte(CP_ACP, 0, own_path, -1, trailer, TRAILER_MAX + 1, 0, 0) == 0)
        trailer[0] = 0;
    return trailer;
}

// A loader that was killed (a CI job's time limit, say) leaves its temporary
// stub behind. Once it has its own name, the loader deletes the stubs beside
// it that were last written more than a few minutes ago; one whose program
// still runs cannot be deleted and stays, and a loader still writing its own
// wrote it a moment ago.
static char stale_path[2 * MAX_PATH];
static void remove_stale_stubs(const char *temp_path) {
    char *name = lstrcpyA(stale_path, temp_path);
    for (char *at = stale_path; *at; at++)
        if (*at == '\\')
            name = at + 1;
    lstrcpyA(name, "ZRW*.TMP");
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(stale_path, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        // Two steps of the high word, 2^32 units of 100 ns, are 7 to 14 minutes.
        // GetTempFileNameA's names are "ZRW", up to four hex digits, ".TMP";
        // the search also matches short names, so the long one is checked.
        int n = lstrlenA(found.cFileName);
        if (now.dwHighDateTime - found.ftLastWriteTime.dwHighDateTime > 1 && n <= 11 && found.cFileName[n - 4] == '.') {
            lstrcpyA(name, found.cFileName);
            DeleteFileA(stale_path);
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

int stub_temp_name(const char *windows_directory, char *path) {
    // A standard user whose writes there the system does not redirect is
    // denied the file; the call may still return a number (Wine does), so
    // its last error is what tells.
    SetLastError(0);
    UINT unique = GetTempFileNameA(windows_directory, "ZRW", 0, path);
    if (GetLastError() == ERROR_ACCESS_DENIED) {
        DWORD length = GetTempPathW(MAX_PATH + 1, temp_folder);
        unique = length != 0 && length <= MAX_PATH && ansi_form(temp_folder, temp_folder_ansi) &&
                 GetTempFileNameA(temp_folder_ansi, "ZRW", 0, path) != 0;
    }
    if (unique)
        remove_stale_stubs(path);
    return unique != 0;
}
