// PE files as the host side reads them: where a Windows program's image
// ends, whether it is 64-bit, its subsystem, and the certificate table a code
// signature appends. Reads bytes in memory; knows nothing of packing.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>

struct PeImage {
    uint32_t image_end; // end of the headers and of every section's raw data
    bool pe32_plus;
    uint16_t subsystem;
    // The certificate table a code signature adds at the end of the file: its
    // file offset and size, both 0 when unsigned.
    uint32_t certificate_offset = 0;
    uint32_t certificate_size = 0;
    uint32_t checksum_offset = 0; // the optional header's CheckSum field
};

// The image layout of a PE file, or nullopt with the reason in *why.
std::optional<PeImage> parse_pe_image(std::span<const uint8_t> file, std::string *why);
