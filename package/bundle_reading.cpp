#include "package/bundle_reading.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "archive/archive_text.h"
#include "archive/coded_reader.h"
#include "bundler/bundler.h"
#include "decoder/payload_format.h"
#include "include/sfx_package.h"
#include "package/payload.h"
#include "pe/pe_image.h"
#include "portable/portable_io.h"
#include "package/package_error.h"

BundleInfo open_bundle(const InputFile &file, const std::string &name) {
    BundleInfo bundle;
    std::vector<uint8_t> front = file.read_at(0, PAYLOAD_OFFSET);
    // A program no loader carries is not a bundle: say so, not how its image lies.
    std::string why;
    std::optional<PeImage> image = parse_pe_image(front, &why);
    if (!image)
        throw PackageError(name + ": not a bundle (not a PE executable: " + why + ")");
    if (image->image_end > PAYLOAD_OFFSET || file.size() < PAYLOAD_OFFSET + PAYLOAD_HEADER_SIZE)
        throw PackageError(name + ": not a bundle (a Windows program, not packed)");
    bundle.location = locate_in_executable(front, file.size(), name);
    if (bundle.location.record_state <= 0)
        throw PackageError(name + ": not a bundle (no package record)");
    if (std::string problem = record_problem(file, bundle.location); !problem.empty())
        throw PackageError(name + ": " + problem);
    uint64_t start = bundle.location.payload_offset + bundle.location.record.payload_size;
    uint32_t size = bundle.location.record.appended_size;
    std::vector<uint8_t> head = file.read_at(start, std::min<uint32_t>(size, BUNDLE_HEADER_MAX));
    if (!bundle_header_read(head.data(), (uint32_t)head.size(), &bundle.header))
        throw PackageError(name + ": not a bundle (its appended data has no bundle header this version reads)");
    bundle.command.assign(bundle.header.command, bundle.header.command_length);
    bundle.title.assign(bundle.header.title, bundle.header.title_length);
    bundle.target.assign(bundle.header.target, bundle.header.target_length);
    bundle.header.command = bundle.header.title = bundle.header.target = nullptr;
    bundle.archive_offset = start + bundle.header.size;
    bundle.archive_end = start + size;
    bundle.archive_size = bundle.header.archive_size;
    if (bundle.header.codec == BUNDLE_CODEC_PAYLOAD) {
        int32_t count;
        std::vector<uint8_t> bytes = file.read_at(bundle.archive_offset, PAYLOAD_HEADER_SIZE);
        if (!read_count_header(bytes, &count) || count < 0)
            throw PackageError(name + ": the bundle's archive is damaged (no count header)");
        bundle.archive_size = (uint64_t)count;
    }
    return bundle;
}

const char *codec_name(uint32_t codec) {
    return codec == BUNDLE_CODEC_LZMA2 ? "lzma2" : codec == BUNDLE_CODEC_LZMA ? "lzma" : "payload";
}

std::string codec_text(const BundleHeader &header) {
    if (header.codec == BUNDLE_CODEC_PAYLOAD)
        return "payload (version 1 bundle)";
    char text[96];
    std::snprintf(text, sizeof text, "%s%s, lc=%u lp=%u pb=%u, dictionary %u KiB",
                  header.codec == BUNDLE_CODEC_LZMA2 ? "LZMA2" : "LZMA",
                  header.filter == BUNDLE_FILTER_X86         ? " with x86 branch conversion"
                  : header.filter == BUNDLE_FILTER_SPLIT     ? " with split x86 branch conversion"
                  : header.filter == BUNDLE_FILTER_SPLIT_X64 ? " with split x86-64 conversion"
                                                             : "",
                  header.properties % 9,
                  header.properties / 9 % 5, header.properties / 45, header.dictionary >> 10);
    std::string all = text;
    if (header.slice_size > 0)
        all += ", in slices of " + std::to_string(header.slice_size) + " bytes";
    if (header.stored_size > 0)
        all += "; then " + std::to_string(header.stored_size) + " bytes stored as they are";
    return all;
}

namespace {

const char *coded_result_text(CodedResult result) {
    switch (result) {
    case CODED_OK: return "no error";
    case CODED_NO_MEMORY: return "its dictionary does not fit in memory";
    case CODED_DAMAGED: return "damaged LZMA data";
    case CODED_TRUNCATED: return "the LZMA stream is truncated";
    case CODED_SHORT: return "the LZMA stream ends before its declared size";
    case CODED_TRAILING: return "data after the LZMA stream's end";
    case CODED_REFUSED: return "refused";
    }
    return "unknown error";
}

int feed_tar(void *context, const uint8_t *bytes, uint32_t size) {
    return (int)(tar_reader_feed(static_cast<TarReader *>(context), bytes, size) == ARCHIVE_OK);
}

} // namespace

void read_bundle(const InputFile &file, const BundleInfo &bundle, const ArchiveSink &sink, const std::string &name) {
    auto reader = std::make_unique<TarReader>();
    tar_reader_init(reader.get(), &sink, bundle.header.headers_first);
    std::unique_ptr<TarReader, void (*)(TarReader *)> free_reader(reader.get(), tar_reader_free);
    if (bundle.header.codec == BUNDLE_CODEC_PAYLOAD) {
        FileHandle in = range_reader_open(file.fd(), bundle.archive_offset, bundle.archive_end);
        FileHandle out = callback_writer_open(feed_tar, reader.get());
        DecodeResult result = decode_between(in, out);
        file_close(in);
        file_close(out);
        ArchiveError error = result == DECODE_OK ? tar_reader_finish(reader.get()) : reader->error;
        if (result != DECODE_OK && error == ARCHIVE_OK)
            throw PackageError(name + ": the bundle's archive: " + decode_result_text(result));
        if (error != ARCHIVE_OK)
            throw PackageError(name + ": " + archive_error_text(*reader, error));
        return;
    }

    auto coded = std::make_unique<CodedReader>();
    CodedResult result = coded_reader_open(coded.get(), &bundle.header, BUNDLE_DICTIONARY_MAX, feed_tar, reader.get());
    std::unique_ptr<CodedReader, void (*)(CodedReader *)> free_coded(coded.get(), coded_reader_free);
    std::vector<uint8_t> block(1 << 16);
    for (uint64_t at = bundle.archive_offset; result == CODED_OK && at < bundle.archive_end;) {
        size_t n = (size_t)std::min<uint64_t>(block.size(), bundle.archive_end - at);
        ssize_t got = pread(file.fd(), block.data(), n, (off_t)at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            throw PackageError(name + ": cannot read: " + (got < 0 ? std::strerror(errno) : "the file ended early"));
        result = coded_reader_feed(coded.get(), block.data(), (uint32_t)got);
        at += (uint64_t)got;
    }
    if (result == CODED_OK)
        result = coded_reader_finish(coded.get());
    ArchiveError error = result == CODED_OK ? tar_reader_finish(reader.get()) : reader->error;
    if (error != ARCHIVE_OK)
        throw PackageError(name + ": " + archive_error_text(*reader, error));
    if (result != CODED_OK)
        throw PackageError(name + ": the bundle's archive: " + coded_result_text(result));
}

void read_bundle_with_progress(const InputFile &file, const BundleInfo &bundle, const ArchiveSink &sink,
                               const std::string &name, const ReadProgress &progress) {
    if (!progress)
        return read_bundle(file, bundle, sink, name);
    struct Counted {
        const ArchiveSink &inner;
        const ReadProgress &progress;
        uint64_t total, done = 0;
    } counted{sink, progress, bundle.archive_size};
    ArchiveSink outer{&counted,
                      [](void *context, const ArchiveEntry *entry) {
                          auto *c = static_cast<Counted *>(context);
                          c->progress(c->done += TAR_BLOCK, c->total);
                          return c->inner.begin(c->inner.context, entry);
                      },
                      [](void *context, const uint8_t *bytes, uint32_t size) {
                          auto *c = static_cast<Counted *>(context);
                          c->progress(c->done += size, c->total);
                          return c->inner.data(c->inner.context, bytes, size);
                      },
                      [](void *context, const ArchiveEntry *entry) {
                          auto *c = static_cast<Counted *>(context);
                          return c->inner.end(c->inner.context, entry);
                      }};
    read_bundle(file, bundle, outer, name);
}

bool has_bundle_header(const InputFile &file, const PayloadLocation &location) {
    if (location.record_state <= 0)
        return false;
    std::vector<uint8_t> magic = file.read_at(location.payload_offset + location.record.payload_size, 4);
    return magic.size() == 4 && sfx_get32(magic.data()) == (uint32_t)BUNDLE_MAGIC;
}

BundleContents verify_bundle(const InputFile &file, const std::string &name, const ReadProgress &progress,
                             bool any_system_program) {
    BundleContents contents;
    contents.bundle = open_bundle(file, name);
    const BundleInfo &bundle = contents.bundle;
    contents.header_version = (int)bundle.header.version;
    contents.codec = codec_name(bundle.header.codec);
    contents.dictionary = bundle.header.codec != BUNDLE_CODEC_PAYLOAD ? bundle.header.dictionary : 0;
    auto parts = std::make_unique<CommandParts>();
    if (!bundle.command.empty() &&
        command_split(bundle.command.data(), (uint32_t)bundle.command.size(), parts.get()) != NAME_OK)
        throw PackageError(name + ": the bundle's command names no program: " + bundle.command);
    struct Count {
        BundleContents &contents;
        std::vector<std::string> files;
    } count{contents, {}};
    ArchiveSink sink{&count,
                     [](void *context, const ArchiveEntry *entry) {
                         auto *c = static_cast<Count *>(context);
                         (entry->type == ENTRY_FILE ? c->contents.files : c->contents.folders)++;
                         c->contents.bytes += entry->size;
                         if (entry->type == ENTRY_FILE)
                             c->files.emplace_back(entry->name, entry->name_length);
                         return 1;
                     },
                     [](void *, const uint8_t *, uint32_t) { return 1; }, [](void *, const ArchiveEntry *) { return 1; }};
    read_bundle_with_progress(file, bundle, sink, name, progress);
    if (bundle.command.empty())
        return contents;
    ProgramPlace place = program_place(*parts, count.files);
    if (place == ProgramPlace::missing)
        throw PackageError(name + ": the command's program '" + std::string(parts->program) +
                        "' is not a file in the bundle");
    if (place == ProgramPlace::system && !any_system_program && !known_system_program(*parts))
        throw PackageError(name + ": the command's program '" + std::string(parts->program) +
                           "' is not a file in the bundle, nor a known program of the Windows system folder (" +
                           known_system_programs_text() + "); --system-program accepts it");
    return contents;
}
