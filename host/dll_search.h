// Shared by the loader and the extractor, inline so each keeps its own copy.
#pragma once
#include <windows.h>

typedef BOOL(WINAPI *SetDefaultDllDirectoriesFn)(DWORD);
typedef BOOL(WINAPI *SetDllDirectoryAFn)(LPCSTR);

// Keeps DLLs planted beside the executable (in a downloads folder, say) from
// being loaded on our behalf: search only the system folder where Windows
// can, else at least take the current directory out of the search. Found at
// run time because older systems lack both.
static inline void restrict_dll_search() {
    HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
    if (!kernel)
        return;
    SetDefaultDllDirectoriesFn set_default =
        (SetDefaultDllDirectoriesFn)(void *)GetProcAddress(kernel, "SetDefaultDllDirectories");
    if (set_default) {
        set_default(LOAD_LIBRARY_SEARCH_SYSTEM32);
        return;
    }
    SetDllDirectoryAFn set_directory = (SetDllDirectoryAFn)(void *)GetProcAddress(kernel, "SetDllDirectoryA");
    if (set_directory)
        set_directory("");
}
