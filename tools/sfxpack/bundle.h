// A folder and a command as one executable: the extractor packed as the
// stub, then a bundle header and the folder's tar stream, coded, as the
// appended data. Making one, and reading one back.
#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "archive/bundle_format.h"
#include "archive/tar_reader.h"
#include "input_file.h"
#include "packed_file.h"

// The folder as a pax tar stream (libarchive): its folders and regular
// files, in name order, under names relative to it. ToolError for anything
// an extraction would refuse: links, devices, names Windows cannot take or
// would take for one another.
std::vector<uint8_t> tar_folder(const std::filesystem::path &folder);

// Where the extractor finds the command's program: the folder's file of that
// name (as Windows matches names, in any case), else for a bare name the
// Windows system folder's program.
enum class ProgramPlace { folder, system, missing };
ProgramPlace program_place(const CommandParts &parts, const std::vector<std::string> &files);
// As above, with ToolError for a missing program, a file of the folder that
// Windows does not start as a program, and a bare name whose ".exe" is in
// the folder. 'files' are the folder's files, '/'-separated.
ProgramPlace check_program(const CommandParts &parts, const std::vector<std::string> &files);

// ToolError when the command or title cannot be stored, the archive would
// be refused, its size passes what a payload holds, or check_program
// refuses the command's program; else where that program is.
ProgramPlace check_bundle(const std::string &command, const std::string &title, std::span<const uint8_t> tar);
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

// What the archive reader refused, as a user reads it.
std::string archive_error_text(const TarReader &reader, ArchiveError error);
const char *name_problem_text(NameProblem problem);
