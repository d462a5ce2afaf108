#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "commands.h"
#include "package/input_file.h"
#include "package/packed_identity.h"
#include "output_file.h"
#include "package/packed_file.h"
#include "payload_io.h"
#include "pe/pe_image.h"
#include "tool_error.h"

namespace {

struct PackOptions {
    std::string stub;
    std::string output;
    std::string loader;
    std::string append;
    int level;
    bool pass_exit_code = false, pass_arguments = false, silent = false;
    IdentityOptions identity;
};

} // namespace

// $VARIABLE; else the file in the Windows build beside this binary's build
// tree (build/native/sfxpack beside build/win32/FILE); else the installed
// one (PREFIX/bin/sfxpack, PREFIX/share/sfxpack/FILE).
std::string default_windows_file(const char *variable, const char *file, const char *option) {
    if (const char *named = std::getenv(variable); named && *named)
        return named;
    std::error_code error;
    std::filesystem::path prefix = std::filesystem::read_symlink("/proc/self/exe", error).parent_path().parent_path();
    std::string looked = "$" + std::string(variable) + " (not set)";
    for (const std::filesystem::path &candidate : {prefix / "win32" / file, prefix / "share" / "sfxpack" / file}) {
        std::error_code missing;
        if (error || !std::filesystem::is_regular_file(candidate, missing)) {
            looked += ", " + candidate.string();
            continue;
        }
        // Anyone who may write there could have put this program in our
        // packages: only a folder that all may not change, or a sticky one
        // of root's holding a file of root's or ours, is trusted.
        struct stat folder_info, file_info;
        std::string folder = candidate.parent_path().string();
        if (stat(folder.c_str(), &folder_info) != 0 || stat(candidate.c_str(), &file_info) != 0)
            throw ToolError(candidate.string() + ": " + std::strerror(errno));
        bool owned = file_info.st_uid == 0 || file_info.st_uid == geteuid();
        bool sticky_safe = (folder_info.st_mode & S_ISVTX) && folder_info.st_uid == 0 && owned;
        if (((folder_info.st_mode & S_IWOTH) && !sticky_safe) || (file_info.st_mode & S_IWOTH))
            throw ToolError(candidate.string() + ": not used as the default: " +
                            ((file_info.st_mode & S_IWOTH) ? "the file" : "its folder") +
                            " may be written by anyone; name one with " + option);
        return candidate.string();
    }
    std::string what = std::filesystem::path(file).stem().string();
    throw ToolError("no default " + what + "; looked at " + looked + "; name one with " + option);
}

namespace {

// A stub the loader could not start, or one that is itself packed, only
// with -f; a 64-bit stub in a 32-bit loader with a warning.
void check_stub(std::span<const uint8_t> stub, std::span<const uint8_t> loader, const std::string &name,
                const GlobalOptions &global) {
    std::string why;
    std::optional<PeImage> image = parse_pe_image(stub, &why);
    if (!image && !global.force)
        throw ToolError(name + ": not a PE executable (" + why + "); use -f to pack it anyway");
    if (image && !global.force && is_packed_executable(stub, *image))
        throw ToolError(name + ": is already a packed executable; use -f to pack it anyway");
    std::optional<PeImage> loader_image = parse_pe_image(loader, &why);
    if (image && image->pe32_plus && loader_image && !loader_image->pe32_plus)
        warn(global, name + ": a 64-bit program: the 32-bit loader unpacks it, but 32-bit Windows cannot start it");
}

int run_pack(PackOptions options, const GlobalOptions &global) {
    if (is_stdio(options.stub) + is_stdio(options.loader) + is_stdio(options.append) > 1)
        throw UsageError("standard input ('-') can be read only once");
    if (options.loader.empty())
        options.loader = default_windows_file("SFXPACK_LOADER", "loader.exe", "--loader");
    for (const std::string *input : {&options.stub, &options.loader, &options.append})
        if (!input->empty())
            ensure_distinct(*input, options.output);

    std::vector<uint8_t> loader = read_whole_file(options.loader);
    check_loader(loader, options.loader);
    std::vector<uint8_t> stub = read_whole_file(options.stub);
    if (stub.size() > (size_t)INT32_MAX)
        throw ToolError(options.stub + ": " + std::to_string(stub.size()) +
                        " bytes is more than a payload's count header can describe");
    check_stub(stub, loader, options.stub, global);
    std::vector<uint8_t> appended;
    if (!options.append.empty())
        appended = read_whole_file(options.append);
    loader = loader_with_identity(loader, options.loader, options.identity, program_identity_of(stub), options.stub,
                                  [&](const std::string &warning) { warn(global, warning); });

    OutputFile out(options.output, global.output(0777));
    std::vector<uint8_t> payload = encode_with_progress(stub, options.level, options.stub, global.quiet);
    std::vector<uint8_t> packed = assemble_packed(loader, stub, payload, appended,
                                                  (options.pass_exit_code ? SFX_FLAG_PASS_EXIT_CODE : 0) |
                                                      (options.pass_arguments ? SFX_FLAG_PASS_ARGUMENTS : 0) |
                                                      (options.silent ? SFX_FLAG_SILENT : 0));
    out.write(packed);
    out.commit();
    if (global.verbose)
        std::fprintf(stderr, "sfxpack: loader %s\n", options.loader.c_str());
    print_summary(global, options.stub, stub.size(), options.output, packed.size());
    return EXIT_OK;
}

} // namespace

Command add_pack_command(CLI::App &app, GlobalOptions &global) {
    auto options = std::make_shared<PackOptions>();
    CLI::App *sub = app.add_subcommand("pack", "Build a self-extracting executable from a stub program");
    sub->add_option("STUB", options->stub, "The program the loader unpacks and runs")->required();
    add_output_option(*sub, options->output, "Executable to write");
    sub->add_option("--loader", options->loader,
                    "Loader executable (default: $SFXPACK_LOADER, else the build tree's or the installed loader.exe)")
        ->type_name("FILE");
    sub->add_option("--append", options->append, "Data to place after the payload, for the stub to read")
        ->type_name("FILE");
    sub->add_flag("--pass-exit-code", options->pass_exit_code,
                  "The file exits with the stub's exit code (else 1), and with 536870912 + the loader's error "
                  "number when the loader fails (else 0)");
    sub->add_flag("--pass-arguments", options->pass_arguments,
                  "The file's own arguments follow the stub's path (quoted) on the stub's command line");
    sub->add_flag("--silent", options->silent, "The loader shows no box when it fails; the exit code tells");
    add_identity_options(*sub, options->identity, "the stub");
    add_level_option(*sub, options->level);
    return {sub, [options, &global] { return run_pack(*options, global); }};
}
