#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// Where the payload sits in a file: at offset 32768 of a packed executable,
// or at 0 of a bare payload.
struct PayloadLocation {
    bool in_executable;
    uint32_t image_end;      // the loader's image, for an executable
    uint64_t payload_offset;
};

// A packed executable must be a PE file whose image ends by the payload offset.
PayloadLocation locate_in_executable(std::span<const uint8_t> file, const std::string &name);
// As above for a PE file; anything else is taken as a bare payload.
PayloadLocation locate_payload(std::span<const uint8_t> file, const std::string &name);

// Refuses a loader that is not a PE file or that reaches into the payload.
void check_loader(std::span<const uint8_t> loader, const std::string &name);

// Loader, zeros up to the payload offset, payload, appended data.
std::vector<uint8_t> assemble_packed(std::span<const uint8_t> loader, std::span<const uint8_t> payload,
                                     std::span<const uint8_t> appended);
