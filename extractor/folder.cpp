#include "folder.h"

#include <sddl.h>

// RtlGenRandom, exported by ADVAPI32 under this name.
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG size);

// Only the folder's owner, the system and administrators may enter it, even
// where the temporary folder is shared: no one else can read the files or
// plant one (a DLL beside the program, say) before the command runs. Where
// the system cannot make this, the folder takes its parent's permissions.
static SECURITY_ATTRIBUTES *private_access(SECURITY_ATTRIBUTES *attributes) {
    PSECURITY_DESCRIPTOR descriptor = 0;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;OW)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
                                                              SDDL_REVISION_1, &descriptor, 0))
        return 0;
    attributes->nLength = sizeof *attributes;
    attributes->lpSecurityDescriptor = descriptor;
    attributes->bInheritHandle = FALSE;
    return attributes;
}

enum { CREATE_TRIES = 8, REMOVE_TRIES = 50, REMOVE_PAUSE_MS = 100 };

static void set_length(FolderPath *path, uint32_t length) {
    path->length = length;
    path->text[length] = 0;
}

static int append(FolderPath *path, const wchar_t *text) {
    uint32_t n = path->length;
    while (*text) {
        if (n + 1 >= FOLDER_PATH_MAX)
            return 0;
        path->text[n++] = *text++;
    }
    set_length(path, n);
    return 1;
}

// 'text' becomes the "\\?\" form of a full path: "\\server\share\..."
// becomes "\\?\UNC\server\share\...". 0 when it does not fit.
static int set_verbatim(FolderPath *path, const wchar_t *full) {
    set_length(path, 0);
    int unc = full[0] == '\\' && full[1] == '\\';
    return append(path, unc ? L"\\\\?\\UNC" : L"\\\\?\\") && append(path, full + unc);
}

int folder_open(FolderPath *path, const wchar_t *full) {
    path->guard = INVALID_HANDLE_VALUE;
    if (!set_verbatim(path, full))
        return 0;
    // No '\' at the end, but for a drive's root ("\\?\C:\"), whose own
    // '\' then stands before the names.
    while (path->length > 4 && path->text[path->length - 1] == '\\' && path->text[path->length - 2] != ':')
        set_length(path, path->length - 1);
    path->root = path->made = path->length - (path->text[path->length - 1] == '\\');
    path->plain[0] = 0;
    return 1;
}

// Sets 'plain' to the user's temporary folder with a "\\" at its end, and
// 'text' to its "\\?\" form: the length of 'plain', or 0.
static DWORD temp_folder(FolderPath *path) {
    wchar_t temp[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    if (n == 0 || n > MAX_PATH)
        return 0;
    n = GetFullPathNameW(temp, MAX_PATH, path->plain, 0);
    if (n == 0 || n >= MAX_PATH - 1)
        return 0;
    if (path->plain[n - 1] != '\\')
        path->plain[n++] = '\\';
    path->plain[n] = 0;

    set_verbatim(path, path->plain);
    return n;
}

int folder_create(FolderPath *path) {
    path->guard = INVALID_HANDLE_VALUE;
    DWORD n = temp_folder(path);
    if (n == 0)
        return 0;
    uint32_t base = path->length;

    SECURITY_ATTRIBUTES attributes;
    SECURITY_ATTRIBUTES *access = private_access(&attributes);
    int made = 0;
    for (int tries = 0; tries < CREATE_TRIES && !made; tries++) {
        uint8_t random[8];
        if (!SystemFunction036(random, sizeof random))
            break;
        wchar_t name[21] = L"sfx-";
        for (int i = 0; i < 8; i++) {
            name[4 + 2 * i] = L"0123456789abcdef"[random[i] >> 4];
            name[5 + 2 * i] = L"0123456789abcdef"[random[i] & 15];
        }
        name[20] = 0;
        set_length(path, base);
        append(path, name);
        if (CreateDirectoryW(path->text, access)) {
            path->root = path->made = path->length;
            // Held open until the folder is removed: while it is, no one
            // can rename or remove the folder, which tells a folder in use
            // from one a killed extractor left (folder_remove_stale).
            path->guard = CreateFileW(path->text, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, 0,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, 0);
            uint32_t p = n;
            for (int i = 0; i <= 20; i++)
                path->plain[p++] = name[i];
            made = 1;
        } else if (GetLastError() != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    if (access)
        LocalFree(access->lpSecurityDescriptor);
    return made;
}

int folder_enter(FolderPath *path, const char *name, uint32_t length) {
    static wchar_t wide[FOLDER_PATH_MAX];
    uint32_t start = path->root + 1;
    int n = length ? MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, (int)length, wide,
                                         (int)(FOLDER_PATH_MAX - 1 - start))
                   : 0;
    if (n <= 0)
        return 0;
    for (int i = 0; i < n; i++)
        if (wide[i] == '/')
            wide[i] = '\\';
    // The deepest folder of the known ones that this name goes through.
    uint32_t same = 0, count = (uint32_t)n;
    while (start + same < path->made && same < count && path->text[start + same] == wide[same])
        same++;
    uint32_t kept = start + same;
    if (kept != path->made || (same < count && wide[same] != '\\'))
        while (kept > path->root && path->text[kept] != '\\')
            kept--;
    path->made = kept;
    path->text[path->root] = '\\';
    for (uint32_t i = kept > path->root ? kept - start : 0; i < count; i++)
        path->text[start + i] = wide[i];
    set_length(path, start + count);
    return 1;
}

// Makes the folder 'text' ends in at 'at' (a '\' or the end): 1 when it is
// there now; 0 with the system's error when not.
static int make_one(FolderPath *path, uint32_t at) {
    wchar_t kept = path->text[at];
    path->text[at] = 0;
    int made = CreateDirectoryW(path->text, 0) || GetLastError() == ERROR_ALREADY_EXISTS;
    path->text[at] = kept;
    return made;
}

int folder_make_parents(FolderPath *path, int whole) {
    uint32_t target = path->length;
    if (!whole)
        while (target > path->made && path->text[target] != '\\')
            target--;
    if (target <= path->made)
        return 1;
    // From the deepest folder up to one that can be made, then down again:
    // where the parent is there (the usual case) that is one call.
    uint32_t at = target;
    while (!make_one(path, at)) {
        if (GetLastError() != ERROR_PATH_NOT_FOUND)
            return 0;
        do
            at--;
        while (at > path->made && path->text[at] != '\\');
        if (at == path->made)
            return 0;
    }
    while (at < target) {
        do
            at++;
        while (at < target && path->text[at] != '\\');
        if (!make_one(path, at))
            return 0;
    }
    path->made = target;
    return 1;
}

// Calls 'each' for every entry of the folder 'text' names but "." and "..",
// with 'text' naming the entry: 1, or 0 when 'each' said stop.
static int for_each_entry(FolderPath *path, int (*each)(FolderPath *, const WIN32_FIND_DATAW *)) {
    uint32_t length = path->length;
    append(path, L"\\*");
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(path->text, &found);
    int go_on = 1;
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const wchar_t *name = found.cFileName;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
                continue;
            set_length(path, length);
            go_on = append(path, L"\\") && append(path, name) && each(path, &found);
        } while (go_on && FindNextFileW(find, &found));
        FindClose(find);
    }
    set_length(path, length);
    return go_on;
}

static int is_folder(const WIN32_FIND_DATAW *found) {
    // A junction or link is removed itself, never followed out of the folder.
    return (found->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(found->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Deletes a file, link or junction; a folder is left for later.
static int delete_unless_folder(FolderPath *path, const WIN32_FIND_DATAW *found) {
    DWORD attributes = found->dwFileAttributes;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path->text, attributes & ~(DWORD)FILE_ATTRIBUTE_READONLY);
    if (is_folder(found))
        return 1;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveDirectoryW(path->text);
    else
        DeleteFileW(path->text);
    return 1;
}

static uint32_t moved_up; // folders moved up so far, for their new names

// Moves a folder found one level down up beside it, as "~" and a number, so
// that no path gets deeper than two names below the root.
static int move_up(FolderPath *path, const WIN32_FIND_DATAW *found) {
    if (!is_folder(found))
        return 1;
    wchar_t to[MAX_PATH + 64];
    for (uint32_t i = 0; i < path->root; i++)
        to[i] = path->text[i];
    for (int tries = 0; tries < 64; tries++) {
        uint32_t at = path->root, number = ++moved_up;
        to[at++] = '\\';
        to[at++] = '~';
        for (int shift = 28; shift >= 0; shift -= 4)
            to[at++] = L"0123456789abcdef"[number >> shift & 15];
        to[at] = 0;
        // One that cannot move keeps its parent, and the next try finds it again.
        if (MoveFileW(path->text, to) || GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    return 1;
}

// Empties and removes what is found just below the root.
static int empty_folder(FolderPath *path, const WIN32_FIND_DATAW *found) {
    delete_unless_folder(path, found);
    if (!is_folder(found))
        return 1;
    for_each_entry(path, move_up);
    for_each_entry(path, delete_unless_folder);
    return RemoveDirectoryW(path->text);
}

// Deletes the tree without walking down it: each folder just below the root
// moves the folders in it up beside it, deletes its files and is removed,
// round after round until no folder moves; so no path gets longer than two
// names below the root, and each folder is listed once and moved at most
// once, however deep the tree. 0 when something could not be deleted.
static int remove_once(FolderPath *path) {
    set_length(path, path->root);
    for (uint32_t before = moved_up + 1; before != moved_up;) {
        before = moved_up;
        if (!for_each_entry(path, empty_folder))
            return 0;
    }
    return RemoveDirectoryW(path->text) || GetLastError() == ERROR_FILE_NOT_FOUND ||
           GetLastError() == ERROR_PATH_NOT_FOUND;
}

const wchar_t *folder_keep(FolderPath *path) {
    if (path->guard != INVALID_HANDLE_VALUE)
        CloseHandle(path->guard);
    path->guard = INVALID_HANDLE_VALUE;
    static wchar_t kept[MAX_PATH + 32];
    lstrcpyW(kept, path->plain);
    if (lstrlenW(kept) + 6 > MAX_PATH + 31)
        return path->plain;
    lstrcatW(kept, L"-kept");
    return MoveFileW(path->plain, kept) ? kept : path->plain;
}

int folder_remove(FolderPath *path) {
    if (path->guard != INVALID_HANDLE_VALUE)
        CloseHandle(path->guard);
    path->guard = INVALID_HANDLE_VALUE;
    for (int tries = 0; tries < REMOVE_TRIES; tries++) {
        if (remove_once(path))
            return 1;
        Sleep(REMOVE_PAUSE_MS);
    }
    set_length(path, path->root);
    return 0;
}

void folder_remove_stale(FolderPath *path) {
    path->guard = INVALID_HANDLE_VALUE;
    if (!temp_folder(path))
        return;
    uint32_t base = path->length;
    append(path, L"sfx-*");
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(path->text, &found);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        // Two steps of the high word, 2^32 units of 100 ns, are 7 to 14 minutes.
        const wchar_t *name = found.cFileName;
        int n = lstrlenW(name);
        if (!is_folder(&found) || now.dwHighDateTime - found.ftLastWriteTime.dwHighDateTime < 2 ||
            !(n == 20 || (n == 21 && name[20] == '~')))
            continue;
        set_length(path, base);
        append(path, name);
        if (n == 20) {
            wchar_t renamed[MAX_PATH + 32];
            lstrcpyW(renamed, path->text);
            lstrcatW(renamed, L"~");
            if (path->length + 2 > MAX_PATH + 32 || !MoveFileW(path->text, renamed))
                continue;
            append(path, L"~");
        }
        path->root = path->made = path->length;
        remove_once(path);
    } while (FindNextFileW(find, &found));
    FindClose(find);
}
