// The whole command line of sfxpack, callable from main and from fuzzers.
#include "tool_main.h"

#include <cstdio>
#include <new>
#include <vector>

#include "commands.h"
#include "encoder/payload_encoder.h"
#include "tool_error.h"

namespace {
constexpr uint64_t DEFAULT_MAX_SIZE = 512ull << 20;
}

void add_level_option(CLI::App &command, int &level) {
    level = DEFAULT_LEVEL;
    command.add_option("-l,--level", level, "Compression level: 1 fastest, 9 smallest")
        ->check(CLI::Range(MIN_LEVEL, MAX_LEVEL))
        ->default_val(DEFAULT_LEVEL);
}

void add_max_size_option(CLI::App &command, uint64_t &max_size) {
    max_size = DEFAULT_MAX_SIZE;
    command.add_option("--max-size", max_size, "Refuse payloads that decode to more bytes than this (default 512 MiB)")
        ->default_val(DEFAULT_MAX_SIZE);
}

int sfxpack_main(int argc, char **argv, const char *version) {
    CLI::App app{"sfxpack: build, inspect and unpack self-extracting executables.\n"
                 "Inputs and outputs may be '-' for standard input and output."};
    app.set_version_flag("--version", std::string("sfxpack ") + version);
    app.require_subcommand(1);
    app.fallthrough();
    GlobalOptions global;
    app.add_flag("-q,--quiet", global.quiet, "No progress bar");

    std::vector<Command> commands;
    for (AddCommand add : {add_pack_command, add_unpack_command, add_test_command, add_info_command,
                           add_encode_command, add_decode_command})
        commands.push_back(add(app, global));

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        int code = app.exit(e);
        return code == 0 ? EXIT_OK : EXIT_USAGE;
    }

    try {
        for (const Command &command : commands)
            if (command.app->parsed())
                return command.run();
    } catch (const ToolError &e) {
        std::fprintf(stderr, "sfxpack: error: %s\n", e.what());
        return EXIT_BAD_INPUT;
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "sfxpack: error: out of memory\n");
        return EXIT_BAD_INPUT;
    }
    return EXIT_USAGE;
}
