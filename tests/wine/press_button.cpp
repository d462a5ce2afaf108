// Presses a button of a box or dialog from inside the Wine session, which
// needs no keyboard focus: press_button TITLE XWINDOW [cancel] posts the
// top-level window of that title whose X window is XWINDOW (Wine keeps it
// in a window property) its default button's command, or Cancel's. 0 once
// posted, 1 when there is no such window.
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
    if (argc < 3)
        return 2;
    Wanted wanted = {argv[1], (HANDLE)(ULONG_PTR)wcstoull(argv[2], 0, 10), 0};
    EnumWindows(match, (LPARAM)&wanted);
    if (!wanted.found)
        return 1;
    WORD id = IDCANCEL;
    if (argc < 4 || wcscmp(argv[3], L"cancel") != 0) {
        LRESULT default_id = SendMessageW(wanted.found, DM_GETDEFID, 0, 0);
        id = HIWORD(default_id) == DC_HASDEFID ? LOWORD(default_id) : IDOK;
    }
    return PostMessageW(wanted.found, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(wanted.found, id))
               ? 0
               : 1;
}
