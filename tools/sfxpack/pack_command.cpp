#include <climits>
#include <filesystem>
#include <memory>
#include <string>

#include "commands.h"
#include "input_file.h"
#include "output_file.h"
#include "packed_file.h"
#include "payload_io.h"
#include "tool_error.h"

namespace {

struct PackOptions {
    std::string stub;
    std::string output;
    std::string loader;
    std::string append;
    int level;
};

// The loader this project builds, found relative to this binary
// (build/native/sfxpack next to build/win32/loader.exe).
std::string default_loader() {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    std::filesystem::path loader = self.parent_path().parent_path() / "win32" / "loader.exe";
    if (error || !std::filesystem::exists(loader))
        throw ToolError("no default loader at " + loader.string() + "; name one with --loader");
    return loader.string();
}

int run_pack(PackOptions options, const GlobalOptions &global) {
    if (options.loader.empty())
        options.loader = default_loader();
    for (const std::string *input : {&options.stub, &options.loader, &options.append})
        if (!input->empty())
            ensure_distinct(*input, options.output);

    std::vector<uint8_t> loader = read_whole_file(options.loader);
    check_loader(loader, options.loader);
    std::vector<uint8_t> stub = read_whole_file(options.stub);
    if (stub.size() > (size_t)INT32_MAX)
        throw ToolError(options.stub + ": " + std::to_string(stub.size()) +
                        " bytes is more than a payload's count header can describe");
    std::vector<uint8_t> appended;
    if (!options.append.empty())
        appended = read_whole_file(options.append);

    std::vector<uint8_t> payload = encode_with_progress(stub, options.level, global.quiet);
    OutputFile out(options.output);
    out.write(assemble_packed(loader, stub, payload, appended));
    out.commit();
    return EXIT_OK;
}

} // namespace

Command add_pack_command(CLI::App &app, const GlobalOptions &global) {
    auto options = std::make_shared<PackOptions>();
    CLI::App *sub = app.add_subcommand("pack", "Build a self-extracting executable from a stub program");
    sub->add_option("STUB", options->stub, "The program the loader unpacks and runs")->required();
    sub->add_option("-o,--output", options->output, "Executable to write")->required();
    sub->add_option("--loader", options->loader, "Loader executable (default: build/win32/loader.exe)");
    sub->add_option("--append", options->append, "Data to place after the payload, for the stub to read");
    add_level_option(*sub, options->level);
    return {sub, [options, &global] { return run_pack(*options, global); }};
}
