#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "include/sfx_package.h"
#include "package/input_file.h"
#include "pe/pe_image.h"
#include "pe/pe_resources.h"

// Where the payload sits in a file: at offset 32768 of a packed executable,
// or at 0 of a bare payload; and what the package record says about it.
struct PayloadLocation {
    bool in_executable;
    uint32_t image_end;      // the loader's image, for an executable
    uint64_t payload_offset;
    uint64_t data_end = 0;       // the file's end, or where its code signature starts
    uint64_t signature_size = 0; // the certificate table of a signed file
    int record_state = 0;        // sfx_record_read's answer: 1 a record, 0 none, -1 damaged
    SfxRecord record{};
};

// A packed executable must be a PE file whose image ends by the payload
// offset. 'head' holds the file's first bytes, all of them up to the payload
// offset; 'file_size' is the whole file's.
PayloadLocation locate_in_executable(std::span<const uint8_t> head, uint64_t file_size, const std::string &name);
// As above for a PE file; anything else is taken as a bare payload.
PayloadLocation locate_payload(std::span<const uint8_t> head, uint64_t file_size, const std::string &name);

// Where the payload's bytes end: as many as the record says, else at data_end.
uint64_t payload_end(const PayloadLocation &location);
// What is wrong with the record and the bytes it covers, short of decoding:
// the record itself, the file's length, the payload's and the appended
// data's CRC-32. Empty when all holds or there is no record.
std::string record_problem(const InputFile &file, const PayloadLocation &location);

// Refuses a loader that is not a PE file, that reaches into the payload or
// that leaves no room for the package record before it.
void check_loader(std::span<const uint8_t> loader, const std::string &name);

// A PE file that already carries a payload: a package record at its place, or
// an image that ends by the payload offset and a payload that decodes.
bool is_packed_executable(std::span<const uint8_t> file, const PeImage &image);

// Loader, zeros, the package record (with 'flags', SFX_FLAG_*) ending at the
// payload offset, payload: what goes before appended data of this size and
// CRC-32, whose PE checksum sum was started at the offset where it goes
// (appended_start), so that the file's checksum covers it.
std::vector<uint8_t> packed_front(std::span<const uint8_t> loader, std::span<const uint8_t> stub,
                                  std::span<const uint8_t> payload, uint64_t appended_size, uint32_t appended_crc,
                                  const PeChecksum &appended_sum, uint32_t flags);
// Where appended data starts after this payload.
uint64_t appended_start(std::span<const uint8_t> payload);
// Loader, zeros, the package record ending at the payload offset, payload,
// appended data.
std::vector<uint8_t> assemble_packed(std::span<const uint8_t> loader, std::span<const uint8_t> stub,
                                     std::span<const uint8_t> payload, std::span<const uint8_t> appended,
                                     uint32_t flags);

// The flags as words: "pass-exit-code", "pass-arguments", "silent"; none for none.
std::vector<std::string> flag_names(uint32_t flags);
