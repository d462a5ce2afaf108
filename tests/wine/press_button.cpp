// Presses a message box's OK from inside the Wine session, which needs no
// keyboard focus: press_button TITLE XWINDOW posts IDOK to the top-level
// window of that title whose X window is XWINDOW (Wine keeps it in a window
// property). 0 once posted, 1 when there is no such window.
#include <windows.h>

#include <cwchar>

struct Wanted {
    const wchar_t *title;
    HANDLE x_window;
    HWND found;
};

static BOOL CALLBACK match(HWND window, LPARAM context) {
    Wanted *wanted = (Wanted *)context;
    wchar_t title[256];
    GetWindowTextW(window, title, 256);
    HANDLE x_window = GetPropA(window, "__wine_x11_whole_window");
    if (wcscmp(title, wanted->title) == 0 && (!x_window || x_window == wanted->x_window)) {
        wanted->found = window;
        return FALSE;
    }
    return TRUE;
}

int wmain(int argc, wchar_t **argv) {
    if (argc != 3)
        return 2;
    Wanted wanted = {argv[1], (HANDLE)(ULONG_PTR)wcstoull(argv[2], 0, 10), 0};
    EnumWindows(match, (LPARAM)&wanted);
    return wanted.found && PostMessageW(wanted.found, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0) ? 0 : 1;
}
