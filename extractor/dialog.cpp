#include "dialog.h"

#include <windows.h>
#include <shobjidl.h>

#include "dialog_layout.h"
#include "extract_error.h"

struct DialogState {
    const wchar_t *title;
    wchar_t *folder;
    uint32_t capacity;
};

typedef HRESULT(WINAPI *CoInitializeExFn)(LPVOID, DWORD);
typedef HRESULT(WINAPI *CoCreateInstanceFn)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID *);
typedef void(WINAPI *CoTaskMemFreeFn)(LPVOID);
typedef void(WINAPI *CoUninitializeFn)();
typedef HRESULT(WINAPI *CreateItemFn)(PCWSTR, IBindCtx *, REFIID, void **);

// The system's folder picker, opened where the folder typed is (or the
// nearest folder above it that is there); what is chosen replaces what
// was typed. Its libraries are loaded only now, from the system folder, as
// every library is after restrict_dll_search.
static void browse(HWND dialog, DialogState *state) {
    HMODULE ole = LoadLibraryW(L"ole32.dll"), shell = LoadLibraryW(L"shell32.dll");
    if (!ole || !shell)
        return;
    CoInitializeExFn co_initialize = (CoInitializeExFn)(void *)GetProcAddress(ole, "CoInitializeEx");
    CoCreateInstanceFn co_create = (CoCreateInstanceFn)(void *)GetProcAddress(ole, "CoCreateInstance");
    CoTaskMemFreeFn co_free = (CoTaskMemFreeFn)(void *)GetProcAddress(ole, "CoTaskMemFree");
    CoUninitializeFn co_uninitialize = (CoUninitializeFn)(void *)GetProcAddress(ole, "CoUninitialize");
    CreateItemFn create_item = (CreateItemFn)(void *)GetProcAddress(shell, "SHCreateItemFromParsingName");
    if (!co_initialize || !co_create || !co_free || !co_uninitialize || !create_item ||
        FAILED(co_initialize(0, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)))
        return;
    IFileOpenDialog *picker;
    if (SUCCEEDED(co_create(CLSID_FileOpenDialog, 0, CLSCTX_INPROC_SERVER, IID_IFileOpenDialog, (void **)&picker))) {
        FILEOPENDIALOGOPTIONS options;
        if (SUCCEEDED(picker->GetOptions(&options)))
            picker->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM);
        picker->SetTitle(ui_text(TEXT_PICK));
        UINT length = GetDlgItemTextW(dialog, DIALOG_EDIT, state->folder, (int)state->capacity);
        IShellItem *item;
        for (HRESULT found = E_FAIL; FAILED(found) && length > 0;) {
            if (SUCCEEDED(found = create_item(state->folder, 0, IID_IShellItem, (void **)&item))) {
                picker->SetFolder(item);
                item->Release();
            }
            while (length > 0 && state->folder[--length] != '\\') {
            }
            state->folder[length] = 0;
        }
        PWSTR chosen;
        if (SUCCEEDED(picker->Show(dialog)) && SUCCEEDED(picker->GetResult(&item))) {
            if (SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &chosen))) {
                SetDlgItemTextW(dialog, DIALOG_EDIT, chosen);
                co_free(chosen);
            }
            item->Release();
        }
        picker->Release();
    }
    co_uninitialize();
}

static INT_PTR CALLBACK dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    DialogState *state = (DialogState *)GetWindowLongPtrW(dialog, DWLP_USER);
    if (message == WM_INITDIALOG) {
        state = (DialogState *)lparam;
        SetWindowLongPtrW(dialog, DWLP_USER, lparam);
        SetWindowTextW(dialog, state->title);
        static const struct {
            int control;
            TextId text;
        } TEXTS[] = {{DIALOG_PROMPT, TEXT_PROMPT}, {DIALOG_BROWSE, TEXT_BROWSE}, {IDOK, TEXT_EXTRACT},
                     {IDCANCEL, TEXT_CANCEL}};
        for (const auto &text : TEXTS)
            SetDlgItemTextW(dialog, text.control, ui_text(text.text));
        SendDlgItemMessageW(dialog, DIALOG_EDIT, EM_LIMITTEXT, state->capacity - 1, 0);
        SetDlgItemTextW(dialog, DIALOG_EDIT, state->folder);
        SetForegroundWindow(dialog);
        return TRUE;
    }
    if (message != WM_COMMAND)
        return FALSE;
    switch (LOWORD(wparam)) {
    case IDOK:
        if (GetDlgItemTextW(dialog, DIALOG_EDIT, state->folder, (int)state->capacity) == 0)
            MessageBeep(MB_ICONWARNING);
        else
            EndDialog(dialog, IDOK);
        return TRUE;
    case IDCANCEL:
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    case DIALOG_BROWSE:
        browse(dialog, state);
        return TRUE;
    }
    return FALSE;
}

int folder_dialog(const wchar_t *title, wchar_t *folder, uint32_t capacity) {
    DialogState state = {title, folder, capacity};
    return DialogBoxParamW(GetModuleHandleW(0), MAKEINTRESOURCEW(DIALOG_FOLDER), 0, dialog_procedure,
                           (LPARAM)&state) == IDOK;
}
