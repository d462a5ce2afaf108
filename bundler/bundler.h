// Making bundles: a folder and a command as the appended data of a packed
// extractor. The folder is scanned under the rules every extraction follows
// (folder_scan.cpp), its files that do not compress found (stored_files.cpp),
// written as a pax tar stream (tar_writer.cpp), coded with LZMA after its
// filter, those files stored after it (archive_coder.cpp), and checked on its way by the
// same archive reader the extractor uses; the command is checked against the
// folder's files (bundle_checks.cpp). The format itself, and reading it, are
// archive/'s. Errors are BundleError, one line a user reads.
#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/bundle_format.h"
#include "archive/entry_name.h"

// A folder, command or archive that cannot make a bundle, or a failed read
// or write: its message names what and why.
struct BundleError : std::runtime_error {
    explicit BundleError(const std::string &message) : std::runtime_error(message) {}
};

// One file or folder of a folder being bundled.
struct FolderEntry {
    std::string source; // where it is read from (a string: a path would keep a list of its parts)
    std::string name;             // in the archive: UTF-8, '/' between folders, no trailing '/'
    bool folder;
    uint64_t size;  // 0 for a folder
    uint32_t mode;  // permission bits: 0755 for folders and files their owner may run, else 0644
    int64_t mtime;  // seconds since 1970
    bool stored = false;      // its data does not compress: stored as it is, after what is coded
    bool x86_program = false; // an x86 or x86-64 Windows program or library
    bool x64_program = false; // an x86-64 one
};

// How a folder is read.
struct ScanOptions {
    bool follow = false;              // symbolic links as what they name, if inside the folder
    std::vector<std::string> exclude; // shell patterns: with a '/' on the whole path ("**" any depth), else on a name
    std::optional<int64_t> newest;    // SOURCE_DATE_EPOCH: no entry's time is later
};
// How many bad entries one message names.
constexpr size_t SCAN_PROBLEMS_SHOWN = 10;

// The folder's folders and regular files, in name order, under names
// relative to it. BundleError for anything an extraction would refuse: links
// (unless followed), devices, names Windows cannot take or would take for
// one another; and for files and folders it cannot read; one message names
// them all, up to SCAN_PROBLEMS_SHOWN. The exclude patterns that left
// nothing out go to 'unmatched', when given.
std::vector<FolderEntry> scan_folder(const std::filesystem::path &folder, const ScanOptions &options = {},
                                     std::vector<std::string> *unmatched = nullptr);

// Looks at each file before the coding, on 'threads' threads: marks the
// x86 and x86-64 Windows programs (from PROGRAM_MIN bytes, by their PE
// header), and the files whose data does not compress, to be stored: those
// of at least STORED_FILE_MIN bytes of which a sample (the start, middle and
// end) looks random byte by byte and saves under 1 % with liblzma's fastest
// preset. A file with a copy in the folder is left to LZMA, which finds it.
// A smaller file would cost more stored than coded: its tar header and
// padding, which LZMA codes in a few bytes, would be stored with it.
constexpr uint64_t PROGRAM_MIN = 512;
constexpr uint64_t STORED_FILE_MIN = 64 << 10;
void survey_files(std::vector<FolderEntry> &entries, unsigned threads = 1);

// Puts the entries in the order the archive holds them: the folders by
// name, then the files grouped by extension, then by name, so that like
// files stand together for the compressor; the files to store last.
void order_for_coding(std::vector<FolderEntry> &entries);

// The most bytes the entries' tar stream can take, known before anything
// is read.
uint64_t tar_size_bound(const std::vector<FolderEntry> &entries);
// The bytes the entries' tar stream takes, as long as no file changes its
// size, and of them the part that is coded, not stored: found by writing the
// headers alone, as the entries stand in order.
struct TarSize {
    uint64_t all, coded;
};
TarSize tar_size(const std::vector<FolderEntry> &entries);

using ByteSink = std::function<void(const uint8_t *bytes, size_t size)>;
using StoreRest = std::function<void()>;
// The entries as a headers-first pax tar stream (tar_reader.h): the headers
// by libarchive, then the files' data read from their sources, handed to
// 'sink' in pieces: mode and mtime from the entries, no owner. 'store_rest',
// when given, is called once before the first file to store (before the
// zeros that align its data), every byte before it handed on.
void tar_folder(const std::vector<FolderEntry> &entries, const ByteSink &sink, const StoreRest &store_rest = nullptr);

// How a bundle's archive is coded: a level (1 to 9, liblzma's presets; 9
// searches less deep than the preset's extreme form), 'extreme' for
// liblzma's extreme flag (slower, for the last bytes, as xz's -e), and a
// filter before LZMA. What LZMA codes may come in two slices, the second
// its own stream that starts with the first's last dictionary-full as its
// dictionary, so that the two are coded side by side. The threads change
// nothing in the bytes: the first slice is coded on a thread of its own as
// it comes (its match finder on two more) while this one reads, writes,
// converts and codes the second; with one, all of them keep to one core,
// and with two slices each is coded in turn.
struct CodingSettings {
    int level;
    bool extreme;
    uint32_t filter;     // BUNDLE_FILTER_...
    uint32_t dictionary; // the preset's, or the archive's or a slice's size when smaller
    uint32_t slice = 0;  // the bytes LZMA codes in its first stream when there are two, else 0
    unsigned threads = 1;
    bool headers_first = true; // the tar stream's layout (tar_reader.h); tar_folder writes no other
    uint32_t codec = BUNDLE_CODEC_LZMA2; // or BUNDLE_CODEC_LZMA, as before version 9
};
// The settings for an archive of 'archive_size' bytes to code: a coded part
// of SLICE_DICTIONARIES times the level's dictionary or more (and at least
// SLICE_FROM) is cut in two slices, the first a little larger than half.
constexpr uint64_t SLICE_FROM = 16 << 20;
constexpr uint64_t SLICE_DICTIONARIES = 4;
CodingSettings coding_settings(int level, bool extreme, uint32_t filter, uint64_t archive_size);
// The filter that pays for these surveyed files: the split branch conversion
// when Windows programs and libraries (x86 or x86-64) make up most of the
// bytes coded (not stored), else none.
uint32_t choose_filter(const std::vector<FolderEntry> &entries);

// Where the extractor finds the command's program: the folder's file of that
// name (as Windows matches names, in any case), else for a bare name the
// Windows system folder's program; none for an archive, which runs nothing.
enum class ProgramPlace { folder, system, missing, none };
ProgramPlace program_place(const CommandParts &parts, const std::vector<std::string> &files);

// The Windows system folder's programs a command may name without
// --system-program: those that run scripts, installer packages and
// registrations, each found in that folder itself, where the extractor looks.
// Them as one line, "cmd, msiexec, ...", for messages and help.
std::string known_system_programs_text();
// Whether a bare name (with ".exe" or without, in any case) is one of them.
bool known_system_program(const CommandParts &parts);

// 'place', program_place's answer, with BundleError for a missing program, a
// file of the folder that Windows does not start as a program, a bare name
// whose ".exe" is in the folder, and, unless 'any_system_program', a system
// folder's program that is not a known one (most often a misspelt file of
// the folder). 'files' are the folder's files, '/'-separated.
ProgramPlace check_program(const CommandParts &parts, const std::vector<std::string> &files, ProgramPlace place,
                           bool any_system_program);

// The folder's file that the command runs, when its program is one.
const FolderEntry *command_program(const std::string &command, const std::vector<FolderEntry> &entries);

// BundleError, before anything is coded, when the command, title or target
// cannot be stored or check_program refuses the command's program; else
// where that program is (none for an archive: an empty command).
ProgramPlace check_bundle(const std::string &command, const std::string &title, const std::vector<FolderEntry> &entries,
                          bool any_system_program = false, const std::string &target = "");

// Codes the tar stream 'produce' hands its sink (headers first, unless the
// settings say otherwise) into 'fd' as raw LZMA, checking it with the
// archive reader on its way: the header fields that
// describe it (filter, properties, dictionary, archive, stored and coded
// sizes, slice), all it wrote in *coded_size. What comes after 'produce'
// calls its StoreRest is written as it is, after the LZMA streams. With
// 'verify', BundleError when the reader refuses it. 'progress', when given,
// hears about how many of the tar stream's bytes are done, on the calling
// thread, which is also where 'produce' runs. LZMA's input waits in a
// temporary file for the first slice's coder, and the coded slices each in
// one, until they are written out in order.
using ProgressCall = std::function<void(uint64_t done)>;
using TarProducer = std::function<void(const ByteSink &, const StoreRest &)>;
BundleHeader code_archive(const TarProducer &produce, const CodingSettings &settings, int fd,
                          const ProgressCall &progress, uint64_t *coded_size, bool verify = true);

// An unlinked temporary file in $TMPDIR (else /tmp) for a coded archive,
// whose size and CRC-32 must be known before it is written out: its
// descriptor, for the caller to close.
int coded_archive_file();
// Hands the first 'size' bytes of such a file to 'use', a block at a time.
void read_coded_archive(int fd, uint64_t size, const std::function<void(const uint8_t *, size_t)> &use);

// The header of a bundle's appended data: 'header' (as code_archive gave
// it) with the command (empty for an archive), title and target.
std::vector<uint8_t> bundle_header_bytes(BundleHeader header, const std::string &command, const std::string &title,
                                         const std::string &target);

// The whole appended data of a bundle, 'tar' (a plain tar stream, as the
// hand-made ones of the tests are) coded at 'level' as it is (unchecked),
// its bytes from 'stored_from' on stored, LZMA's cut in two slices at
// 'slice' when it is not 0, in memory: for small archives, such as the
// tests make. LZMA in chunks marks the header version 9, which says the
// headers come first: only for what reads no tar stream.
std::vector<uint8_t> bundle_appended(const std::string &command, const std::string &title,
                                     std::span<const uint8_t> tar, int level,
                                     uint32_t filter = BUNDLE_FILTER_NONE, const std::string &target = "",
                                     size_t stored_from = SIZE_MAX, uint32_t slice = 0,
                                     uint32_t codec = BUNDLE_CODEC_LZMA);
