// Reading a packed file's bundle back, for list, extract, test and info:
// its record and header checked, its archive decoded through the reader the
// extractor uses.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "archive/bundle_format.h"
#include "archive/tar_reader.h"
#include "bundler/bundler.h"
#include "package/input_file.h"
#include "package/packed_file.h"

// A packed file's bundle, its record and appended data checked.
struct BundleInfo {
    PayloadLocation location;
    std::string command, title, target; // no command: an archive
    BundleHeader header;                  // its pointers are not kept
    uint64_t archive_offset, archive_end; // the coded tar stream's bytes in the file
    uint64_t archive_size;                // the tar stream's size: the header's, or version 1's count header
};
BundleInfo open_bundle(const InputFile &file, const std::string &name);
// "LZMA" with its settings, or the payload format of version 1.
std::string codec_text(const BundleHeader &header);
// "lzma2", "lzma", or "payload" in version 1, as --json names a codec.
const char *codec_name(uint32_t codec);

// Decodes the bundle's tar stream through the archive reader, which calls
// 'sink'; PackageError naming the refused entry, or a failed decode.
void read_bundle(const InputFile &file, const BundleInfo &bundle, const ArchiveSink &sink, const std::string &name);

// How far reading has come: the tar stream's bytes so far and in all.
using ReadProgress = std::function<void(uint64_t done, uint64_t total)>;
// read_bundle telling 'progress' (when given) how far it has come.
void read_bundle_with_progress(const InputFile &file, const BundleInfo &bundle, const ArchiveSink &sink,
                               const std::string &name, const ReadProgress &progress);

// Whether a packed file's appended data starts with a bundle header.
bool has_bundle_header(const InputFile &file, const PayloadLocation &location);

// A bundle read through as the extractor reads it: every entry through the
// archive reader, the command's program (an archive has none) among the
// files or, by its bare name, a known program of the Windows system folder
// (any program there with 'any_system_program').
struct BundleContents {
    BundleInfo bundle;
    int header_version;
    const char *codec;   // codec_name's
    uint32_t dictionary; // LZMA's, 0 for the payload format
    uint64_t files = 0, folders = 0, bytes = 0;
};
// PackageError naming what the extractor would refuse.
BundleContents verify_bundle(const InputFile &file, const std::string &name, const ReadProgress &progress = nullptr,
                             bool any_system_program = false);
