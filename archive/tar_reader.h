// Reads a tar stream (POSIX ustar, with pax extended headers) handed over in
// pieces of any size, and refuses whatever an extraction must not write:
// names outside the folder, links, devices, names that collide, sizes that
// the stream does not hold. The extractor, sfxpack's list and extract and
// the fuzzer all read archives through this one reader.
//
// Bundles from version 7 on hold their tar stream's headers first: every
// entry's header blocks (pax extended headers too, each padded to a block as
// in tar) and the two end blocks, then the files' data one after another in
// the same order, unpadded, each starting at tar_data_start's position of
// the stream (the zeros before it skipped). So the headers stand together
// for the compressor, and so do the files. The reader keeps what the headers
// say until the data comes.
//
// Plain procedures over a plain record; memory from mem_alloc, no C runtime.
#pragma once
#include <stdint.h>

#include "entry_name.h"

enum ArchiveError {
    ARCHIVE_OK = 0,
    ARCHIVE_TRUNCATED,     // the stream ended inside an entry or before its end block
    ARCHIVE_BAD_HEADER,    // a checksum, magic, number or extended header that is wrong
    ARCHIVE_UNSUPPORTED,   // an entry other than a file or folder (device, FIFO, sparse...)
    ARCHIVE_LINK,          // a hard or symbolic link
    ARCHIVE_BAD_NAME,      // a name entry_name_problem refuses; see TarReader::name_problem
    ARCHIVE_DUPLICATE,     // a name that folds to an earlier one; see TarReader::clash
    ARCHIVE_TOO_LONG,      // an extended header over ARCHIVE_EXTENDED_MAX bytes
    ARCHIVE_TRAILING_DATA, // bytes other than zeros after the end block
    ARCHIVE_NO_MEMORY,
    ARCHIVE_REFUSED,       // the sink said stop (a failed write, Cancel)
};

enum {
    TAR_BLOCK = 512,
    ARCHIVE_EXTENDED_MAX = 65536,
};

// Where the data of a file of 'size' bytes starts in a headers-first stream,
// the next byte being at 'position': at a multiple of 4 (LZMA's position
// states), for a file of TAR_ALIGN_FROM bytes or more at a multiple of a
// block, where whole programs keep their structures' alignment; a file
// without data where it stands.
enum { TAR_ALIGN_FROM = 16384 };
uint64_t tar_data_start(uint64_t position, uint64_t size);

enum EntryType { ENTRY_FILE, ENTRY_DIRECTORY };

struct ArchiveEntry {
    const char *name;     // UTF-8, '/'-separated, checked; no trailing '/'; NUL-terminated
    uint32_t name_length;
    EntryType type;
    uint64_t size;        // the data bytes that follow; 0 for a folder
    uint32_t mode;        // permission bits of the header (0777 at most)
    int64_t mtime;        // modification time in seconds since 1970; -1 when not given
};

// The reader's calls out, in order: begin, data (any number of times, for a
// file with data), end. Each returns nonzero to go on, 0 to stop the reader
// with ARCHIVE_REFUSED.
struct ArchiveSink {
    void *context;
    int (*begin)(void *context, const ArchiveEntry *entry);
    int (*data)(void *context, const uint8_t *bytes, uint32_t size);
    int (*end)(void *context, const ArchiveEntry *entry);
};

// TAR_CLOSING, TAR_NEXT and TAR_ALIGN only in a headers-first stream: the
// second end block, an entry whose data comes next, the zeros before it.
enum TarState { TAR_HEADER, TAR_EXTENDED, TAR_DATA, TAR_SKIP, TAR_END, TAR_FAILED, TAR_CLOSING, TAR_NEXT, TAR_ALIGN };

struct TarReader {
    ArchiveSink sink;
    TarState state;
    ArchiveError error;      // the first error; the reader takes no more input after it
    uint8_t block[TAR_BLOCK];
    uint32_t filled;         // bytes of 'block' (or 'extended') gathered so far
    uint64_t left;           // data bytes of the entry still to come, or bytes to skip
    uint32_t padding;        // zeros after the data up to the block's end
    uint8_t *extended;       // the pending pax extended header, and its size
    uint32_t extended_size;
    int has_path, has_size;  // what the pending pax header set
    int has_sparse;          // it describes a sparse file, refused once its name is known
    uint64_t pax_size;
    ArchiveEntry entry;
    char name[ENTRY_NAME_MAX + 1];
    NameProblem name_problem; // for ARCHIVE_BAD_NAME
    NameClash clash;          // for ARCHIVE_DUPLICATE
    NameSet names;
    uint64_t entries;         // entries passed to the sink
    // A headers-first stream: its entries as the headers gave them (kept
    // until their data comes), and the next of them to pass on.
    int headers_first;
    uint8_t *pending;
    uint32_t pending_used, pending_size, pending_next;
    uint64_t position;        // of the stream's next byte
};

// 'headers_first': the stream holds all headers before all data (above).
void tar_reader_init(TarReader *reader, const ArchiveSink *sink, int headers_first);
// Takes the next piece of the stream: ARCHIVE_OK, or the error that stopped
// the reader (returned again for every later piece).
ArchiveError tar_reader_feed(TarReader *reader, const uint8_t *bytes, uint32_t size);
// The stream has ended: ARCHIVE_OK only after the end block and zeros (in
// a headers-first stream, after the last file's data).
ArchiveError tar_reader_finish(TarReader *reader);
void tar_reader_free(TarReader *reader);
