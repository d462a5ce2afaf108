// Where the loader's file is and where its stub goes. The loader finds and
// opens its own file through the wide API, so any name and any length works;
// what it hands to ANSI code (the trailer, the stub's own path) is a form of
// the path that the ANSI code page spells exactly: the long path, else the
// short (8.3) one.
#pragma once
#include <windows.h>

// Takes the loader's own path from the system: 1, or 0 when it cannot.
int own_path_query(HINSTANCE instance);
// Opens the loader's own file for reading, as file_open does with "rb".
HANDLE own_file_open();
// The origin trailer's text: the own path in the ANSI code page, exactly and
// in fewer than MAX_PATH bytes, in its long form or else its short one;
// where neither exists, the closest the code page comes, "\\?\" form
// included past MAX_PATH, up to 32767 bytes (else empty).
const char *own_path_trailer();
// Takes a temporary name with prefix "ZRW" in the Windows directory, or in the
// user's temporary folder where the Windows directory denies it: 1 with the
// file created empty and its ANSI path in 'path' (MAX_PATH bytes), or 0.
int stub_temp_name(const char *windows_directory, char *path);
