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
            path->root = path->length;
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
    set_length(path, path->root);
    path->text[path->length++] = '\\';
    int room = FOLDER_PATH_MAX - 1 - (int)path->length;
    int n = length ? MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, (int)length, path->text + path->length,
                                         room)
                   : 0;
    if (n <= 0)
        return 0;
    for (int i = 0; i < n; i++)
        if (path->text[path->length + i] == '/')
            path->text[path->length + i] = '\\';
    set_length(path, path->length + (uint32_t)n);
    return 1;
}

int folder_make_parents(FolderPath *path, int whole) {
    for (uint32_t i = path->root + 1; i <= path->length; i++) {
        if (i < path->length ? path->text[i] != '\\' : !whole)
            continue;
        wchar_t kept = path->text[i];
        path->text[i] = 0;
        int made = CreateDirectoryW(path->text, 0) || GetLastError() == ERROR_ALREADY_EXISTS;
        path->text[i] = kept;
        if (!made)
            return 0;
    }
    return 1;
}

// One pass over the tree, depth first without recursion (a path may hold
// thousands of folders): enter the first folder found, delete the files,
// remove the emptied folder and go back up to look again. 0 when something
// could not be deleted.
static int remove_once(FolderPath *path) {
    uint32_t length = path->root;
    for (;;) {
        WIN32_FIND_DATAW found;
        set_length(path, length);
        append(path, L"\\*");
        HANDLE find = FindFirstFileW(path->text, &found);
        set_length(path, length);
        int entered = 0;
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const wchar_t *name = found.cFileName;
                if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
                    continue;
                if (!append(path, L"\\") || !append(path, name)) {
                    FindClose(find);
                    return 0;
                }
                DWORD attributes = found.dwFileAttributes;
                if (attributes & FILE_ATTRIBUTE_READONLY)
                    SetFileAttributesW(path->text, attributes & ~(DWORD)FILE_ATTRIBUTE_READONLY);
                // A junction or link is removed itself, never followed out of the folder.
                if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                    entered = 1;
                    break;
                }
                if (attributes & FILE_ATTRIBUTE_DIRECTORY)
                    RemoveDirectoryW(path->text);
                else
                    DeleteFileW(path->text);
                set_length(path, length);
            } while (FindNextFileW(find, &found));
            FindClose(find);
        }
        if (entered) {
            length = path->length;
            continue;
        }
        if (!RemoveDirectoryW(path->text) && GetLastError() != ERROR_FILE_NOT_FOUND &&
            GetLastError() != ERROR_PATH_NOT_FOUND)
            return 0;
        if (length == path->root)
            return 1;
        while (path->text[--length] != '\\') {
        }
    }
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
