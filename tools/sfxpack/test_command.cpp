#include <cstdio>
#include <memory>
#include <string>

#include "package/bundle_reading.h"
#include "commands.h"
#include "progress.h"
#include "package/input_file.h"
#include "package/package_check.h"
#include "tool_error.h"

namespace {

int run_test(const std::string &path, bool any_system_program, const GlobalOptions &global) {
    std::string name = is_stdio(path) ? "<stdin>" : path;
    InputFile file(path);
    PackageCheck check = check_package(file, name);
    if (!check.problem.empty())
        throw ToolError(name + ": " + check.problem);
    // A bundle is read through as the extractor will read it.
    if (has_bundle_header(file, check.location)) {
        LateProgress progress(name, global.quiet);
        verify_bundle(file, name, progress.call(), any_system_program);
    }
    std::printf("%s: ok%s\n", name.c_str(),
                check.location.record_state > 0 ? "" : " (decodes cleanly; no package record to check it against)");
    print_summary(global, path, file.size(), "(decoded, not kept)", check.report.decoded_size);
    return EXIT_OK;
}

} // namespace

Command add_test_command(CLI::App &app, GlobalOptions &global) {
    auto path = std::make_shared<std::string>();
    CLI::App *sub = app.add_subcommand("test", "Decode without writing and check every CRC-32 of the package "
                                                "record, and a bundle's whole archive; exits 1 naming what failed");
    auto any_system_program = std::make_shared<bool>(false);
    sub->add_option("FILE", *path, "Packed executable or bare payload")->required();
    sub->add_flag("--system-program", *any_system_program,
                  "Accept a bundle's command that names any program of the Windows system folder, not only the "
                  "known ones");
    return {sub, [path, any_system_program, &global] { return run_test(*path, *any_system_program, global); }};
}
