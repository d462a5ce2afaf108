// The control for the planted-DLL test: an ordinary program that makes a
// window without restricting its DLL search, so a planted DLL that USER32
// loads on demand is loaded from beside it.
#include <windows.h>

int main() {
    HWND window = CreateWindowExA(0, "EDIT", "", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, 0, 0, GetModuleHandleA(0), 0);
    if (window)
        DestroyWindow(window);
    return window ? 0 : 1;
}
