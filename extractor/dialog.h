// The dialog an archive opens with: the folder to extract into (typed, or
// chosen with the system's folder picker), Extract and Cancel.
#pragma once
#include <stdint.h>

// Shows the dialog titled 'title' with 'folder' filled in: 1 after Extract,
// with what the user left there in 'folder' ('capacity' characters with the
// NUL, never empty), or 0 after Cancel.
int folder_dialog(const wchar_t *title, wchar_t *folder, uint32_t capacity);
