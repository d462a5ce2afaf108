#pragma once
#include <string>

#include "decoder/decoder_io.h"
#include "decoder/payload_decoder.h"

// Runs the decoder once from 'in' (at the count header) to 'out'.
DecodeResult decode_between(FileHandle in, FileHandle out);
// Why a payload was refused, as a user reads it.
const char *decode_result_text(DecodeResult result);
