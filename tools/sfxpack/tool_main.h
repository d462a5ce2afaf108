#pragma once

// Parses the arguments and runs the chosen command; the process exit code.
// Errors are reported on stderr; nothing escapes as an exception.
int sfxpack_main(int argc, char **argv, const char *version);
