#include <memory>
#include <string>

#include "commands.h"
#include "decoder/payload_format.h"
#include "package/input_file.h"
#include "payload_io.h"
#include "pe/pe_image.h"
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
    std::string why; // a program's headers lie well within its first 32 KiB
    if (parse_pe_image(payload.read_at(0, PAYLOAD_OFFSET), &why))
        throw ToolError(options.payload + ": a Windows executable, not a bare payload; use 'sfxpack unpack' for a packed one");
    uint64_t size = decode_to_output({payload.fd(), 0, payload.size()}, options.payload, options.output,
                                     {options.max_size, global.quiet, global.output()});
    print_summary(global, options.payload, payload.size(), options.output, size);
    return EXIT_OK;
}

} // namespace

Command add_decode_command(CLI::App &app, GlobalOptions &global) {
    auto options = std::make_shared<DecodeOptions>();
    CLI::App *sub = app.add_subcommand("decode", "Decode a bare payload (count header first)");
    sub->add_option("PAYLOAD", options->payload, "Payload file")->required();
    add_output_option(*sub, options->output, "Decoded output file");
    add_max_size_option(*sub, options->max_size);
    return {sub, [options, &global] { return run_decode(*options, global); }};
}
