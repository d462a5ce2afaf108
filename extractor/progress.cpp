#include "progress.h"

#include "extract_error.h"

enum {
    SHOW_AFTER_MS = 1000,
    PUMP_EVERY_MS = 50,
    WIDTH = 380,
    HEIGHT = 130,
    MARGIN = 14,
    BAR_HEIGHT = 20,
    BUTTON_WIDTH = 96,
    BUTTON_HEIGHT = 26,
};

static const wchar_t window_class[] = L"SfxExtractProgress";
// The window procedure has no other way to the record.
static Progress *current;

static RECT bar_rect(HWND window) {
    RECT client;
    GetClientRect(window, &client);
    RECT bar = {MARGIN, MARGIN, client.right - MARGIN, MARGIN + BAR_HEIGHT};
    return bar;
}

static void paint(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT bar = bar_rect(window);
    FrameRect(dc, &bar, GetSysColorBrush(COLOR_BTNSHADOW));
    InflateRect(&bar, -1, -1);
    RECT filled = bar;
    uint64_t total = current->total ? current->total : 1;
    uint64_t done = current->done < total ? current->done : total;
    for (; total > 0x7FFFFFFF; total >>= 1)
        done >>= 1;
    filled.right = bar.left + MulDiv((int)done, bar.right - bar.left, (int)total);
    FillRect(dc, &filled, GetSysColorBrush(COLOR_HIGHLIGHT));
    bar.left = filled.right;
    FillRect(dc, &bar, GetSysColorBrush(COLOR_WINDOW));
    EndPaint(window, &paint);
}

static LRESULT CALLBACK progress_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_PAINT:
        paint(window);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDCANCEL)
            current->cancelled = 1;
        return 0;
    case WM_CLOSE:
        current->cancelled = 1;
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

static void show(Progress *progress) {
    HINSTANCE instance = GetModuleHandleW(0);
    WNDCLASSW type;
    type.style = CS_HREDRAW | CS_VREDRAW;
    type.lpfnWndProc = progress_procedure;
    type.cbClsExtra = type.cbWndExtra = 0;
    type.hInstance = instance;
    type.hIcon = 0;
    type.hCursor = LoadCursorW(0, (LPCWSTR)IDC_ARROW);
    type.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    type.lpszMenuName = 0;
    type.lpszClassName = window_class;
    RegisterClassW(&type);
    HWND window = CreateWindowExW(WS_EX_DLGMODALFRAME, window_class, progress->title,
                                  WS_POPUP | WS_CAPTION | WS_SYSMENU, (GetSystemMetrics(SM_CXSCREEN) - WIDTH) / 2,
                                  (GetSystemMetrics(SM_CYSCREEN) - HEIGHT) / 2, WIDTH, HEIGHT, 0, 0, instance, 0);
    if (!window)
        return;
    RECT client;
    GetClientRect(window, &client);
    CreateWindowExW(0, L"BUTTON", ui_text(TEXT_CANCEL),
                    WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
                    (client.right - BUTTON_WIDTH) / 2, client.bottom - MARGIN - BUTTON_HEIGHT, BUTTON_WIDTH,
                    BUTTON_HEIGHT, window, (HMENU)(INT_PTR)IDCANCEL, instance, 0);
    ShowWindow(window, SW_SHOW);
    SetForegroundWindow(window);
    progress->window = window;
}

void progress_begin(Progress *progress, const wchar_t *title, uint64_t total) {
    current = progress;
    progress->window = 0;
    progress->title = title;
    progress->start = progress->last_pump = GetTickCount();
    progress->done = 0;
    progress->total = total;
    progress->cancelled = 0;
}

int progress_step(Progress *progress, uint32_t bytes) {
    progress->done += bytes;
    DWORD now = GetTickCount();
    if (now - progress->last_pump < PUMP_EVERY_MS)
        return !progress->cancelled;
    progress->last_pump = now;
    if (!progress->window && !progress->hidden && now - progress->start >= SHOW_AFTER_MS)
        show(progress);
    if (progress->window) {
        RECT bar = bar_rect(progress->window);
        InvalidateRect(progress->window, &bar, FALSE);
        MSG message;
        while (PeekMessageW(&message, 0, 0, 0, PM_REMOVE))
            if (!IsDialogMessageW(progress->window, &message)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
    }
    return !progress->cancelled;
}

void progress_end(Progress *progress) {
    if (progress->window)
        DestroyWindow(progress->window);
    progress->window = 0;
}
