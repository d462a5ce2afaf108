// The progress window: it appears only when extracting takes longer than
// about a second, shows the decoded bytes against the payload's count on a
// bar drawn by hand, and offers Cancel (also Escape and the close box).
#pragma once
#include <windows.h>
#include <stdint.h>

struct Progress {
    HWND window;
    const wchar_t *title;
    DWORD start, last_pump;
    uint64_t done, total; // decoded bytes so far, of the archive's size
    int cancelled;
    int hidden; // the caller's: a silent run never shows the window
};

void progress_begin(Progress *progress, const wchar_t *title, uint64_t total);
// Counts 'bytes' more and, a few times a second, shows them and takes the
// window's messages: 0 once Cancel was chosen, else 1.
int progress_step(Progress *progress, uint32_t bytes);
void progress_end(Progress *progress);
