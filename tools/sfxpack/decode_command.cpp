#include <cstring>
#include <memory>
#include <string>

#include "commands.h"
#include "output_file.h"
#include "payload_io.h"
#include "portable/portable_io.h"
#include "tool_error.h"

namespace {

struct DecodeOptions {
    std::string payload;
    std::string output;
};

int run_decode(const DecodeOptions &options) {
    FileHandle in = file_open(options.payload.c_str(), "rb");
    if (in == FILE_INVALID)
        throw ToolError(options.payload + ": cannot open: " + std::strerror(file_error));
    std::unique_ptr<void, int (*)(FileHandle)> in_guard(in, file_close);

    OutputFile output(options.output);
    FileHandle out = file_from_fd(output.fd(), 0);
    DecodeResult result = decode_between(in, out);
    file_close(out);
    if (result != DECODE_OK)
        throw ToolError(options.payload + ": " + decode_result_text(result));
    output.commit();
    return EXIT_OK;
}

} // namespace

Command add_decode_command(CLI::App &app) {
    auto options = std::make_shared<DecodeOptions>();
    CLI::App *sub = app.add_subcommand("decode", "Decode a bare payload (count header first)");
    sub->add_option("PAYLOAD", options->payload, "Payload file")->required();
    sub->add_option("-o,--output", options->output, "Decoded output file")->required();
    return {sub, [options] { return run_decode(*options); }};
}
