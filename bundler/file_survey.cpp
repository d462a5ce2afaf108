// What the coding needs to know of each file before it starts, read in one
// pass on all threads: whether it is a Windows program (which chooses the
// branch conversion), and whether its data does not compress (archives,
// media, random bytes): LZMA spends most of its time on such files and makes
// them larger, so the bundle stores them as they are, after everything it
// codes. That is judged by a sample: the file's start, middle and end.
#include <fcntl.h>
#include <lzma.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "bundler/bundler.h"
#include "include/sfx_package.h"
#include "portable/portable_io.h"

namespace {

constexpr size_t PIECE = 16 << 10; // each of the three pieces of a sample
constexpr size_t HEAD = 1024;       // where a program's PE header is looked for

// Marks a file that starts so as an x86 or x86-64 Windows program.
void mark_program(FolderEntry &entry, const uint8_t *head, size_t n) {
    n = std::min(n, HEAD);
    if (n < 64 || head[0] != 'M' || head[1] != 'Z')
        return;
    uint32_t pe = sfx_get32(head + 0x3C);
    if (pe > (uint32_t)n - 6 || std::memcmp(head + pe, "PE\0\0", 4) != 0)
        return;
    uint32_t machine = head[pe + 4] | (uint32_t)head[pe + 5] << 8;
    entry.x86_program = machine == 0x14C || machine == 0x8664;
    entry.x64_program = machine == 0x8664;
}

// A file's sample: its first, middle and last PIECE bytes; empty when it
// cannot be read, which the tar writer then reports.
static_assert(STORED_FILE_MIN >= 3 * PIECE, "the pieces of a sample do not overlap");
std::vector<uint8_t> sample_of(int fd, const FolderEntry &entry) {
    std::vector<uint8_t> sample(3 * PIECE);
    uint64_t starts[3] = {0, entry.size / 2 - PIECE / 2, entry.size - PIECE};
    for (size_t i = 0; i < 3; i++)
        if (pread(fd, sample.data() + i * PIECE, PIECE, (off_t)starts[i]) != (ssize_t)PIECE)
            return {};
    return sample;
}

// Bits per byte when each byte is coded alone: above 7.5 only for data
// that is compressed, encrypted or random, or for sound and the like.
double byte_entropy(const std::vector<uint8_t> &bytes) {
    size_t counts[256] = {};
    for (uint8_t byte : bytes)
        counts[byte]++;
    double bits = 0;
    for (size_t count : counts)
        if (count)
            bits -= (double)count * std::log2((double)count / (double)bytes.size());
    return bits / (double)bytes.size();
}

// Whether liblzma's fastest preset saves under 1 % of the sample: a cheap
// look for what deep searching would find, which on such data is no more.
bool does_not_compress(const std::vector<uint8_t> &sample) {
    if (sample.empty() || byte_entropy(sample) < 7.5)
        return false;
    lzma_options_lzma options;
    lzma_lzma_preset(&options, 0);
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    std::vector<uint8_t> coded(sample.size() + sample.size() / 16 + 1024);
    size_t size = 0;
    if (lzma_raw_buffer_encode(filters, nullptr, sample.data(), sample.size(), coded.data(), &size, coded.size()) !=
        LZMA_OK)
        return false;
    return size * 100 >= sample.size() * 99;
}

// A file's bytes as one number, to tell copies apart.
uint64_t content_sum(const FolderEntry &entry) {
    int fd = open(entry.source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return 0;
    std::unique_ptr<int, void (*)(int *)> closer(&fd, [](int *f) { close(*f); });
    std::vector<uint8_t> block(1 << 20);
    uint32_t low = 0, high = 0x9E3779B9;
    for (ssize_t n; (n = read(fd, block.data(), block.size())) > 0;) {
        low = crc32_of(low, block.data(), (size_t)n);
        high = crc32_of(high ^ low, block.data(), (size_t)n);
    }
    return (uint64_t)high << 32 | low;
}

// Looks at one file: its head, and for a large file its sample; marks it a
// program or not, and returns whether its data does not compress.
bool look_at(FolderEntry &entry) {
    entry.x86_program = entry.x64_program = false;
    if (entry.folder || entry.size < PROGRAM_MIN)
        return false;
    int fd = open(entry.source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false; // the tar writer reports it
    std::unique_ptr<int, void (*)(int *)> closer(&fd, [](int *f) { close(*f); });
    if (entry.size >= STORED_FILE_MIN) {
        std::vector<uint8_t> sample = sample_of(fd, entry);
        mark_program(entry, sample.data(), sample.size());
        return does_not_compress(sample);
    }
    uint8_t head[HEAD];
    ssize_t n = pread(fd, head, sizeof head, 0);
    if (n > 0)
        mark_program(entry, head, (size_t)n);
    return false;
}

} // namespace

void survey_files(std::vector<FolderEntry> &entries, unsigned threads) {
    // Each file is looked at on its own, so the files are shared out among
    // the threads; what they find is the same in any order.
    std::vector<char> random(entries.size());
    std::atomic<size_t> next{0};
    std::mutex failing;
    std::exception_ptr failure;
    auto judge = [&] {
        try {
            for (size_t i; (i = next++) < entries.size();)
                random[i] = look_at(entries[i]);
        } catch (...) { // no memory for a sample: the others stop too
            next = entries.size();
            std::lock_guard<std::mutex> lock(failing);
            failure = std::current_exception();
        }
    };
    {
        std::vector<std::jthread> helpers;
        for (unsigned i = 1; i < threads; i++)
            helpers.emplace_back(judge);
        judge();
    }
    if (failure)
        std::rethrow_exception(failure);
    // Files of the same size are compared by their bytes: a copy is left to
    // LZMA, which codes it in a few bytes once it has seen the first.
    std::map<uint64_t, std::vector<FolderEntry *>> by_size;
    for (size_t i = 0; i < entries.size(); i++) {
        entries[i].stored = false;
        if (random[i])
            by_size[entries[i].size].push_back(&entries[i]);
    }
    for (auto &[size, files] : by_size) {
        if (files.size() == 1) {
            files[0]->stored = true;
            continue;
        }
        std::map<uint64_t, std::vector<FolderEntry *>> by_sum;
        for (FolderEntry *file : files)
            by_sum[content_sum(*file)].push_back(file);
        for (auto &[sum, same] : by_sum)
            same[0]->stored = same.size() == 1;
    }
}
