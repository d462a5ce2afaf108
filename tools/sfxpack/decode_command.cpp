#include <memory>
#include <string>

#include "commands.h"
#include "input_file.h"
#include "payload_io.h"
#include "tool_error.h"

namespace {

struct DecodeOptions {
    std::string payload;
    std::string output;
    uint64_t max_size;
};

int run_decode(const DecodeOptions &options, const GlobalOptions &global) {
    ensure_distinct(options.payload, options.output);
    InputFile payload(options.payload);
    decode_to_output({payload.fd(), 0, payload.size()}, options.payload, options.output,
                     {options.max_size, global.quiet});
    return EXIT_OK;
}

} // namespace

Command add_decode_command(CLI::App &app, const GlobalOptions &global) {
    auto options = std::make_shared<DecodeOptions>();
    CLI::App *sub = app.add_subcommand("decode", "Decode a bare payload (count header first)");
    sub->add_option("PAYLOAD", options->payload, "Payload file")->required();
    sub->add_option("-o,--output", options->output, "Decoded output file")->required();
    add_max_size_option(*sub, options->max_size);
    return {sub, [options, &global] { return run_decode(*options, global); }};
}
