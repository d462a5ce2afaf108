#include "package/packed_file.h"

#include <algorithm>
#include <cstdio>

#include "decoder/payload_format.h"
#include "package/payload.h"
#include "pe/pe_image.h"
#include "portable/portable_io.h"
#include "package/package_error.h"

static_assert((int)SFX_PAYLOAD_OFFSET == (int)PAYLOAD_OFFSET);

namespace {

PeImage image_within_offset(std::span<const uint8_t> file, const std::string &name) {
    std::string why;
    std::optional<PeImage> image = parse_pe_image(file, &why);
    if (!image)
        throw PackageError(name + ": not a PE executable (" + why + ")");
    if (image->image_end > PAYLOAD_OFFSET)
        throw PackageError(name + ": its image ends at byte " + std::to_string(image->image_end) +
                        ", beyond offset " + std::to_string(PAYLOAD_OFFSET) + " where the payload starts");
    return *image;
}

std::string hex(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

std::string crc_problem(const char *what, uint32_t recorded, const InputFile &file, uint64_t offset, uint64_t size) {
    uint32_t found = 0;
    std::vector<uint8_t> block(1 << 16);
    for (uint64_t done = 0; done < size;) {
        size_t got = file.read_at(offset + done, block.data(), (size_t)std::min<uint64_t>(size - done, block.size()));
        if (got == 0)
            break;
        found = crc32_of(found, block.data(), got);
        done += got;
    }
    if (found == recorded)
        return "";
    return std::string(what) + " does not match its CRC-32 (" + hex(found) + ", the package record says " +
           hex(recorded) + ")";
}

} // namespace

PayloadLocation locate_in_executable(std::span<const uint8_t> head, uint64_t file_size, const std::string &name) {
    PeImage image = image_within_offset(head, name);
    if (file_size < PAYLOAD_OFFSET + PAYLOAD_HEADER_SIZE)
        throw PackageError(name + ": no payload: the file ends at byte " + std::to_string(file_size) +
                        ", before offset " + std::to_string(PAYLOAD_OFFSET) + " + 4");
    PayloadLocation location{true, image.image_end, PAYLOAD_OFFSET};
    location.data_end = file_size;
    uint64_t signature_end = (uint64_t)image.certificate_offset + image.certificate_size;
    if (image.certificate_size > 0 && image.certificate_offset >= PAYLOAD_OFFSET && signature_end <= file_size) {
        location.data_end = image.certificate_offset;
        location.signature_size = image.certificate_size;
    }
    location.record_state = sfx_record_read(crc32_table(), &head[SFX_RECORD_OFFSET], &location.record);
    return location;
}

PayloadLocation locate_payload(std::span<const uint8_t> head, uint64_t file_size, const std::string &name) {
    std::string why;
    if (parse_pe_image(head, &why))
        return locate_in_executable(head, file_size, name);
    return {false, 0, 0, file_size};
}

uint64_t payload_end(const PayloadLocation &location) {
    uint64_t end = location.data_end;
    if (location.record_state > 0)
        end = std::min(end, location.payload_offset + location.record.payload_size);
    return end;
}

std::string record_problem(const InputFile &file, const PayloadLocation &location) {
    if (location.record_state < 0)
        return "the package record is damaged (or of an unknown version)";
    if (location.record_state == 0)
        return "";
    const SfxRecord &record = location.record;
    uint64_t appended = location.payload_offset + record.payload_size;
    if (appended + record.appended_size > location.data_end)
        return "the file is cut short: the package record describes " + std::to_string(appended + record.appended_size) +
               " bytes, the file holds " + std::to_string(location.data_end);
    uint64_t offset = location.payload_offset;
    std::string problem = crc_problem("the payload", record.payload_crc32, file, offset, payload_end(location) - offset);
    if (problem.empty())
        problem = crc_problem("the appended data", record.appended_crc32, file, appended, record.appended_size);
    return problem;
}

void check_loader(std::span<const uint8_t> loader, const std::string &name) {
    image_within_offset(loader, name);
    if (loader.size() > PAYLOAD_OFFSET)
        throw PackageError(name + ": the file is " + std::to_string(loader.size()) +
                        " bytes, more than the " + std::to_string(PAYLOAD_OFFSET) +
                        " before the payload (is it already packed?)");
    if (loader.size() > SFX_RECORD_OFFSET)
        throw PackageError(name + ": the file is " + std::to_string(loader.size()) + " bytes, which leaves no room for the " +
                        std::to_string(SFX_RECORD_SIZE) + "-byte package record before offset " +
                        std::to_string(PAYLOAD_OFFSET));
}

bool is_packed_executable(std::span<const uint8_t> file, const PeImage &image) {
    if (image.image_end > PAYLOAD_OFFSET || file.size() < PAYLOAD_OFFSET + PAYLOAD_HEADER_SIZE)
        return false;
    SfxRecord record;
    return sfx_record_read(crc32_table(), &file[SFX_RECORD_OFFSET], &record) != 0 ||
           decodes_cleanly(file.subspan(PAYLOAD_OFFSET));
}

uint64_t appended_start(std::span<const uint8_t> payload) { return PAYLOAD_OFFSET + payload.size(); }

std::vector<uint8_t> packed_front(std::span<const uint8_t> loader, std::span<const uint8_t> stub,
                                  std::span<const uint8_t> payload, uint64_t appended_size, uint32_t appended_crc,
                                  const PeChecksum &appended_sum, uint32_t flags) {
    if ((uint64_t)PAYLOAD_OFFSET + payload.size() + appended_size > UINT32_MAX)
        throw PackageError("the packed file would be larger than the 4 GiB a package record can describe");
    SfxRecord record{SFX_RECORD_VERSION,        flags,
                     (uint32_t)stub.size(),     crc32_of(0, stub.data(), stub.size()),
                     (uint32_t)payload.size(), crc32_of(0, payload.data(), payload.size()),
                     (uint32_t)appended_size,  appended_crc};
    std::vector<uint8_t> out(loader.begin(), loader.end());
    out.resize(PAYLOAD_OFFSET, 0);
    sfx_record_write(crc32_table(), &record, &out[SFX_RECORD_OFFSET]);
    out.insert(out.end(), payload.begin(), payload.end());
    // The checksum of the whole file, its own field as zeros.
    PeImage image = image_within_offset(loader, "the loader");
    std::fill_n(out.begin() + image.checksum_offset, 4, 0);
    PeChecksum front;
    front.add(out);
    if (appended_sum.length != out.size() + appended_size)
        throw PackageError("the appended data's checksum does not start where the data goes");
    uint32_t checksum = pe_checksum_value(front.sum + appended_sum.sum, appended_sum.length);
    for (int i = 0; i < 4; i++)
        out[image.checksum_offset + i] = (uint8_t)(checksum >> 8 * i);
    return out;
}

std::vector<uint8_t> assemble_packed(std::span<const uint8_t> loader, std::span<const uint8_t> stub,
                                     std::span<const uint8_t> payload, std::span<const uint8_t> appended,
                                     uint32_t flags) {
    PeChecksum sum{0, appended_start(payload)};
    sum.add(appended);
    std::vector<uint8_t> out =
        packed_front(loader, stub, payload, appended.size(), crc32_of(0, appended.data(), appended.size()), sum, flags);
    out.insert(out.end(), appended.begin(), appended.end());
    return out;
}

std::vector<std::string> flag_names(uint32_t flags) {
    std::vector<std::string> names;
    for (auto [flag, name] : {std::pair{SFX_FLAG_PASS_EXIT_CODE, "pass-exit-code"},
                              std::pair{SFX_FLAG_PASS_ARGUMENTS, "pass-arguments"}, std::pair{SFX_FLAG_SILENT, "silent"}})
        if (flags & (uint32_t)flag)
            names.push_back(name);
    return names;
}
