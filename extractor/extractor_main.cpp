// The extractor: the program `sfxpack bundle` packs behind the loader. It
// finds the bundle appended to the packed file it came from, unpacks the
// folder in it into a new private folder under the user's temporary folder,
// runs the bundle's command there, waits for it and everything it started,
// deletes the folder and exits with the command's exit code. An archive (a
// bundle without a command), or any bundle told to only extract, goes into
// a folder the user chooses instead (target.h), and stays there.
#include <windows.h>

#include "archive/bundle_format.h"
#include "archive/coded_reader.h"
#include "archive/tar_reader.h"
#include "decoder/payload_decoder.h"
#include "dialog.h"
#include "extract_error.h"
#include "extract_options.h"
#include "extractor_io.h"
#include "folder.h"
#include "host/command_line.h"
#include "host/dll_search.h"
#include "include/sfx_package.h"
#include "progress.h"
#include "run_command.h"
#include "target.h"

enum {
    EXIT_FAILED = 255,
    EXIT_CANCELLED = ERROR_CANCELLED,
    EXIT_KEPT = ERROR_FILE_EXISTS, // extracted, but files already there stayed as they were
    EXIT_BAD_SWITCH = ERROR_INVALID_PARAMETER,
    COMMAND_LINE_MAX = 32768,
};

// Writes the archive's entries under the folder, and counts the decoded
// bytes for the progress window on their way to the tar reader.
struct Extraction {
    FolderPath folder;
    TarReader reader;
    Progress progress;
    Placement placement;  // when 'chosen'
    const ArchiveEntry *entry; // the one being written
    HANDLE file;          // the file being written, or INVALID_HANDLE_VALUE
    uint64_t written;
    ExtractError failure; // what went wrong in the sink, when 'failed'
    int failed;
    int chosen;           // into a folder the user chose, not a private one
    int skipped;          // the entry is a file already there, which stays
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
static SfxSwitches switches;
static int silent;
static const wchar_t *caption; // the dialog's and the last box's: the title, else the file's name
static wchar_t switch_folder[FOLDER_PATH_MAX], target[FOLDER_PATH_MAX], expanded[FOLDER_PATH_MAX];
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

// A refusal of the chosen folder's, or Cancel to the question it asked.
static int place_failed(Extraction *x, PlaceResult result) {
    if (result != PLACE_CANCELLED)
        return sink_fail(x, x->placement.error);
    x->progress.cancelled = 1;
    return 0;
}

static int entry_begin(void *context, const ArchiveEntry *entry) {
    Extraction *x = (Extraction *)context;
    x->entry = entry;
    x->written = 0;
    if (!folder_enter(&x->folder, entry->name, entry->name_length))
        return sink_fail(x, EXTRACT_CREATE);
    if (x->chosen) {
        PlaceResult result = entry->type == ENTRY_DIRECTORY
                                 ? place_folders(&x->placement, &x->folder, 1, entry->mtime)
                                 : place_file(&x->placement, &x->folder, entry->name, entry->name_length, &x->file);
        x->skipped = entry->type != ENTRY_DIRECTORY && x->file == INVALID_HANDLE_VALUE;
        return result == PLACE_OK || place_failed(x, result);
    }
    if (entry->type == ENTRY_DIRECTORY)
        return folder_make_parents(&x->folder, 1) || sink_fail(x, EXTRACT_CREATE);
    if (!folder_make_parents(&x->folder, 0))
        return sink_fail(x, EXTRACT_CREATE);
    x->file = CreateFileW(x->folder.text, GENERIC_WRITE, 0, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, 0);
    return x->file != INVALID_HANDLE_VALUE || sink_fail(x, EXTRACT_CREATE);
}

static int entry_data(void *context, const uint8_t *bytes, uint32_t size) {
    Extraction *x = (Extraction *)context;
    DWORD done = size;
    if (!x->skipped && (!WriteFile(x->file, bytes, size, &done, 0) || done != size))
        return sink_fail(x, EXTRACT_WRITE);
    x->written += done;
    return 1;
}

static int entry_end(void *context, const ArchiveEntry *entry) {
    Extraction *x = (Extraction *)context;
    if (entry->type == ENTRY_DIRECTORY || x->skipped)
        return 1;
    int closed = x->chosen ? place_file_end(x->file, entry->mtime) : CloseHandle(x->file);
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
// coded as 'header' says, 'total' bytes of tar stream, into a new private
// folder, or into the folder 'chosen' (a full path) when given, with the
// 'overwrite' policy: 0, or EXIT_CANCELLED or EXIT_FAILED after the error
// box; nothing it wrote stays then.
static int extract(HANDLE file, uint64_t offset, uint64_t size, const BundleHeader *header, uint64_t total,
                   const wchar_t *chosen, int overwrite) {
    Extraction *x = &extraction;
    int lzma = header->codec != BUNDLE_CODEC_PAYLOAD;
    if (!source_open(&source, file, offset, size))
        return fail(EXTRACT_BAD_DATA);
    // The dictionary, checked against the header's limits, before any folder is made.
    if (lzma ? coded_reader_open(&coded, header, BUNDLE_DICTIONARY_MAX, take_decoded, x) != CODED_OK
             : !decoder_create()) {
        if (lzma)
            coded_reader_free(&coded);
        return fail(EXTRACT_MEMORY);
    }
    x->chosen = chosen != 0;
    if (!chosen)
        folder_remove_stale(&x->folder);
    if (chosen ? place_open(&x->placement, &x->folder, chosen, overwrite) != PLACE_OK : !folder_create(&x->folder)) {
        if (lzma)
            coded_reader_free(&coded);
        else
            decoder_destroy();
        if (!chosen)
            return fail(EXTRACT_FOLDER);
        show_folder_error(x->placement.error, chosen);
        return EXIT_FAILED;
    }

    ArchiveSink sink = {x, entry_begin, entry_data, entry_end};
    PayloadSink decoded = {take_decoded, x};
    tar_reader_init(&x->reader, &sink, header->headers_first);
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
        if (!chosen || place_commit(&x->placement, &x->folder) == PLACE_OK)
            return 0;
        show_folder_error(EXTRACT_WRITE, x->folder.text + 4); // less its "\\?\"
        return EXIT_FAILED;
    }

    // Nothing of a refused or cancelled archive stays behind.
    if (chosen)
        place_abandon(&x->placement, &x->folder);
    else
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

// Whether the drive of 'folder' (which need not be there yet) has room for
// 'total' bytes; when the system cannot tell, the extraction goes ahead and
// a failed write stops it.
static int room_for(const wchar_t *folder, uint64_t total) {
    wchar_t volume[MAX_PATH + 1];
    ULARGE_INTEGER available;
    return !GetVolumePathNameW(folder, volume, MAX_PATH + 1) || !GetDiskFreeSpaceExW(volume, &available, 0, 0) ||
           available.QuadPart >= total;
}

// The folder's path typed or given in 'target', its %VARIABLES% expanded,
// relative to the packed file's folder (the one beside the file when
// empty), in 'target' again: 1, or 0 after the error box.
static int resolve_target() {
    DWORD n = ExpandEnvironmentStringsW(target, expanded, FOLDER_PATH_MAX);
    if (n == 0 || n > FOLDER_PATH_MAX || !target_path(origin_long, expanded, target, FOLDER_PATH_MAX)) {
        show_folder_error(EXTRACT_TARGET, target);
        return 0;
    }
    return 1;
}

// Extracts into the folder /sfx:extract names (from the current folder),
// else the bundle's target or the folder beside the packed file, which an
// archive offers in its dialog first when 'ask'. Then says where the files
// are: 0, EXIT_KEPT when files already there stayed, or what extract gave.
static int extract_to_folder(HANDLE file, const BundleHeader *header, uint64_t total, int ask) {
    const wchar_t *given = switches.folder;
    if (!given) {
        int n = MultiByteToWideChar(CP_UTF8, 0, header->target, (int)header->target_length, target, FOLDER_PATH_MAX - 1);
        target[n > 0 ? n : 0] = 0;
        if (!resolve_target())
            return EXIT_FAILED;
        if (ask && !folder_dialog(caption, target, FOLDER_PATH_MAX))
            return EXIT_CANCELLED;
        if (ask && !resolve_target())
            return EXIT_FAILED;
        given = target;
    }
    DWORD n = GetFullPathNameW(given, FOLDER_PATH_MAX, expanded, 0);
    if (n == 0 || n >= FOLDER_PATH_MAX) {
        show_folder_error(EXTRACT_TARGET, given);
        return EXIT_FAILED;
    }
    if (!room_for(expanded, total)) {
        show_folder_error(EXTRACT_DISK_SPACE, expanded);
        return EXIT_FAILED;
    }
    int overwrite = switches.overwrite ? switches.overwrite : silent ? OVERWRITE_NEVER : OVERWRITE_ASK;
    int extracted = extract(file, package.appended_offset + header->size, package.appended_size - header->size, header,
                            total, expanded, overwrite);
    if (extracted)
        return extracted;
    show_where(caption, expanded, extraction.placement.kept != 0);
    return extraction.placement.kept ? EXIT_KEPT : 0;
}

// Whether the command and every program it starts are waited for (a job),
// or the command alone (the bundle's setting, or /sfx:nowait).
static int wait_for_all = 1;

// Runs the command in the folder the archive went into and deletes the
// folder, or with /sfx:keep leaves it and says where: the command's exit
// code, or EXIT_FAILED after the error box.
static int run_in_folder(FolderPath *folder) {
    DWORD exit_code = EXIT_FAILED;
    int started = prepare_command(folder);
    if (!started)
        show_extract_error(EXTRACT_COMMAND, ARCHIVE_OK, 0, 0);
    SetEnvironmentVariableW(L"SFX_ORIGIN", origin_long);
    SetEnvironmentVariableW(L"SFX_DIR", folder->plain);
    if (started && !run_command(application, command_line, folder->plain, silent, wait_for_all, &exit_code)) {
        started = 0;
        show_start_failure(parts.program, parts.program_length, GetLastError());
    }
    if (switches.keep)
        show_where(caption, folder_keep(folder), 0);
    else
        folder_remove(folder);
    return started ? (int)exit_code : EXIT_FAILED;
}

static int extractor_main() {
    int understood =
        sfx_switches_parse(command_line_arguments(GetCommandLineW()), &switches, switch_folder, FOLDER_PATH_MAX);
    silent = switches.silent;
    extract_texts_setup(silent, 0);
    int found = sfx_package_find(&package);
    if (found == SFX_OK || found == SFX_DAMAGED) { // the record holds, if not the data it describes
        // Without this flag the loader passes no arguments, and the stub's
        // path before them is not in quotes: there is nothing to take.
        if (!(package.record.flags & SFX_FLAG_PASS_ARGUMENTS))
            understood = sfx_switches_parse(L"", &switches, switch_folder, FOLDER_PATH_MAX);
        silent = switches.silent || (package.record.flags & SFX_FLAG_SILENT) != 0;
        extract_texts_setup(silent, 0);
    }
    if (!understood || switches.help) {
        show_switches(switches.bad, switches.bad_length);
        return understood ? 0 : EXIT_BAD_SWITCH;
    }
    given_arguments = switches.rest;
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
    int archive = header.command_length == 0, extract_only = archive || switches.extract;
    wait_for_all = !(header.flags & BUNDLE_FLAG_WAIT_COMMAND) && !switches.nowait;
    extract_texts_setup(silent, extract_only);
    extraction.progress.hidden = silent;
    if (!archive && command_split(header.command, header.command_length, &parts) != NAME_OK)
        return fail(EXTRACT_COMMAND);
    int n = header.title_length
                ? MultiByteToWideChar(CP_UTF8, 0, header.title, (int)header.title_length, title, BUNDLE_TITLE_MAX)
                : 0;
    title[n > 0 ? n : 0] = 0;
    n = MultiByteToWideChar(CP_ACP, 0, package.origin_path, -1, origin, MAX_PATH);
    if (n <= 0)
        return fail(EXTRACT_ACCESS);
    // The trailer may hold the short form: the name the user sees is the long one.
    DWORD long_length = GetLongPathNameW(origin, origin_long, COMMAND_LINE_MAX);
    if (long_length == 0 || long_length >= COMMAND_LINE_MAX)
        append_wide(origin_long, 0, origin);
    caption = title;
    for (const wchar_t *c = origin_long; *c && !title[0]; c++)
        if (*c == '\\')
            caption = c + 1;
    if (!title[0])
        append_wide(title, 0, ui_text(TEXT_EXTRACTING));

    HANDLE file = CreateFileA(package.origin_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
    if (file == INVALID_HANDLE_VALUE)
        return fail(EXTRACT_ACCESS);
    uint64_t archive_size = header.codec == BUNDLE_CODEC_PAYLOAD ? sfx_get32(count) : header.archive_size;
    int result;
    wchar_t temp[MAX_PATH + 1];
    DWORD temp_length = GetTempPathW(MAX_PATH + 1, temp);
    if (extract_only) {
        result = extract_to_folder(file, &header, archive_size, archive && !switches.extract && !silent);
    } else if (temp_length > 0 && temp_length <= MAX_PATH && !room_for(temp, archive_size)) {
        show_folder_error(EXTRACT_DISK_SPACE, temp);
        result = EXIT_FAILED;
    } else {
        result = extract(file, package.appended_offset + header.size, package.appended_size - header.size, &header,
                         archive_size, 0, 0);
    }
    CloseHandle(file);
    return result || extract_only ? result : run_in_folder(&extraction.folder);
}

extern "C" void extractor_entry() {
    restrict_dll_search();
    ExitProcess((UINT)extractor_main());
}
