// A DLL planted beside a packed executable under a name that USER32 loads on
// demand (uxtheme.dll under Wine). If it is ever loaded, it leaves
// "<its own path>.marker" behind, so the test can tell from the outside.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(self, path, MAX_PATH - 8);
    if (length == 0 || length >= MAX_PATH - 8)
        return TRUE;
    lstrcpyA(path + length, ".marker");
    HANDLE marker = CreateFileA(path, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0);
    if (marker != INVALID_HANDLE_VALUE)
        CloseHandle(marker);
    return TRUE;
}
