// What a packed file shows Windows, written into the loader's resources:
// the icon, the version information and the manifest's execution level,
// taken from the options, else from the program inside (pack's stub, a
// bundle command's program), else the loader's icon, no version
// information and asInvoker.
#pragma once
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "pe/program_identity.h"

struct IdentityOptions {
    std::string icon;                                         // an .ico file
    std::optional<ExecutionLevel> level;
    std::vector<std::pair<std::string, std::string>> strings; // version strings, names and values
    std::optional<VersionNumbers> file_version;
};

// A program's identity as read from its file where it lies, only the
// headers and the resources read.
ProgramIdentity program_identity_of(const std::string &path);
// The same of a program in memory.
ProgramIdentity program_identity_of(std::span<const uint8_t> program);

using Warn = std::function<void(const std::string &)>;

// The loader (named 'loader_name' in messages) with the resources chosen
// from 'options', then 'program' (named 'program_name'; warnings about it
// go to 'warn'), then the defaults. The program's icon loses its largest
// images, with a warning, where it does not fit whole. PackageError when
// the icon given does not fit (naming the bytes asked for and the room) or
// cannot be read.
std::vector<uint8_t> loader_with_identity(std::span<const uint8_t> loader, const std::string &loader_name,
                                          const IdentityOptions &options, const ProgramIdentity &program,
                                          const std::string &program_name, const Warn &warn);

// What the resources of a packed file's loader show: read from its first
// bytes (the loader's image among them).
ProgramIdentity packed_identity(std::span<const uint8_t> head);
