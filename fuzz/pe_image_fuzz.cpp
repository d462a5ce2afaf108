// The PE header reader, which sfxpack runs on every stub and loader it is
// given: it reads only the headers, so bytes after them change nothing; a
// file it refuses has a reason; an image it accepts is described the same
// way whatever follows it.
#include <cstdint>
#include <vector>

#include "fuzz_check.h"
#include "pe/pe_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string why;
    std::optional<PeImage> image = parse_pe_image({data, size}, &why);
    if (!image) {
        FUZZ_CHECK(!why.empty());
        return 0;
    }
    FUZZ_CHECK(!image->pe32_plus || size >= 64);
    // The same bytes with more after them: the same answer.
    std::vector<uint8_t> longer(data, data + size);
    longer.resize(size + 4096, 0xA5);
    std::string why_longer;
    std::optional<PeImage> again = parse_pe_image(longer, &why_longer);
    FUZZ_CHECK(again && again->image_end == image->image_end && again->pe32_plus == image->pe32_plus &&
               again->subsystem == image->subsystem && again->certificate_offset == image->certificate_offset &&
               again->certificate_size == image->certificate_size);
    return 0;
}
