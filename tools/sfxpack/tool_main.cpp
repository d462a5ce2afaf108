// The whole command line of sfxpack, callable from main and from fuzzers.
#include "tool_main.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <new>
#include <vector>

#include "commands.h"
#include "encoder/payload_encoder.h"
#include "tool_error.h"

namespace {

constexpr uint64_t DEFAULT_MAX_SIZE = 512ull << 20;
constexpr const char *SUMMARY = "sfxpack: build, inspect and unpack self-extracting executables.";

// "4096", "64K", "512M", "2G" (any case) to bytes in place; else what is wrong.
std::string parse_size(std::string &text) {
    size_t digits = 0;
    while (digits < text.size() && std::isdigit((unsigned char)text[digits]))
        digits++;
    std::string unit = text.substr(digits);
    size_t multiple = unit.empty() ? 0 : unit.size() == 1 ? std::string("-KMG").find((char)std::toupper(unit[0])) : 0;
    uint64_t value = 0;
    if (digits == 0 || (!unit.empty() && (multiple == 0 || multiple == std::string::npos)) ||
        std::from_chars(text.data(), text.data() + digits, value).ec != std::errc())
        return "'" + text + "' is not a size: bytes, or a number with K, M or G";
    if (value == 0)
        return "the size must be more than 0";
    int shift = (int)multiple * 10;
    if (value > (UINT64_MAX >> shift))
        return "'" + text + "' is too large";
    text = std::to_string(value << shift);
    return "";
}

void add_global_options(CLI::App &command, GlobalOptions &global) {
    const char *group = command.get_parent() ? "Global options" : "Options";
    command.add_flag("-q,--quiet", global.quiet, "No progress bar and no warnings")->group(group);
    command.add_flag("-v,--verbose", global.verbose, "A summary line on stderr: sizes, ratio, time")->group(group);
    command.add_flag("-f,--force", global.force,
                     "Overwrite existing outputs, write binary data to a terminal, pack any stub")
        ->group(group);
}

// A command that writes needs exactly one of -o FILE and -c.
std::string output_problem(const CLI::App &command) {
    const CLI::Option *file = command.get_option_no_throw("--output");
    if (!file)
        return "";
    size_t given = file->count() + command.get_option("--stdout")->count();
    return given == 1 ? "" : given ? "-o and -c both name the output" : "an output is required: -o FILE, or -c";
}

// The first word CLI11 left over, named the way a user typed it.
std::string leftover_problem(const CLI::App &app) {
    std::vector<std::string> extras = app.remaining(true);
    if (extras.empty())
        return "";
    const std::string &word = extras.front();
    if (word.size() > 1 && word[0] == '-')
        return "unknown option '" + word + "'";
    bool has_command = !app.get_subcommands().empty();
    return (has_command ? "unexpected argument '" : "unknown command '") + word + "'";
}

int usage_error(const CLI::App &app, const std::string &message) {
    std::vector<CLI::App *> chosen = app.get_subcommands();
    std::string help = chosen.empty() ? "sfxpack --help" : "sfxpack " + chosen.front()->get_name() + " --help";
    std::fprintf(stderr, "sfxpack: error: %s\nRun '%s' for usage.\n", message.c_str(), help.c_str());
    return EXIT_USAGE;
}

// The help of every command (--help-all) in the shape help2man makes the
// manual page from: after the command list, a heading per command with its
// own options beneath it; the global options only once, at the top.
class ManualFormatter : public CLI::Formatter {
  public:
    // The manual has its own description; the tool's one-line summary is its NAME.
    std::string make_help(const CLI::App *app, std::string name, CLI::AppFormatMode mode) const override {
        std::string out = CLI::Formatter::make_help(app, name, mode);
        std::string summary = SUMMARY;
        if (size_t at = out.find(summary + "\n"); mode == CLI::AppFormatMode::All && at != std::string::npos)
            out.erase(at, summary.size() + 1);
        return out;
    }

    // Options as "-o,--output FILE": no "TEXT" for a value of any kind, no
    // "REQUIRED" (the usage line shows what is).
    std::string make_option_opts(const CLI::Option *option) const override {
        std::string text = CLI::Formatter::make_option_opts(option);
        for (const char *noise : {" REQUIRED", " TEXT"})
            if (size_t at = text.find(noise); at != std::string::npos)
                text.erase(at, std::strlen(noise));
        return text;
    }

    std::string make_subcommands(const CLI::App *app, CLI::AppFormatMode mode) const override {
        std::string out = CLI::Formatter::make_subcommands(app, CLI::AppFormatMode::Normal);
        if (mode != CLI::AppFormatMode::All)
            return out;
        for (const CLI::App *command : app->get_subcommands({})) {
            if (command->get_name() == "help")
                continue;
            out += "\n" + command->get_name() + " command:\n  " + command->get_description() + "\n\n";
            for (const CLI::Option *option : command->get_options([command](const CLI::Option *o) {
                     return o->get_group() == "Options" && o != command->get_help_ptr() && o != command->get_help_all_ptr();
                 }))
                out += make_option(option, option->get_positional());
        }
        return out;
    }
};

// CLI11's own messages in the tool's words, where they are not already.
std::string parse_error_text(const CLI::ParseError &error) {
    std::string text = error.what();
    std::string name = text.substr(0, text.find(':'));
    if (dynamic_cast<const CLI::ArgumentMismatch *>(&error)) {
        if (text.find("At Most") != std::string::npos)
            return name + " is given more than once; it takes one value";
        if (text.find("required") != std::string::npos && text.find("missing") != std::string::npos)
            return name + " needs a value";
    }
    return text;
}

// gzip's rule: output that could not be written is a failure, whatever the
// command did; --help and --version too.
int check_stdout(int code) {
    errno = 0;
    std::cout.flush();
    int flushed = std::fflush(stdout);
    if (flushed == 0 && !std::ferror(stdout) && std::cout.good())
        return code;
    std::fprintf(stderr, "sfxpack: error: <stdout>: cannot write%s%s\n", errno ? ": " : "", errno ? std::strerror(errno) : "");
    return code == EXIT_OK ? EXIT_BAD_INPUT : code;
}

std::string display(const std::string &path, const char *stdio) { return path == "-" ? stdio : path; }

} // namespace

void add_level_option(CLI::App &command, int &level, int default_level) {
    level = default_level;
    CLI::Option *number = command.add_option("-l,--level", level, "Compression level: 1 fastest, 9 smallest "
                                                                   "(default " + std::to_string(default_level) +
                                                                   "); also -1 ... -9")
                              ->type_name("N")
                              ->check(CLI::Validator(
                                  [](std::string &text) {
                                      int n = 0;
                                      auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
                                      return error == std::errc() && end == text.data() + text.size() &&
                                                     n >= MIN_LEVEL && n <= MAX_LEVEL
                                                 ? std::string()
                                                 : "'" + text + "' is not a level: 1 (fastest) to 9 (smallest)";
                                  },
                                  "", "level"));
    std::map<const CLI::Option *, int> shortcuts{{command.add_flag("--fast")->description("Level 1"), MIN_LEVEL},
                                                 {command.add_flag("--best")->description("Level 9"), MAX_LEVEL}};
    for (int n = MIN_LEVEL; n <= MAX_LEVEL; n++)
        shortcuts[command.add_flag("-" + std::to_string(n))->group("")] = n;
    // As in gzip, the last of them on the command line counts.
    command.final_callback([&command, &level, number, shortcuts] {
        for (const CLI::Option *given : command.parse_order())
            level = given == number ? number->as<int>() : shortcuts.contains(given) ? shortcuts.at(given) : level;
    });
}

void add_max_size_option(CLI::App &command, uint64_t &max_size) {
    max_size = DEFAULT_MAX_SIZE;
    command
        .add_option("--max-size", max_size,
                    "Refuse payloads that decode to more bytes than this; K, M, G multiply by 1024 (default 512 MiB)")
        ->type_name("SIZE")
        ->transform(CLI::Validator(parse_size, "", "size"));
}

void add_identity_options(CLI::App &command, IdentityOptions &identity, const char *program) {
    std::string from = std::string(" (default: ") + program;
    command.add_option("--icon", identity.icon, "The packed file's icon, an .ico file" + from + "'s first icon group, "
                                                "else the loader's)")
        ->type_name("FILE");
    command
        .add_option_function<std::string>(
            "--execution-level", [&identity](const std::string &name) { identity.level = execution_level_named(name); },
            "What the packed file asks Windows for: asInvoker, highestAvailable or requireAdministrator" + from +
                "'s manifest's, else asInvoker)")
        ->type_name("LEVEL")
        ->check(CLI::Validator(
            [](std::string &name) {
                return execution_level_named(name) ? std::string()
                                                   : "'" + name + "' is not an execution level: asInvoker, "
                                                                  "highestAvailable or requireAdministrator";
            },
            "", "level"));
    command
        .add_option_function<std::vector<std::string>>(
            "--version-string",
            [&identity](const std::vector<std::string> &strings) {
                for (const std::string &string : strings)
                    identity.strings.push_back({string.substr(0, string.find('=')), string.substr(string.find('=') + 1)});
            },
            "A string of the packed file's version information, as CompanyName=ACME (repeatable; over " +
                std::string(program) + "'s own)")
        ->type_name("NAME=VALUE")
        ->check(CLI::Validator(
            [](std::string &string) {
                size_t at = string.find('=');
                return at != 0 && at != std::string::npos ? std::string()
                                                          : "'" + string + "' is not NAME=VALUE";
            },
            "", "string"));
    command
        .add_option_function<std::string>(
            "--file-version", [&identity](const std::string &text) { identity.file_version = parse_version_numbers(text); },
            "The packed file's version numbers, and its FileVersion string")
        ->type_name("A.B.C.D")
        ->check(CLI::Validator(
            [](std::string &text) {
                return parse_version_numbers(text) ? std::string()
                                                   : "'" + text + "' is not a version: four numbers 0 to 65535, "
                                                                  "as 1.2.0.15";
            },
            "", "version"));
}

void add_output_option(CLI::App &command, std::string &output, const char *what) {
    command.add_option("-o,--output", output, std::string(what) + "; '-' for standard output")->type_name("FILE");
    command.add_flag_callback("-c,--stdout", [&output] { output = "-"; }, "Write to standard output (as -o -)");
}

void print_summary(const GlobalOptions &global, const std::string &input, uint64_t input_size,
                   const std::string &output, uint64_t output_size) {
    if (!global.verbose)
        return;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - global.start).count();
    std::fprintf(stderr, "sfxpack: %s: %llu bytes -> %s: %llu bytes (%.2f%%) in %.2f s\n",
                 display(input, "<stdin>").c_str(), (unsigned long long)input_size,
                 display(output, "<stdout>").c_str(), (unsigned long long)output_size,
                 input_size ? 100.0 * (double)output_size / (double)input_size : 0.0, seconds);
}

void warn(const GlobalOptions &global, const std::string &message) {
    if (!global.quiet)
        std::fprintf(stderr, "sfxpack: warning: %s\n", message.c_str());
}

namespace {

int run_command_line(int argc, char **argv, const char *version) {
    CLI::App app{std::string(SUMMARY) + "\nInputs and outputs may be '-' for standard input and output.", "sfxpack"};
    app.set_version_flag("-V,--version", std::string("sfxpack ") + version);
    app.set_help_all_flag("--help-all", "Print the help of every command and exit");
    app.formatter(std::make_shared<ManualFormatter>());
    app.require_subcommand(1);
    app.fallthrough();
    app.allow_extras();
    GlobalOptions global;
    add_global_options(app, global);

    std::vector<Command> commands;
    for (AddCommand add : {add_pack_command, add_bundle_command, add_list_command, add_extract_command,
                           add_unpack_command, add_test_command, add_info_command, add_encode_command,
                           add_decode_command}) {
        commands.push_back(add(app, global));
        add_global_options(*commands.back().app, global);
    }
    // sfxpack help [COMMAND], as --help and COMMAND --help.
    std::string topic;
    CLI::App *help = app.add_subcommand("help", "Print the help of sfxpack or of one command and exit");
    help->add_option("COMMAND", topic, "The command to describe")->type_name("");
    commands.push_back({help, [&app, &topic] {
                            if (topic.empty()) {
                                // app.help() would describe the chosen command: help itself.
                                std::cout << app.get_formatter()->make_help(&app, "sfxpack", CLI::AppFormatMode::Normal);
                                return EXIT_OK;
                            }
                            for (CLI::App *command : app.get_subcommands({}))
                                if (command->get_name() == topic && topic != "help") {
                                    std::cout << command->help("sfxpack");
                                    return EXIT_OK;
                                }
                            throw UsageError("help: unknown command '" + topic + "'");
                        }});

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &e) {
        return app.exit(e) == 0 ? EXIT_OK : EXIT_USAGE; // --help, --version
    } catch (const CLI::ParseError &e) {
        std::string leftover = leftover_problem(app);
        if (leftover.empty() && app.get_subcommands().empty())
            leftover = "a command is required: pack, bundle, list, extract, unpack, test, info, encode or decode";
        return usage_error(app, leftover.empty() ? parse_error_text(e) : leftover);
    }
    if (std::string leftover = leftover_problem(app); !leftover.empty())
        return usage_error(app, leftover);
    for (const Command &command : commands)
        if (std::string problem = command.app->parsed() ? output_problem(*command.app) : ""; !problem.empty())
            return usage_error(app, command.app->get_name() + ": " + problem);

    try {
        for (const Command &command : commands)
            if (command.app->parsed())
                return command.run();
    } catch (const UsageError &e) {
        return usage_error(app, e.what());
    } catch (const std::runtime_error &e) { // ToolError, and the libraries' own (BundleError)
        std::fprintf(stderr, "sfxpack: error: %s\n", e.what());
        return EXIT_BAD_INPUT;
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "sfxpack: error: out of memory\n");
        return EXIT_BAD_INPUT;
    }
    return EXIT_USAGE;
}

} // namespace

int sfxpack_main(int argc, char **argv, const char *version) {
    return check_stdout(run_command_line(argc, argv, version));
}
