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

int folder_create(FolderPath *path) {
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

    // "\\server\share\..." becomes "\\?\UNC\server\share\...".
    set_length(path, 0);
    int unc = path->plain[0] == '\\' && path->plain[1] == '\\';
    append(path, unc ? L"\\\\?\\UNC" : L"\\\\?\\");
    append(path, path->plain + unc);
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

// One pass over the tree, depth first without recursion (a path may hold
// thousands of folders): each folder is listed once, its listing kept open
// while a folder in it is emptied and removed, then taken up where it was.
// 0 when something could not be deleted.
static int remove_once(FolderPath *path) {
    static HANDLE listings[FOLDER_PATH_MAX / 2]; // one per folder on the way down; a name takes 2 characters
    WIN32_FIND_DATAW found;
    uint32_t depth = 0;
    set_length(path, path->root);
    for (int entering = 1;;) {
        int more;
        if (entering) {
            uint32_t length = path->length;
            append(path, L"\\*");
            listings[depth] = FindFirstFileW(path->text, &found);
            set_length(path, length);
            more = listings[depth] != INVALID_HANDLE_VALUE;
            entering = 0;
        } else {
            more = FindNextFileW(listings[depth], &found);
        }
        if (!more) {
            // Emptied (or not to be listed): remove it and go back up.
            if (listings[depth] != INVALID_HANDLE_VALUE)
                FindClose(listings[depth]);
            if (!RemoveDirectoryW(path->text) && GetLastError() != ERROR_FILE_NOT_FOUND &&
                GetLastError() != ERROR_PATH_NOT_FOUND)
                break;
            if (depth == 0)
                return 1;
            depth--;
            uint32_t length = path->length;
            while (path->text[--length] != '\\') {
            }
            set_length(path, length);
            continue;
        }
        const wchar_t *name = found.cFileName;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        uint32_t length = path->length;
        // Room for "\*" after the name too.
        if (!append(path, L"\\") || !append(path, name) || path->length + 2 >= FOLDER_PATH_MAX) {
            FindClose(listings[depth]);
            break;
        }
        DWORD attributes = found.dwFileAttributes;
        if (attributes & FILE_ATTRIBUTE_READONLY)
            SetFileAttributesW(path->text, attributes & ~(DWORD)FILE_ATTRIBUTE_READONLY);
        // A junction or link is removed itself, never followed out of the folder.
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            depth++;
            entering = 1;
            continue;
        }
        if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            RemoveDirectoryW(path->text);
        else
            DeleteFileW(path->text);
        set_length(path, length);
    }
    while (depth > 0)
        FindClose(listings[--depth]);
    return 0;
}

int folder_remove(FolderPath *path) {
    for (int tries = 0; tries < REMOVE_TRIES; tries++) {
        if (remove_once(path))
            return 1;
        Sleep(REMOVE_PAUSE_MS);
    }
    set_length(path, path->root);
    return 0;
}
