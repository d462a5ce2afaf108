// A folder and a command as one executable: the extractor packed as the
// stub, then a bundle header and the folder's tar stream, coded, as the
// appended data. Making one, and reading one back.
#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "archive/bundle_format.h"
#include "archive/tar_reader.h"
#include "input_file.h"
#include "packed_file.h"

// One file or folder of a folder being bundled.
struct FolderEntry {
    std::filesystem::path source; // where it is read from
    std::string name;             // in the archive: UTF-8, '/' between folders, no trailing '/'
    bool folder;
    uint64_t size;  // 0 for a folder
    uint32_t mode;  // permission bits
    int64_t mtime;  // seconds since 1970
};

// How a folder is read.
struct ScanOptions {
    bool follow = false;              // symbolic links as what they name, if inside the folder
    std::vector<std::string> exclude; // shell patterns: with a '/' on the whole path, else on a name
    std::optional<int64_t> newest;    // SOURCE_DATE_EPOCH: no entry's time is later
};
// How many bad entries one message names.
constexpr size_t SCAN_PROBLEMS_SHOWN = 10;

// The folder's folders and regular files, in name order, under names
// relative to it. ToolError for anything an extraction would refuse: links
// (unless followed), devices, names Windows cannot take or would take for
// one another; one message names them all, up to SCAN_PROBLEMS_SHOWN.
std::vector<FolderEntry> scan_folder(const std::filesystem::path &folder, const ScanOptions &options = {});

// The most bytes a bundle's archive (the tar stream) may take: what the
// payload's count header can describe.
constexpr uint64_t BUNDLE_ARCHIVE_MAX = INT32_MAX;
// The least the entries take as a tar stream: headers, data in whole blocks, end blocks.
uint64_t archive_size_at_least(const std::vector<FolderEntry> &entries);
// ToolError when that already passes BUNDLE_ARCHIVE_MAX, before any file is read.
void check_archive_size(const std::vector<FolderEntry> &entries);

// The entries as a pax tar stream (libarchive), their data read from their
// sources.
std::vector<uint8_t> tar_folder(const std::vector<FolderEntry> &entries);

// ToolError when the command or title cannot be stored, the archive would
// be refused, its size passes what a payload holds, or the command's
// program is no file of it.
void check_bundle(const std::string &command, const std::string &title, std::span<const uint8_t> tar);
// The appended data: the header with command and title, then 'tar' coded at
// 'level', as they are.
std::vector<uint8_t> bundle_appended(const std::string &command, const std::string &title,
                                     std::span<const uint8_t> tar, int level, bool quiet);

// A packed file's bundle, its record and appended data checked.
struct BundleInfo {
    PayloadLocation location;
    std::string command, title;
    uint64_t archive_offset, archive_end; // the coded tar stream's bytes in the file
    int32_t archive_size;                 // its count header: the tar stream's size
};
BundleInfo open_bundle(const InputFile &file, const std::string &name);

// Decodes the bundle's tar stream through the archive reader, which calls
// 'sink'; ToolError naming the refused entry, or a failed decode.
void read_bundle(const InputFile &file, const BundleInfo &bundle, const ArchiveSink &sink, const std::string &name);

// read_bundle with a progress bar over the archive's bytes (on a terminal,
// for large archives, unless 'quiet').
void read_bundle_with_progress(const InputFile &file, const BundleInfo &bundle, const ArchiveSink &sink,
                               const std::string &name, bool quiet);

// Whether an archive entry is the file the command's program names.
bool is_command_program(const CommandParts &parts, const ArchiveEntry &entry);

// Whether a packed file's appended data starts with a bundle header.
bool has_bundle_header(const InputFile &file, const PayloadLocation &location);

// A bundle read through as the extractor reads it: every entry through the
// archive reader, the command's program among the files.
struct BundleContents {
    BundleInfo bundle;
    int header_version;
    const char *codec;
    uint64_t files = 0, folders = 0, bytes = 0;
};
// ToolError naming what the extractor would refuse.
BundleContents verify_bundle(const InputFile &file, const std::string &name, bool quiet);

// What the archive reader refused, as a user reads it.
std::string archive_error_text(const TarReader &reader, ArchiveError error);
const char *name_problem_text(NameProblem problem);
