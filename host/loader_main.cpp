#include "loader_main.h"

#include "decoder/payload_decoder.h"
#include "decoder/payload_format.h"
#include "command_line.h"
#include "dll_search.h"
#include "file_layer.h"
#include "include/sfx_package.h"
#include "launch.h"
#include "own_path.h"
#include "start_error.h"

enum { PATH_SIZE = MAX_PATH, STUB_SHOW_STATE = SW_SHOW };

// Windows ends the start-up busy cursor when the process first takes a
// message; the loader has no window of its own, so it makes one to do so.
static void acknowledge_start(HINSTANCE instance) {
    HWND window = CreateWindowExA(0, "EDIT", "", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, 0, 0, instance, 0);
    PostMessageA(window, WM_NULL, 0, 0);
    MSG message;
    GetMessageA(&message, window, 0, 0);
    DestroyWindow(window);
}

// A path query that returned 0 or filled the whole buffer may be cut short
// and unterminated.
static int path_fits(DWORD length) { return length != 0 && length < PATH_SIZE; }

// Static memory costs the file nothing: the CRC-32 table, made at run time,
// and a buffer for reading the written stub back.
static uint32_t crc_table[256];
static uint8_t check_buffer[4096];

// Whether the loader's own file carries a package record whose own check
// holds. Files packed without one run unchecked, as they always did.
static int read_record(HANDLE file, SfxRecord *record) {
    unsigned char bytes[SFX_RECORD_SIZE];
    sfx_crc32_table(crc_table);
    file_seek(file, SFX_RECORD_OFFSET, 0);
    int whole = file_read(bytes, SFX_RECORD_SIZE, file) == SFX_RECORD_SIZE;
    return sfx_record_read(crc_table, bytes, record) > 0 && whole;
}

// The record's flags (SFX_FLAG_*), none for a file without one, and the
// stub's exit code when it is passed on.
static uint32_t record_flags;
static DWORD stub_exit_code;

static void keep_flags(HANDLE file) {
    SfxRecord record;
    record_flags = read_record(file, &record) ? record.flags : 0;
}

// After a failure, which may have come before the sequence read the record,
// the flags are read here, so that a silent file stays silent; a file that
// cannot even be read has none.
static void read_flags_after_failure(HINSTANCE instance) {
    HANDLE file = own_path_query(instance) ? own_file_open() : INVALID_HANDLE_VALUE;
    if (file != INVALID_HANDLE_VALUE) {
        keep_flags(file);
        file_close(file);
    }
}

// The loader's own arguments, for a file whose record passes them on; else none.
__attribute__((noinline)) static const wchar_t *passed_arguments() {
    return record_flags & SFX_FLAG_PASS_ARGUMENTS ? command_line_arguments(GetCommandLineW()) : 0;
}

// Without flags the stub gets its path alone.
static int launch_stub(const char *temp_path) {
    const wchar_t *arguments = passed_arguments();
    return launch_stub_and_wait(temp_path, arguments, STUB_SHOW_STATE, &stub_exit_code);
}

// Reads the stub back from the closed temporary file and compares it with
// the record: this also catches a write the system took but did not store.
// Nothing may follow it but the trailer. 0, or the error code.
static int check_stub(const char *path, const SfxRecord *record, uint32_t trailer_size) {
    HANDLE file = file_open(path, "rb");
    if (file == INVALID_HANDLE_VALUE)
        return START_ERR_ACCESS;
    uint32_t crc = 0, left = record->stub_size;
    int32_t got = 1;
    while (left > 0 && got > 0) {
        got = file_read(check_buffer, left < sizeof check_buffer ? left : sizeof check_buffer, file);
        if (got > 0) {
            crc = sfx_crc32_update(crc_table, crc, check_buffer, (uint32_t)got);
            left -= (uint32_t)got;
        }
    }
    uint32_t size = (uint32_t)file_seek(file, 0, 2);
    file_close(file);
    return left == 0 && crc == record->stub_crc32 && size == record->stub_size + trailer_size ? 0
                                                                                             : START_ERR_BAD_DATA;
}

// Decodes the payload into the open temporary file and appends the trailer;
// 0 or the error code for a refused payload or a failed write.
static int unpack_stub(const char *module_path) {
    file_seek(payload_in, PAYLOAD_OFFSET, 0);
    DecodeResult result = decode_payload();
    if (result == DECODE_TRUNCATED || result == DECODE_MALFORMED)
        return START_ERR_BAD_DATA;
    if (result == DECODE_WRITE_FAILED)
        return START_ERR_WRITE;
    short length = (short)lstrlenA(module_path);
    unsigned char length_bytes[2] = {(unsigned char)length, (unsigned char)((unsigned)length >> 8)};
    if (file_write(module_path, (uint32_t)length, payload_out) != length ||
        file_write(length_bytes, 2, payload_out) != 2)
        return START_ERR_WRITE;
    return 0;
}

static int run(HINSTANCE instance) {
    acknowledge_start(instance);
    if (!decoder_create())
        return START_ERR_MEMORY;

    char windows_directory[PATH_SIZE];
    char temp_path[PATH_SIZE];
    if (!own_path_query(instance) || !path_fits(GetWindowsDirectoryA(windows_directory, PATH_SIZE)) ||
        !stub_temp_name(windows_directory, temp_path))
        return START_ERR_ACCESS;
    const char *module_path = own_path_trailer();

    payload_in = own_file_open();
    payload_out = file_open(temp_path, "wb");
    if (payload_in == INVALID_HANDLE_VALUE || payload_out == INVALID_HANDLE_VALUE) {
        // The system made the file with its name: it goes, as after any failure.
        if (payload_out != INVALID_HANDLE_VALUE)
            file_close(payload_out);
        file_delete(temp_path);
        return START_ERR_ACCESS;
    }

    SfxRecord record;
    int has_record = read_record(payload_in, &record);
    record_flags = has_record ? record.flags : 0;
    int unpack_error = unpack_stub(module_path);
    file_close(payload_in);
    file_close(payload_out);
    decoder_destroy();
    if (!unpack_error && has_record)
        unpack_error = check_stub(temp_path, &record, (uint32_t)lstrlenA(module_path) + 2);
    if (unpack_error) {
        // Never start what a damaged payload produced.
        file_delete(temp_path);
        return unpack_error;
    }

    if (!launch_stub(temp_path)) {
        file_delete(temp_path);
        return START_ERR_STUB_NOT_FOUND;
    }
    file_delete(temp_path);
    return 0;
}

int loader_main(HINSTANCE instance, HINSTANCE, char *, int) {
    int error = run(instance);
    if (error) {
        read_flags_after_failure(instance);
        // A file that takes its arguments may be silenced by its first one,
        // as its stub would be.
        const wchar_t *arguments = passed_arguments();
        if (arguments && leading_switch(arguments, SILENT_SWITCH))
            record_flags |= SFX_FLAG_SILENT;
        if (!(record_flags & SFX_FLAG_SILENT))
            show_start_error(error);
        return record_flags & SFX_FLAG_PASS_EXIT_CODE ? SFX_LOADER_FAILED + error : 0;
    }
    return record_flags & SFX_FLAG_PASS_EXIT_CODE ? (int)stub_exit_code : 1;
}

extern "C" void loader_entry() {
    restrict_dll_search();
    STARTUPINFOA startup;
    startup.dwFlags = 0;
    GetStartupInfoA(&startup);
    int show_state = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
    int result = loader_main(GetModuleHandleA(0), 0, command_line_arguments(GetCommandLineA()), show_state);
    ExitProcess((UINT)result);
}
