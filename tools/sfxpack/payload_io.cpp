#include "payload_io.h"

#include "tool_error.h"

DecodeResult decode_between(FileHandle in, FileHandle out) {
    if (!decoder_create())
        throw ToolError("out of memory");
    payload_in = in;
    payload_out = out;
    DecodeResult result = decode_payload();
    decoder_destroy();
    payload_in = payload_out = FILE_INVALID;
    return result;
}

const char *decode_result_text(DecodeResult result) {
    switch (result) {
    case DECODE_OK:
        return "ok";
    case DECODE_TRUNCATED:
        return "payload is truncated";
    case DECODE_MALFORMED:
        return "payload is malformed (a symbol was escaped twice)";
    case DECODE_WRITE_FAILED:
        return "cannot write the decoded output";
    }
    return "unknown decoder result";
}
