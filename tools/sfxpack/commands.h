#pragma once
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "output_file.h"
#include "package/packed_identity.h"

// Options every command sees.
struct GlobalOptions {
    bool quiet = false;   // no progress bar, no warnings
    bool verbose = false; // a summary line per command
    bool force = false;   // overwrite outputs, write to a terminal, pack any stub
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

    OutputOptions output(int mode = -1) const { return {force, mode}; }
};

// The version of info's and list's JSON reports: raised when a field changes
// meaning or goes away; new fields do not raise it.
constexpr int JSON_FORMAT_VERSION = 1;

// A subcommand registered on the app, and what runs when it is chosen.
struct Command {
    CLI::App *app;
    std::function<int()> run;
};

using AddCommand = Command (*)(CLI::App &app, GlobalOptions &global);

Command add_decode_command(CLI::App &app, GlobalOptions &global);
Command add_encode_command(CLI::App &app, GlobalOptions &global);
Command add_pack_command(CLI::App &app, GlobalOptions &global);
Command add_unpack_command(CLI::App &app, GlobalOptions &global);
Command add_info_command(CLI::App &app, GlobalOptions &global);
Command add_test_command(CLI::App &app, GlobalOptions &global);
Command add_bundle_command(CLI::App &app, GlobalOptions &global);
Command add_list_command(CLI::App &app, GlobalOptions &global);
Command add_extract_command(CLI::App &app, GlobalOptions &global);

// A file of the Windows build: $VARIABLE, else the build tree's, else the
// installed one; ToolError naming where it looked and the 'option' to give.
std::string default_windows_file(const char *variable, const char *file, const char *option);

// Shared option shapes.
// -l N, and -1 ... -9, --fast, --best as gzip has them.
void add_level_option(CLI::App &command, int &level, int default_level = 6);
// Bytes, or with a K, M or G suffix (powers of 1024).
void add_max_size_option(CLI::App &command, uint64_t &max_size);
// --icon, --execution-level, --version-string (repeatable), --file-version:
// what the packed file shows Windows.
void add_identity_options(CLI::App &command, IdentityOptions &identity, const char *program);
// -o FILE, or -c for standard output; one of them is required.
void add_output_option(CLI::App &command, std::string &output, const char *what);

// The -v line on stderr: what went in and came out, the ratio and the time.
void print_summary(const GlobalOptions &global, const std::string &input, uint64_t input_size,
                   const std::string &output, uint64_t output_size);
// A one-line warning on stderr, unless -q.
void warn(const GlobalOptions &global, const std::string &message);
