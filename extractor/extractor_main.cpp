// The extractor: the program `sfxpack bundle` packs behind the loader. It
// finds the bundle appended to the packed file it came from, unpacks the
// folder in it into a new private folder under the user's temporary folder,
// runs the bundle's command there, waits for it and everything it started,
// deletes the folder and exits with the command's exit code.
#include <windows.h>

#include "archive/bundle_format.h"
#include "archive/coded_reader.h"
#include "archive/tar_reader.h"
#include "decoder/payload_decoder.h"
#include "extract_error.h"
#include "extractor_io.h"
#include "folder.h"
#include "host/command_line.h"
#include "host/dll_search.h"
#include "include/sfx_package.h"
#include "progress.h"
#include "run_command.h"

enum {
    EXIT_FAILED = 255,
    EXIT_CANCELLED = ERROR_CANCELLED,
    COMMAND_LINE_MAX = 32768,
};

// Writes the archive's entries under the folder, and counts the decoded
// bytes for the progress window on their way to the tar reader.
struct Extraction {
    FolderPath folder;
    TarReader reader;
    Progress progress;
    const ArchiveEntry *entry; // the one being written
    HANDLE file;          // the file being written, or INVALID_HANDLE_VALUE
    uint64_t written;
    ExtractError failure; // what went wrong in the sink, when 'failed'
    int failed;
};

// Static rather than on the stack, which has no probes: these run to tens of KiB.
static Extraction extraction;
static SfxPackage package;
static uint8_t header_bytes[BUNDLE_HEADER_MAX];
static CommandParts parts;
static wchar_t title[BUNDLE_TITLE_MAX + 1];
static wchar_t origin[MAX_PATH];
static wchar_t origin_long[COMMAND_LINE_MAX];
static wchar_t application[FOLDER_PATH_MAX];
static wchar_t command_line[COMMAND_LINE_MAX];
static const wchar_t *given_arguments; // the extractor's own, passed on to the command
static PayloadSource source;
static CodedReader coded;
static uint8_t coded_piece[65536];

// Read by sfxpack, never here; kept by the linker through -u.
extern "C" const BundleExtractorMark extractor_mark = {BUNDLE_EXTRACTOR_MARK, BUNDLE_VERSION};

static int sink_fail(Extraction *x, ExtractError failure) {
    x->failed = 1;
    x->failure = failure;
    return 0;
}

static int entry_begin(void *context, const ArchiveEntry *entry) {
    Extraction *x = (Extraction *)context;
    x->entry = entry;
    if (!folder_enter(&x->folder, entry->name, entry->name_length))
        return sink_fail(x, EXTRACT_CREATE);
    if (entry->type == ENTRY_DIRECTORY)
        return folder_make_parents(&x->folder, 1) || sink_fail(x, EXTRACT_CREATE);
    if (!folder_make_parents(&x->folder, 0))
        return sink_fail(x, EXTRACT_CREATE);
    x->file = CreateFileW(x->folder.text, GENERIC_WRITE, 0, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, 0);
    x->written = 0;
    return x->file != INVALID_HANDLE_VALUE || sink_fail(x, EXTRACT_CREATE);
}

static int entry_data(void *context, const uint8_t *bytes, uint32_t size) {
    Extraction *x = (Extraction *)context;
    DWORD done;
    if (!WriteFile(x->file, bytes, size, &done, 0) || done != size)
        return sink_fail(x, EXTRACT_WRITE);
    x->written += done;
    return 1;
}

static int entry_end(void *context, const ArchiveEntry *entry) {
    Extraction *x = (Extraction *)context;
    if (entry->type == ENTRY_DIRECTORY)
        return 1;
    int closed = CloseHandle(x->file);
    x->file = INVALID_HANDLE_VALUE;
    return (closed && x->written == entry->size) || sink_fail(x, EXTRACT_WRITE);
}

// payload_out: the decoded tar stream.
static int take_decoded(void *context, const uint8_t *bytes, uint32_t size) {
    Extraction *x = (Extraction *)context;
    if (!progress_step(&x->progress, size))
        return 0;
    return tar_reader_feed(&x->reader, bytes, size) == ARCHIVE_OK;
}

static int fail(ExtractError error) {
    show_extract_error(error, ARCHIVE_OK, 0, 0);
    return EXIT_FAILED;
}

static uint32_t append_wide(wchar_t *to, uint32_t at, const wchar_t *text) {
    while (*text)
        to[at++] = *text++;
    to[at] = 0;
    return at;
}

// Feeds the rest of the source to the LZMA decoder, which passes the tar
// stream on to take_decoded.
static CodedResult decode_coded() {
    CodedResult result = CODED_OK;
    while (result == CODED_OK) {
        int32_t got = file_read(coded_piece, sizeof coded_piece, &source);
        if (got < 0)
            return CODED_TRUNCATED;
        if (got == 0)
            return coded_reader_finish(&coded);
        result = coded_reader_feed(&coded, coded_piece, (uint32_t)got);
    }
    return result;
}

// Decodes the archive at 'offset' (of 'size' bytes) of the packed file,
// coded as 'header' says, into the folder, 'total' bytes of tar stream: 0,
// or EXIT_CANCELLED or EXIT_FAILED after the error box; the folder is gone
// unless 0.
static int extract(HANDLE file, uint64_t offset, uint64_t size, const BundleHeader *header, uint64_t total) {
    Extraction *x = &extraction;
    int lzma = header->codec == BUNDLE_CODEC_LZMA;
    if (!source_open(&source, file, offset, size))
        return fail(EXTRACT_BAD_DATA);
    // The dictionary, checked against the header's limits, before any folder is made.
    if (lzma ? coded_reader_open(&coded, header, BUNDLE_DICTIONARY_MAX, take_decoded, x) != CODED_OK
             : !decoder_create()) {
        if (lzma)
            coded_reader_free(&coded);
        return fail(EXTRACT_MEMORY);
    }
    folder_remove_stale(&x->folder);
    if (!folder_create(&x->folder)) {
        if (lzma)
            coded_reader_free(&coded);
        else
            decoder_destroy();
        return fail(EXTRACT_FOLDER);
    }

    ArchiveSink sink = {x, entry_begin, entry_data, entry_end};
    PayloadSink decoded = {take_decoded, x};
    tar_reader_init(&x->reader, &sink);
    x->file = INVALID_HANDLE_VALUE;
    progress_begin(&x->progress, title, total);
    int complete, refused;
    if (lzma) {
        CodedResult result = decode_coded();
        coded_reader_free(&coded);
        complete = result == CODED_OK;
        refused = result == CODED_REFUSED;
    } else {
        payload_in = &source;
        payload_out = &decoded;
        DecodeResult result = decode_payload();
        decoder_destroy();
        complete = result == DECODE_OK;
        refused = result == DECODE_WRITE_FAILED;
    }
    ArchiveError archive = complete ? tar_reader_finish(&x->reader) : x->reader.error;
    progress_end(&x->progress);
    if (x->file != INVALID_HANDLE_VALUE)
        CloseHandle(x->file);
    if (complete && archive == ARCHIVE_OK) {
        tar_reader_free(&x->reader);
        return 0;
    }

    // Nothing of a refused or cancelled archive stays behind.
    folder_remove(&x->folder);
    int cancelled = x->progress.cancelled;
    if (cancelled) {
        // No box: the user asked for this.
    } else if (x->failed)
        show_extract_error(x->failure, ARCHIVE_OK, x->entry->name, x->entry->name_length);
    else if (refused || complete)
        show_extract_error(EXTRACT_ARCHIVE, archive, x->reader.name, x->reader.entry.name_length);
    else
        show_extract_error(EXTRACT_BAD_DATA, ARCHIVE_OK, 0, 0);
    tar_reader_free(&x->reader);
    return cancelled ? EXIT_CANCELLED : EXIT_FAILED;
}

// Appends "\" and the program's name to the folder's path in 'to': the
// new length, or 0 when it is no UTF-8 or does not fit.
static uint32_t append_program(wchar_t *to, uint32_t at) {
    to[at++] = '\\';
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, parts.program, (int)parts.program_length, to + at,
                                (int)(FOLDER_PATH_MAX - 1 - at));
    if (n <= 0)
        return 0;
    for (uint32_t end = at + (uint32_t)n; at < end; at++)
        if (to[at] == '/')
            to[at] = '\\';
    to[at] = 0;
    return at;
}

// The command line: the program's full path in quotes, the bundle's
// arguments as they stand, then those the extractor was given.
static int build_command_line(const wchar_t *program) {
    command_line[0] = '"';
    uint32_t c = append_wide(command_line, 1, program);
    command_line[c++] = '"';
    if (parts.arguments_length > 0) {
        command_line[c++] = ' ';
        int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, parts.arguments, (int)parts.arguments_length,
                                    command_line + c, (int)(COMMAND_LINE_MAX - 1 - c));
        if (n <= 0)
            return 0;
        c += (uint32_t)n;
    }
    command_line[c] = 0;
    if (*given_arguments) {
        uint32_t room = COMMAND_LINE_MAX - 2 - c;
        for (const wchar_t *a = given_arguments; *a; a++)
            if (room-- == 0)
                return 0;
        command_line[c++] = ' ';
        append_wide(command_line, c, given_arguments);
    }
    return 1;
}

// A program of the Windows system folder, by its bare name, ".exe" added
// when it has none; never one found through PATH or the current folder.
static int system_program() {
    UINT n = GetSystemDirectoryW(application, MAX_PATH);
    uint32_t at = n > 0 && n < MAX_PATH ? append_program(application, n) : 0;
    if (at && !name_has_extension(parts.program, parts.program_length, ".exe"))
        at = append_wide(application, at, L".exe");
    return at != 0 && at < MAX_PATH;
}

// The program is the folder's file of that name (in any case, as Windows
// matches names), else, for a bare name, the system folder's program. It
// goes to the system as a plain path while that fits in MAX_PATH, else by
// "\\?\".
static int prepare_command(const FolderPath *folder) {
    uint32_t at = append_program(application, append_wide(application, 0, folder->plain));
    if (at == 0 || !build_command_line(application))
        return 0;
    if (at >= MAX_PATH && append_program(application, append_wide(application, 0, folder->text)) == 0)
        return 0;
    DWORD attributes = GetFileAttributesW(application);
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return 1;
    return command_system_program(&parts) && system_program() && build_command_line(application);
}

// Whether the temporary folder's drive has room for 'total' bytes; when the
// system cannot tell, the extraction goes ahead and a failed write stops it.
static int room_for(uint64_t total) {
    wchar_t temp[MAX_PATH + 1];
    ULARGE_INTEGER available;
    DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    return n == 0 || n > MAX_PATH || !GetDiskFreeSpaceExW(temp, &available, 0, 0) || available.QuadPart >= total;
}

// The extractor's own arguments: what follows its program name (skipped as
// Windows does: in quotes, or up to the first space or tab), less a leading
// SILENT_SWITCH, which it takes for itself.
static const wchar_t *own_arguments(int *silent_switch) {
    const wchar_t *p = command_line_arguments(GetCommandLineW());
    unsigned length = leading_switch(p, SILENT_SWITCH);
    *silent_switch = length != 0;
    for (p += length; length && (*p == ' ' || *p == '\t');)
        p++;
    return p;
}

static int extractor_main() {
    int silent;
    given_arguments = own_arguments(&silent);
    extract_texts_setup(silent);
    int found = sfx_package_find(&package);
    if (found == SFX_OK || found == SFX_DAMAGED) { // the record holds, if not the data it describes
        // Without this flag the loader passes no arguments, and the stub's
        // path before them is not in quotes: there is nothing to take.
        if (!(package.record.flags & SFX_FLAG_PASS_ARGUMENTS)) {
            given_arguments = L"";
            silent = 0;
        }
        extract_texts_setup(silent |= (package.record.flags & SFX_FLAG_SILENT) != 0);
    }
    if (found != SFX_OK)
        return fail(found == SFX_NO_TRAILER ? EXTRACT_NOT_PACKED : found == SFX_NO_ORIGIN ? EXTRACT_ACCESS
                                                                                          : EXTRACT_BAD_DATA);
    uint32_t got = sfx_package_read(&package, 0, header_bytes, sizeof header_bytes);
    BundleHeader header;
    uint8_t count[4];
    if (!bundle_header_read(header_bytes, got, &header) || header.size > package.appended_size ||
        (header.codec == BUNDLE_CODEC_PAYLOAD &&
         sfx_package_read(&package, header.size, count, sizeof count) != sizeof count))
        return fail(EXTRACT_BAD_DATA);
    extraction.progress.hidden = silent;
    if (command_split(header.command, header.command_length, &parts) != NAME_OK)
        return fail(EXTRACT_COMMAND);
    int n = header.title_length
                ? MultiByteToWideChar(CP_UTF8, 0, header.title, (int)header.title_length, title, BUNDLE_TITLE_MAX)
                : 0;
    title[n > 0 ? n : 0] = 0;
    if (!title[0])
        append_wide(title, 0, ui_text(L"Entpacken", L"Extracting"));
    n = MultiByteToWideChar(CP_ACP, 0, package.origin_path, -1, origin, MAX_PATH);
    if (n <= 0)
        return fail(EXTRACT_ACCESS);

    HANDLE file = CreateFileA(package.origin_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
    if (file == INVALID_HANDLE_VALUE)
        return fail(EXTRACT_ACCESS);
    uint64_t archive_size = header.codec == BUNDLE_CODEC_PAYLOAD ? sfx_get32(count) : header.archive_size;
    if (!room_for(archive_size)) {
        CloseHandle(file);
        return fail(EXTRACT_DISK_SPACE);
    }
    int extracted = extract(file, package.appended_offset + header.size, package.appended_size - header.size, &header,
                            archive_size);
    CloseHandle(file);
    if (extracted)
        return extracted;

    FolderPath *folder = &extraction.folder;
    DWORD exit_code = EXIT_FAILED;
    if (!prepare_command(folder)) {
        folder_remove(folder);
        return fail(EXTRACT_COMMAND);
    }
    // The trailer may hold the short form: the command gets the name the user sees.
    DWORD long_length = GetLongPathNameW(origin, origin_long, COMMAND_LINE_MAX);
    SetEnvironmentVariableW(L"SFX_ORIGIN", long_length > 0 && long_length < COMMAND_LINE_MAX ? origin_long : origin);
    SetEnvironmentVariableW(L"SFX_DIR", folder->plain);
    if (!run_command(application, command_line, folder->plain, silent, &exit_code)) {
        DWORD why = GetLastError();
        folder_remove(folder);
        show_start_failure(parts.program, parts.program_length, why);
        return EXIT_FAILED;
    }
    folder_remove(folder);
    return (int)exit_code;
}

extern "C" void extractor_entry() {
    restrict_dll_search();
    ExitProcess((UINT)extractor_main());
}
