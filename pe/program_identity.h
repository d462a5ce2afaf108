// What Windows shows of a program and how it starts it: its icon, its
// version information and the execution level its manifest asks for. Read
// from a program's resources (untrusted: what cannot be used is left out
// with a warning) or from an .ico file, and written as resources.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pe/pe_resources.h"

// One image of an icon, as an icon group lists it.
struct IconImage {
    uint8_t width, height, colors; // 0 stands for 256 pixels, and for 256 colours or more
    uint16_t planes, bits;
    std::vector<uint8_t> data; // a bitmap without its file header, or a PNG
};
using Icon = std::vector<IconImage>;

// An .ico file's images, or nullopt with *why.
std::optional<Icon> parse_ico(std::span<const uint8_t> file, std::string *why);
// "48x48@32", or "256x256@32 png": its size in pixels and bits a pixel.
std::string icon_image_text(const IconImage &image);
// The group and image resources of 'icon': the group as 'group' in
// 'language', its images numbered from 1.
std::vector<Resource> icon_resources(const Icon &icon, const ResourceId &group, uint16_t language);

using VersionNumbers = std::array<uint16_t, 4>;
// "1.2.3.4" (each 0 to 65535), else nullopt.
std::optional<VersionNumbers> parse_version_numbers(std::string_view text);
std::string version_numbers_text(const VersionNumbers &version);

// A VERSIONINFO: its fixed numbers and one table of strings.
struct VersionInfo {
    VersionNumbers file_version{}, product_version{};
    uint16_t language = 0x0409, codepage = 1200; // the string table's: U.S. English, Unicode
    std::vector<std::pair<std::string, std::string>> strings; // UTF-8 names and values, in their order
};
// The first string table of a VERSIONINFO resource, or nullopt with *why.
std::optional<VersionInfo> parse_version_info(std::span<const uint8_t> data, std::string *why);
std::vector<uint8_t> build_version_info(const VersionInfo &info);

enum class ExecutionLevel { as_invoker, highest_available, require_administrator };
// "asInvoker", "highestAvailable", "requireAdministrator".
const char *execution_level_name(ExecutionLevel level);
std::optional<ExecutionLevel> execution_level_named(std::string_view name);
// The level a manifest's requestedExecutionLevel asks for; nullopt when it
// asks none, and with *why when it names one Windows does not know.
std::optional<ExecutionLevel> manifest_level(std::span<const uint8_t> manifest, std::string *why);
// A manifest that asks for 'level', without uiAccess, and declares the
// systems from Vista to 11 supported.
std::string make_manifest(ExecutionLevel level);

// A program's icon (its first icon group, as Explorer shows it), version
// information and the level its manifest asks for; each absent when the
// program has none or it cannot be used, which 'warnings' then says.
struct ProgramIdentity {
    std::optional<Icon> icon;
    std::optional<VersionInfo> version;
    std::optional<ExecutionLevel> level;
    std::vector<std::string> warnings;
};
ProgramIdentity read_identity(std::span<const uint8_t> headers, uint64_t file_size, const ReadAt &read);
