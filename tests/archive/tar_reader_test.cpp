// The headers-first tar stream as sfxpack writes it, read back by the
// extractor's reader in pieces of any size; streams that lie about it are
// refused, and a refused header stops the reader before any file begins.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive/tar_reader.h"
#include "bundler/bundler.h"

namespace fs = std::filesystem;

namespace {

// What the reader passed on: each entry's name, size and data, in order.
struct Seen {
    std::string log;
    int begun = 0;
};

int on_begin(void *context, const ArchiveEntry *entry) {
    auto *seen = static_cast<Seen *>(context);
    seen->begun++;
    EXPECT_EQ(entry->name[entry->name_length], 0);
    seen->log += std::string(entry->name, entry->name_length) + (entry->type == ENTRY_DIRECTORY ? "/" : "") + " " +
                 std::to_string(entry->size) + " " + std::to_string(entry->mode) + ":";
    return 1;
}

int on_data(void *context, const uint8_t *bytes, uint32_t size) {
    static_cast<Seen *>(context)->log.append(reinterpret_cast<const char *>(bytes), size);
    return 1;
}

int on_end(void *context, const ArchiveEntry *) {
    static_cast<Seen *>(context)->log += "|";
    return 1;
}

ArchiveError read(const std::vector<uint8_t> &stream, size_t piece, Seen *seen) {
    ArchiveSink sink{seen, on_begin, on_data, on_end};
    auto reader = std::make_unique<TarReader>();
    tar_reader_init(reader.get(), &sink, 1);
    ArchiveError error = ARCHIVE_OK;
    for (size_t at = 0; error == ARCHIVE_OK && at < stream.size(); at += piece)
        error = tar_reader_feed(reader.get(), stream.data() + at, (uint32_t)std::min(piece, stream.size() - at));
    if (error == ARCHIVE_OK)
        error = tar_reader_finish(reader.get());
    tar_reader_free(reader.get());
    return error;
}

struct Folder {
    fs::path root = fs::temp_directory_path() / ("tar-reader-test-" + std::to_string(getpid()));
    std::vector<FolderEntry> entries;
    Folder() { fs::create_directories(root); }
    ~Folder() { fs::remove_all(root); }
    void add(const std::string &name, const std::string &data, bool stored = false) {
        fs::path source = root / std::to_string(entries.size());
        std::ofstream(source, std::ios::binary) << data;
        entries.push_back({source, name, false, data.size(), 0644, 1000000000, stored});
    }
    void add_folder(const std::string &name) { entries.push_back({root, name, true, 0, 0755, 1000000000}); }
    // The stream, and where the part to store starts (its size when nothing is stored).
    std::vector<uint8_t> stream(size_t *stored_from) {
        std::vector<uint8_t> out;
        *stored_from = SIZE_MAX;
        tar_folder(
            entries, [&](const uint8_t *bytes, size_t size) { out.insert(out.end(), bytes, bytes + size); },
            [&] { *stored_from = out.size(); });
        *stored_from = std::min(*stored_from, out.size());
        return out;
    }
};

} // namespace

// Files of every alignment (none, 4 bytes, a block) and a name only an
// extended header holds; the sizes tar_size tells before are the ones written.
TEST(TarReader, HeadersFirstStreamsReadInAnyPieces) {
    Folder folder;
    std::string large(70001, 'L'), odd = "abc", path(150, 'p');
    folder.add_folder("sub");
    folder.add("sub/empty.txt", "");
    folder.add("sub/odd-file.txt", odd); // a name of whole 8 bytes: its NUL needs room of its own
    folder.add("sub/" + path + ".txt", "long");
    folder.add("sub/large.bin", large);
    folder.add("sub/stored.bin", large, true);
    size_t stored_from;
    std::vector<uint8_t> stream = folder.stream(&stored_from);
    TarSize size = tar_size(folder.entries);
    EXPECT_EQ(size.all, stream.size());
    EXPECT_EQ(size.coded, stored_from);
    const std::string want = "sub/ 0 493:|sub/empty.txt 0 420:|sub/odd-file.txt 3 420:abc|sub/" + path +
                             ".txt 4 420:long|sub/large.bin 70001 420:" + large + "|sub/stored.bin 70001 420:" + large +
                             "|";
    for (size_t piece : {1, 7, 512, 4099, 1 << 20}) {
        Seen seen;
        EXPECT_EQ(read(stream, piece, &seen), ARCHIVE_OK) << piece;
        EXPECT_TRUE(seen.log == want) << piece;
    }
}

TEST(TarReader, RefusesHeadersFirstStreamsThatLie) {
    Folder folder;
    folder.add("a.txt", "abc");
    folder.add("b.bin", std::string(70000, 'b'));
    size_t stored_from;
    const std::vector<uint8_t> sound = folder.stream(&stored_from);
    // The data starts after the headers, the two end blocks and b.bin's
    // alignment: a.txt's at 'data', b.bin's at the next block.
    const size_t data = sound.size() - 70000 - 512, ends = data - 1024;
    ASSERT_EQ(sound[ends - 512 + 156], '0'); // b.bin's header just before
    const struct {
        const char *what;
        size_t at;       // a byte to set, or SIZE_MAX
        uint8_t value;
        ptrdiff_t grow;  // bytes cut off (negative) or added at the end
        ArchiveError error;
        int begun; // entries passed on before the refusal
    } rows[] = {
        {"the last byte missing", SIZE_MAX, 0, -1, ARCHIVE_TRUNCATED, 2},
        {"only the headers", SIZE_MAX, 0, -(ptrdiff_t)(sound.size() - data), ARCHIVE_TRUNCATED, 1},
        {"no second end block", SIZE_MAX, 0, -(ptrdiff_t)(sound.size() - ends - 512), ARCHIVE_TRUNCATED, 0},
        {"a byte in the second end block", ends + 700, 1, 0, ARCHIVE_BAD_HEADER, 0},
        {"a byte in the zeros before b.bin", data + 3, 1, 0, ARCHIVE_BAD_HEADER, 1},
        {"a byte after the last file", SIZE_MAX, 0, 1, ARCHIVE_TRAILING_DATA, 2},
        {"b.bin's header damaged", ends - 512 + 10, 'x', 0, ARCHIVE_BAD_HEADER, 0},
    };
    for (const auto &row : rows) {
        std::vector<uint8_t> stream = sound;
        if (row.at != SIZE_MAX)
            stream[row.at] = row.value;
        stream.resize((size_t)((ptrdiff_t)stream.size() + row.grow), 0xAA);
        Seen seen;
        EXPECT_EQ(read(stream, 4099, &seen), row.error) << row.what;
        EXPECT_EQ(seen.begun, row.begun) << row.what;
    }
    // A name no extraction may write is refused with its header, before
    // the files before it begin.
    folder.add("../escaped.txt", "x");
    Seen seen;
    EXPECT_EQ(read(folder.stream(&stored_from), 4099, &seen), ARCHIVE_BAD_NAME);
    EXPECT_EQ(seen.begun, 0);
}
