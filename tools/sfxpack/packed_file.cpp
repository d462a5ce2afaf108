#include "packed_file.h"

#include "decoder/payload_format.h"
#include "pe_image.h"
#include "tool_error.h"

namespace {

PeImage image_within_offset(std::span<const uint8_t> file, const std::string &name) {
    std::string why;
    std::optional<PeImage> image = parse_pe_image(file, &why);
    if (!image)
        throw ToolError(name + ": not a PE executable (" + why + ")");
    if (image->image_end > PAYLOAD_OFFSET)
        throw ToolError(name + ": its image ends at byte " + std::to_string(image->image_end) +
                        ", beyond offset " + std::to_string(PAYLOAD_OFFSET) + " where the payload starts");
    return *image;
}

} // namespace

PayloadLocation locate_in_executable(std::span<const uint8_t> file, const std::string &name) {
    PeImage image = image_within_offset(file, name);
    if (file.size() < PAYLOAD_OFFSET + PAYLOAD_HEADER_SIZE)
        throw ToolError(name + ": no payload: the file ends at byte " + std::to_string(file.size()) +
                        ", before offset " + std::to_string(PAYLOAD_OFFSET) + " + 4");
    return {true, image.image_end, PAYLOAD_OFFSET};
}

PayloadLocation locate_payload(std::span<const uint8_t> file, const std::string &name) {
    std::string why;
    if (parse_pe_image(file, &why))
        return locate_in_executable(file, name);
    return {false, 0, 0};
}

void check_loader(std::span<const uint8_t> loader, const std::string &name) {
    image_within_offset(loader, name);
    if (loader.size() > PAYLOAD_OFFSET)
        throw ToolError(name + ": the file is " + std::to_string(loader.size()) +
                        " bytes, more than the " + std::to_string(PAYLOAD_OFFSET) +
                        " before the payload (is it already packed?)");
}

std::vector<uint8_t> assemble_packed(std::span<const uint8_t> loader, std::span<const uint8_t> payload,
                                     std::span<const uint8_t> appended) {
    std::vector<uint8_t> out(loader.begin(), loader.end());
    out.resize(PAYLOAD_OFFSET, 0);
    out.insert(out.end(), payload.begin(), payload.end());
    out.insert(out.end(), appended.begin(), appended.end());
    return out;
}
