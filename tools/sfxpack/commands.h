#pragma once
#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>

// Options every command sees.
struct GlobalOptions {
    bool quiet = false;
};

// A subcommand registered on the app, and what runs when it is chosen.
struct Command {
    CLI::App *app;
    std::function<int()> run;
};

using AddCommand = Command (*)(CLI::App &app, const GlobalOptions &global);

Command add_decode_command(CLI::App &app, const GlobalOptions &global);
Command add_encode_command(CLI::App &app, const GlobalOptions &global);
Command add_pack_command(CLI::App &app, const GlobalOptions &global);
Command add_unpack_command(CLI::App &app, const GlobalOptions &global);
Command add_info_command(CLI::App &app, const GlobalOptions &global);
Command add_test_command(CLI::App &app, const GlobalOptions &global);

// Shared option shapes.
void add_level_option(CLI::App &command, int &level);
void add_max_size_option(CLI::App &command, uint64_t &max_size);
