#include <memory>
#include <string>

#include "commands.h"
#include "decoder/payload_format.h"
#include "package/input_file.h"
#include "package/packed_file.h"
#include "payload_io.h"
#include "tool_error.h"

namespace {

struct UnpackOptions {
    std::string executable;
    std::string output;
    uint64_t max_size;
};

int run_unpack(const UnpackOptions &options, const GlobalOptions &global) {
    ensure_distinct(options.executable, options.output);
    InputFile file(options.executable);
    PayloadLocation location = locate_in_executable(file.read_at(0, PAYLOAD_OFFSET), file.size(), options.executable);
    if (std::string problem = record_problem(file, location); !problem.empty())
        throw ToolError(options.executable + ": " + problem);
    uint64_t size = decode_to_output({file.fd(), location.payload_offset, payload_end(location)}, options.executable,
                                     options.output,
                                     {options.max_size, global.quiet, global.output(file_mode(options.executable))},
                                     location.record_state > 0 ? &location.record : nullptr);
    print_summary(global, options.executable, file.size(), options.output, size);
    return EXIT_OK;
}

} // namespace

Command add_unpack_command(CLI::App &app, GlobalOptions &global) {
    auto options = std::make_shared<UnpackOptions>();
    CLI::App *sub = app.add_subcommand("unpack", "Extract the stub program from a packed executable");
    sub->add_option("EXE", options->executable, "Packed executable")->required();
    add_output_option(*sub, options->output, "Stub file to write");
    add_max_size_option(*sub, options->max_size);
    return {sub, [options, &global] { return run_unpack(*options, global); }};
}
