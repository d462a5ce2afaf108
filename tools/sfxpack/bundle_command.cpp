#include <filesystem>
#include <memory>
#include <string>

#include "bundle.h"
#include "commands.h"
#include "input_file.h"
#include "output_file.h"
#include "packed_file.h"
#include "payload_io.h"
#include "pe_image.h"
#include "tool_error.h"

namespace {

struct BundleOptions {
    std::string folder;
    std::string output;
    std::string command;
    std::string title;
    std::string loader;
    std::string extractor;
    int level;
    bool silent = false;
};

int run_bundle(BundleOptions options, const GlobalOptions &global) {
    if (options.loader.empty())
        options.loader = default_windows_file("SFXPACK_LOADER", "loader.exe", "--loader");
    if (options.extractor.empty())
        options.extractor = default_windows_file("SFXPACK_EXTRACTOR", "extractor.exe", "--extractor");
    for (const std::string *input : {&options.loader, &options.extractor})
        ensure_distinct(*input, options.output);
    if (!is_stdio(options.output)) {
        // Else the next bundle of the folder would carry this one.
        std::error_code error;
        std::filesystem::path folder = std::filesystem::weakly_canonical(options.folder, error);
        std::filesystem::path output = std::filesystem::weakly_canonical(options.output, error);
        std::filesystem::path within = output.lexically_relative(folder);
        if (!error && !within.empty() && *within.begin() != "..")
            throw ToolError(options.output + ": the output may not lie inside the folder it bundles");
    }

    std::vector<uint8_t> loader = read_whole_file(options.loader);
    check_loader(loader, options.loader);
    std::vector<uint8_t> extractor = read_whole_file(options.extractor);
    std::string why;
    if (!parse_pe_image(extractor, &why))
        throw ToolError(options.extractor + ": not a PE executable (" + why + ")");
    std::vector<uint8_t> tar = tar_folder(options.folder);
    if (check_bundle(options.command, options.title, tar) == ProgramPlace::system)
        warn(global, "the command's program is not a file in the folder: it is the Windows system folder's");
    std::vector<uint8_t> appended = bundle_appended(options.command, options.title, tar, options.level, global.quiet);

    OutputFile out(options.output, global.output(0755));
    std::vector<uint8_t> payload = encode_with_progress(extractor, options.level, options.extractor, true);
    std::vector<uint8_t> packed = assemble_packed(loader, extractor, payload, appended,
                                                  SFX_FLAG_PASS_EXIT_CODE | SFX_FLAG_PASS_ARGUMENTS |
                                                      (options.silent ? SFX_FLAG_SILENT : 0));
    out.write(packed);
    out.commit();
    print_summary(global, options.folder, tar.size(), options.output, packed.size());
    return EXIT_OK;
}

} // namespace

Command add_bundle_command(CLI::App &app, GlobalOptions &global) {
    auto options = std::make_shared<BundleOptions>();
    CLI::App *sub = app.add_subcommand("bundle", "Build a self-extracting executable from a folder and a command "
                                                 "to run in it");
    sub->add_option("FOLDER", options->folder, "The folder whose files and folders it carries")->required();
    add_output_option(*sub, options->output, "Executable to write");
    sub->add_option("--run", options->command,
                    "The command to run once extracted: a program in the folder (quoted if its name has spaces) or "
                    "a bare name of one in the Windows system folder (cmd, msiexec), then its arguments")
        ->required();
    sub->add_option("--title", options->title, "Title of the progress window shown during a long extraction");
    sub->add_option("--loader", options->loader,
                    "Loader executable (default: $SFXPACK_LOADER, else the build tree's or the installed loader.exe)");
    sub->add_option("--extractor", options->extractor,
                    "Extractor executable (default: $SFXPACK_EXTRACTOR, else the build tree's or the installed "
                    "extractor.exe)");
    sub->add_flag("--silent", options->silent,
                  "No progress window and no box: failures show only in the exit code");
    add_level_option(*sub, options->level);
    return {sub, [options, &global] { return run_bundle(*options, global); }};
}
