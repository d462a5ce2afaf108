#pragma once

// Starts the program at 'path' (its path alone as the command line) and waits
// for it to end: 1, or 0 when it could not be started.
int launch_and_wait(const char *path, int show_state);
