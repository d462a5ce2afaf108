// sfxpack: builds, inspects and unpacks self-extracting executables.
#include <cstdio>
#include <vector>

#include "commands.h"
#include "tool_error.h"

#ifndef SFXPACK_VERSION
#define SFXPACK_VERSION "unknown"
#endif

int main(int argc, char **argv) {
    CLI::App app{"sfxpack: build, inspect and unpack self-extracting executables"};
    app.set_version_flag("--version", "sfxpack " SFXPACK_VERSION);
    app.require_subcommand(1);

    std::vector<Command> commands{add_decode_command(app)};

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
    }
    return EXIT_USAGE;
}
