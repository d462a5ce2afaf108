#include <memory>
#include <string>

#include "commands.h"
#include "encoder/payload_encoder.h"
#include "package/input_file.h"
#include "output_file.h"
#include "payload_io.h"
#include "tool_error.h"

namespace {

struct EncodeOptions {
    std::string input;
    std::string output;
    int level;
};

int run_encode(const EncodeOptions &options, const GlobalOptions &global) {
    ensure_distinct(options.input, options.output);
    std::vector<uint8_t> input = read_whole_file(options.input);
    OutputFile out(options.output, global.output());
    std::vector<uint8_t> payload = encode_with_progress(input, options.level, options.input, global.quiet);
    out.write(payload);
    out.commit();
    print_summary(global, options.input, input.size(), options.output, payload.size());
    return EXIT_OK;
}

} // namespace

Command add_encode_command(CLI::App &app, GlobalOptions &global) {
    auto options = std::make_shared<EncodeOptions>();
    CLI::App *sub = app.add_subcommand("encode", "Encode a file as a bare payload");
    sub->add_option("IN", options->input, "File to encode")->required();
    add_output_option(*sub, options->output, "Payload file to write");
    add_level_option(*sub, options->level);
    return {sub, [options, &global] { return run_encode(*options, global); }};
}
