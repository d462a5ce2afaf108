/* What `sfxpack bundle` appends after the extractor's payload, which the
 * package record locates and checks; every number little-endian:
 *   0  4  magic "SFXB"
 *   4  2  version: 3 for a command, 4 for an archive (no command) or a bundle
 *         with a target or flags, 5 for one whose tar stream ends in stored
 *         bytes, 6 for one whose LZMA stream comes in slices, 7 for one
 *         whose tar stream holds its headers first (tar_reader.h), as every
 *         bundle did, 8 for one of those with filter 3, 9 for one whose LZMA
 *         data comes in chunks (codec 2), as every bundle now does; 1 and 2
 *         in bundles of older releases, all still read
 *   6  2  header size H: 28 (30 in version 4, 46 in version 5, 50 in
 *         versions 6 to 9, 12 in version 1)
 *   8  2  command length C: 0 for an archive (from version 4)
 *  10  2  title length T
 * versions 2 to 4:
 *  12  1  codec: 1, LZMA (versions 2 to 8); 2, LZMA in chunks (version 9)
 *  13  1  filter before the codec: 0 none, 1 x86 branch conversion, 2 split
 *         x86 branch conversion (from version 3), 3 the same after the x86-64
 *         relative addresses are made absolute (from version 8)
 *  14  1  LZMA properties: lc + 9 * (lp + 5 * pb); lc + lp at most 4, pb at most 4
 *  15  1  flags, from version 4 (0 before): BUNDLE_FLAG_WAIT_COMMAND
 *  16  4  LZMA dictionary size, 4 KiB to 256 MiB
 *  20  8  the tar stream's size
 * from version 4:
 *  28  2  target length G
 * from version 5:
 *  30  8  stored size S: the tar stream's last S bytes, stored as they are
 *         after the coded part (files whose data does not compress), 1 or
 *         more (from version 6, 0 for none)
 *  38  8  the coded part's size: the bytes before them (0 when S is 0)
 * from version 6:
 *  46  4  slice size L (from version 7, 0 for one stream), a multiple of 4
 *         KiB, at least 1 MiB: the data LZMA
 *         codes comes in two LZMA streams (each with its end mark), the
 *         first of its first L bytes, the second of the rest; the second
 *         starts LZMA's state afresh but keeps the dictionary, so it may copy
 *         from the first. The encoder codes the two side by side.
 * then:
 *   H  C  the command, UTF-8: the program (a name inside the folder, quoted
 *         when it holds spaces), then its arguments
 * H+C  T  the progress window's title, UTF-8 (may be empty)
 * H+C+T G  the target: the folder the files go to by default when they are
 *         only extracted, UTF-8, %VAR% expanded on Windows, relative to
 *         the packed file's folder unless absolute (may be empty: a folder
 *         beside the packed file, named after it)
 *  then to the end of the appended data, the coded tar stream of the folder:
 *  version 1, a payload (count header and coded bits); else raw LZMA
 *  with its end mark, or with codec 2 LZMA in chunks (below),
 *  exactly as long as the appended data's rest (from
 *  version 5, the coded part's size, then the S stored bytes). The filter
 *  and LZMA see the tar stream's first archive size - S bytes. With the
 *  split conversion (branch_split.h), the LZMA stream of what is left of
 *  those comes after
 *   0  8  that stream's decoded size: the tar stream's less the targets'
 *   8  4  the targets' size T, a multiple of 4, at most 64 MiB
 *  12  4  their coded size K: 0 when T is 0
 *  16  4  the flag stream's size F, at least 5
 *  20  K  the targets, raw LZMA (lc 0, lp 2, pb 2) with its end mark
 *  20+K F the flags, range-coded
 */
#pragma once
#include <stdint.h>

#include "entry_name.h"

enum {
    BUNDLE_MAGIC = 0x42584653, /* "SFXB" read as a little-endian number */
    BUNDLE_VERSION = 9,         /* the newest, which an extractor's mark names: LZMA in chunks */
    BUNDLE_X64_VERSION = 8,     /* filter 3, LZMA in one piece */
    BUNDLE_HEADERS_FIRST_VERSION = 7, /* the tar stream's headers first */
    BUNDLE_SLICED_VERSION = 6,  /* slices, the tar stream's headers among its data */
    BUNDLE_STORED_VERSION = 5,  /* stored bytes, one LZMA stream */
    BUNDLE_TARGET_VERSION = 4,  /* an archive, a target or flags, nothing stored */
    BUNDLE_COMMAND_VERSION = 3, /* what a command without a target is written as */
    BUNDLE_HEADER_SIZE = 28,    /* versions 2 and 3 */
    BUNDLE_V4_HEADER_SIZE = 30,
    BUNDLE_V5_HEADER_SIZE = 46,
    BUNDLE_V6_HEADER_SIZE = 50,
    BUNDLE_SLICE_MIN = 1 << 20,
    BUNDLE_V1_HEADER_SIZE = 12,
    BUNDLE_CODEC_PAYLOAD = 0, /* version 1: the loader's own payload format */
    BUNDLE_CODEC_LZMA = 1,
    BUNDLE_CODEC_LZMA2 = 2, /* version 9: LZMA in chunks, each coded or stored, as LZMA2 */
    BUNDLE_FILTER_NONE = 0,
    BUNDLE_FILTER_X86 = 1,
    BUNDLE_FILTER_SPLIT = 2,
    BUNDLE_FILTER_SPLIT_X64 = 3, /* the split conversion after the x86-64 one */
    BUNDLE_DICTIONARY_MIN = 1 << 12,
    BUNDLE_DICTIONARY_MAX = 1 << 28,
    BUNDLE_COMMAND_MAX = 8191, /* what cmd.exe takes; CreateProcess takes more */
    BUNDLE_TITLE_MAX = 255,
    BUNDLE_TARGET_MAX = 1023,
    /* the extractor waits for the command alone, not for what it starts */
    BUNDLE_FLAG_WAIT_COMMAND = 1,
    /* the most bytes a header, command, title and target can take */
    BUNDLE_HEADER_MAX = BUNDLE_V6_HEADER_SIZE + BUNDLE_COMMAND_MAX + BUNDLE_TITLE_MAX + BUNDLE_TARGET_MAX,
};

/* LZMA in chunks (codec 2), as LZMA2 frames them: each chunk starts with a
 * control byte, its sizes big-endian less 1.
 *   0                  the stream's end (its end mark)
 *   1 or 2, size (2)   stored bytes, up to 64 KiB; 1 empties the dictionary first
 *   0x80 | mode << 5 | (size - 1) >> 16, size's low 16 bits (2), coded size (2),
 *   from mode 2 the LZMA properties byte: up to 2 MiB coded by LZMA into up to
 *   64 KiB, the range coder started afresh; mode 0 keeps LZMA's state, 1
 *   starts it afresh, 2 too (with the properties), 3 empties the dictionary too.
 * A stream's first chunk empties the dictionary (the second slice's keeps it),
 * and its first coded chunk starts the state with the properties, which are
 * the header's; a stored chunk leaves the state as it was. */
enum {
    CHUNK_END = 0,
    CHUNK_STORED_RESET = 1,
    CHUNK_STORED = 2,
    CHUNK_CODED = 0x80,
    CHUNK_RESET_NONE = 0,
    CHUNK_RESET_STATE = 1,
    CHUNK_RESET_STATE_PROPERTIES = 2,
    CHUNK_RESET_ALL = 3,
    CHUNK_STORED_HEADER = 3,
    CHUNK_HEADER_MAX = 6,
    CHUNK_STORED_MAX = 1 << 16,
    CHUNK_CODED_MAX = 1 << 16,
    CHUNK_DATA_MAX = 1 << 21,
};

/* The bytes of the chunk header that starts with 'control': 1 for the end,
 * CHUNK_STORED_HEADER or CHUNK_HEADER_MAX (less 1 without properties); 0
 * for a control byte no chunk has. */
uint32_t chunk_header_size(uint8_t control);

/* An extractor's image holds this text followed by one byte, the bundle
 * version it reads (BundleExtractorMark), so that sfxpack can tell an
 * extractor from any other program. */
#define BUNDLE_EXTRACTOR_MARK "SFXB extractor, bundle version:"
struct BundleExtractorMark {
    char text[sizeof BUNDLE_EXTRACTOR_MARK];
    uint8_t version;
};

struct BundleHeader {
    const char *command; /* these three point into the bytes given to bundle_header_read */
    uint32_t command_length; /* 0: an archive, which runs nothing */
    const char *title;
    uint32_t title_length;
    const char *target;
    uint32_t target_length;
    uint32_t size;       /* header, command, title and target: where the coded archive starts */
    uint32_t version;
    uint32_t codec;      /* BUNDLE_CODEC_... */
    uint32_t filter;     /* BUNDLE_FILTER_... */
    uint32_t properties; /* LZMA's lc, lp and pb in one byte */
    uint32_t dictionary;
    uint64_t archive_size; /* from version 2: the tar stream's bytes */
    uint32_t flags;        /* BUNDLE_FLAG_..., from version 4 */
    uint64_t stored_size;  /* version 5: the tar stream's last bytes, stored (0 before) */
    uint64_t coded_size;   /* version 5: the coded part's bytes, before those */
    uint32_t slice_size;   /* from version 6: the bytes LZMA codes in the first of its two streams; 0: one stream */
    uint32_t headers_first; /* from version 7: the tar stream holds all its headers before its data */
};

/* Fills *header from the appended data's first 'size' bytes: 1 when they
 * hold a whole header of version 1 to 9 with a command (none only from
 * version 4) and, from version 2 on, a codec, filter and LZMA settings within
 * the limits above, from version 5 a stored size of at most the archive size
 * and a coded size of at least 5 (1 in version 9: the end chunk alone; 1 or more stored in version 5; from version 6
 * none with a coded size of 0), and from version 6 a slice size as above
 * (or none from version 7), less than the archive size, and no x86
 * conversion, filter 3 only from version 8, codec 2 in version 9 and
 * codec 1 before; 0 when not. */
int bundle_header_read(const uint8_t *bytes, uint32_t size, BundleHeader *header);
/* Writes the header 'header' describes (its command, title and target, their
 * lengths, filter, properties, dictionary, archive, stored and coded sizes,
 * slice, layout and codec) to 'out', unless null: 9 for codec 2, else 8 for
 * filter 3, else 7 for a headers-first tar stream;
 * else the oldest version that holds it: 6 when LZMA codes in slices, else 5
 * when something is stored, else 3 for a command without a target or flags,
 * else 4. Returns its size in bytes. */
uint32_t bundle_header_write(const BundleHeader *header, uint8_t *out);

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
