// The resources of PE files: a program's resource directory read as
// untrusted input, a new resource section written, and a loader's image
// rewritten around it; and the PE checksum of a whole file.
#pragma once
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

enum : uint32_t { RESOURCE_ICON = 3, RESOURCE_GROUP_ICON = 14, RESOURCE_VERSION = 16, RESOURCE_MANIFEST = 24 };

// UTF-16 as UTF-8 and back; what is not a character becomes U+FFFD.
std::string utf8_of(std::u16string_view text);
std::u16string utf16_of(std::string_view text);

// A resource's type or name: a number, or a string when 'text' is not empty.
struct ResourceId {
    uint32_t id = 0;
    std::u16string text;
    bool operator==(const ResourceId &) const = default;
};
inline ResourceId resource_number(uint32_t id) {
    ResourceId number;
    number.id = id;
    return number;
}

// One resource as the directory gives it: where its data lies in the file.
struct ResourceEntry {
    ResourceId type, name;
    uint16_t language;
    uint32_t size;
    uint64_t file_offset;
};

// A resource to write.
struct Resource {
    ResourceId type, name;
    uint16_t language;
    std::vector<uint8_t> data;
};

// Up to 'size' bytes of a file from 'offset' into 'to': the count read.
using ReadAt = std::function<size_t(uint64_t offset, uint8_t *to, size_t size)>;
ReadAt read_from(std::span<const uint8_t> file);

// More entries than this make the directory refused; no table written anew
// then counts more than its 16 bits hold.
constexpr size_t RESOURCE_ENTRIES_MAX = 65535;

// A file's resources in directory order. A directory that loops, lies
// outside its section, nests wrongly or has too many entries is refused
// whole: 'problem' says why and 'entries' is empty. A resource whose data
// lies outside the file is left out with a line in 'warnings'. A file with
// no resource directory has neither.
struct ResourceListing {
    std::vector<ResourceEntry> entries;
    std::string problem;
    std::vector<std::string> warnings;
};
// 'headers' are the file's first bytes, its section table among them.
ResourceListing list_resources(std::span<const uint8_t> headers, uint64_t file_size, const ReadAt &read);

// The resource's data, or empty with *why when it is larger than 'max'
// bytes or cannot be read whole.
std::vector<uint8_t> read_resource(const ResourceEntry &entry, const ReadAt &read, uint32_t max, std::string *why);

// A resource section's bytes for 'resources' at 'rva': the directory sorted
// as Windows requires (names before numbers, each in order), then the data,
// each on 8 bytes. Two resources of the same type, name and language: the
// last one is kept.
std::vector<uint8_t> build_resource_section(std::vector<Resource> resources, uint32_t rva);

// A PE image whose resources are a section of their own, that section's
// contents replaced. Only relocations may follow it in memory; they move
// with it. The sections are laid out anew in the file, the headers in as
// few blocks of the file alignment as they fit (the DOS program shortened
// when it alone takes a block), and the headers' sizes, resource
// directory, checksum and SizeOfImage made to agree; a certificate table is
// dropped. When the image would pass 'limit' bytes: 'image' is empty,
// 'problem' says so, and 'asked' and 'room' give the resources' bytes and
// what there is for them.
struct ImageRewrite {
    std::vector<uint8_t> image;
    uint64_t asked = 0;
    uint64_t room = 0;
    std::string problem;
};
ImageRewrite rewrite_resources(std::span<const uint8_t> image, const std::vector<Resource> &resources, uint64_t limit);

// The checksum of the optional header over a file given in pieces: its
// 16-bit words summed with their carries, plus the file's length. The
// checksum field itself must be given as zeros. 'length' may start at the
// offset where the pieces start: two sums of a file's parts add up.
struct PeChecksum {
    uint64_t sum = 0;
    uint64_t length = 0;
    void add(std::span<const uint8_t> bytes);
};
uint32_t pe_checksum_value(uint64_t sum, uint64_t length);
