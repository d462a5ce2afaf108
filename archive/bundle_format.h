/* What `sfxpack bundle` appends after the extractor's payload, which the
 * package record locates and checks; every number little-endian:
 *   0  4  magic "SFXB"
 *   4  2  version, 1
 *   6  2  header size, 12
 *   8  2  command length C
 *  10  2  title length T
 *  12  C  the command, UTF-8: the program (a name inside the folder, quoted
 *         when it holds spaces), then its arguments
 *  12+C T the progress window's title, UTF-8 (may be empty)
 *  then to the end of the appended data: a payload (count header and coded
 *  bits) that decodes to a tar stream of the folder.
 */
#pragma once
#include <stdint.h>

#include "entry_name.h"

enum {
    BUNDLE_MAGIC = 0x42584653, /* "SFXB" read as a little-endian number */
    BUNDLE_VERSION = 1,
    BUNDLE_HEADER_SIZE = 12,
    BUNDLE_COMMAND_MAX = 8191, /* what cmd.exe takes; CreateProcess takes more */
    BUNDLE_TITLE_MAX = 255,
    /* the most bytes a header, command and title can take */
    BUNDLE_HEADER_MAX = BUNDLE_HEADER_SIZE + BUNDLE_COMMAND_MAX + BUNDLE_TITLE_MAX,
};

struct BundleHeader {
    const char *command; /* point into the bytes given to bundle_header_read */
    uint32_t command_length;
    const char *title;
    uint32_t title_length;
    uint32_t size;       /* header, command and title: where the payload starts */
};

/* Fills *header from the appended data's first 'size' bytes: 1 when they
 * hold a whole header of this version with a command, 0 when not. */
int bundle_header_read(const uint8_t *bytes, uint32_t size, BundleHeader *header);
/* Writes the fixed 12 bytes for a command and title of these lengths. */
void bundle_header_write(uint32_t command_length, uint32_t title_length, uint8_t out[BUNDLE_HEADER_SIZE]);

/* The command split as the extractor runs it: the program's name within the
 * folder (quotes removed; '\' taken as '/'), then the arguments, passed on as
 * they stand. */
struct CommandParts {
    char program[ENTRY_NAME_MAX + 1]; /* NUL-terminated, '/'-separated */
    uint32_t program_length;
    const char *arguments;            /* into the command; may be empty */
    uint32_t arguments_length;
};

/* Splits a command: NAME_OK, or what is wrong with its program's name
 * (NAME_EMPTY when there is none, or an unclosed quote). */
NameProblem command_split(const char *command, uint32_t length, CommandParts *parts);

/* Whether the name ends in 'extension' (".exe"), its ASCII letters in any case. */
int name_has_extension(const char *name, uint32_t length, const char *extension);

/* Whether the command's program may name a program of the Windows system
 * folder, for when it names no file in the folder: a bare name (no folder
 * part) without an extension or with ".exe". The extractor looks for it
 * there and nowhere else, with ".exe" added when it has none. */
int command_system_program(const CommandParts *parts);
