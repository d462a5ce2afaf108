#pragma once
#include <CLI/CLI.hpp>
#include <functional>

// A subcommand registered on the app, and what runs when it is chosen.
struct Command {
    CLI::App *app;
    std::function<int()> run;
};

Command add_decode_command(CLI::App &app);
