#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

#include "archive/bundle_format.h"
#include "bundler/bundler.h"
#include "commands.h"
#include "decoder/payload_format.h"
#include "encoder/payload_encoder.h"
#include "package/input_file.h"
#include "package/packed_identity.h"
#include "output_file.h"
#include "package/packed_file.h"
#include "payload_io.h"
#include "pe/pe_image.h"
#include "portable/portable_io.h"
#include "progress.h"
#include "tool_error.h"

namespace {

struct BundleOptions {
    std::string folder;
    std::string output;
    std::string command;
    std::string title;
    std::string target;
    bool archive = true; // no --run
    std::string loader;
    std::string extractor;
    ScanOptions scan;
    int level;
    bool extreme = false;
    unsigned threads = 0; // 0: as many as there are cores
    bool silent = false;
    bool any_system_program = false;
    IdentityOptions identity;
    std::string wait = "all";
};

// The output must not lie inside the folder, or the next bundle of the
// folder would carry this one: compared with '.', '..' and links resolved.
void check_output_outside(const std::string &folder, const std::string &output) {
    if (is_stdio(output))
        return;
    std::error_code error;
    std::filesystem::path inside = std::filesystem::weakly_canonical(std::filesystem::absolute(folder, error), error);
    std::filesystem::path path = std::filesystem::weakly_canonical(std::filesystem::absolute(output, error), error);
    std::filesystem::path within = path.lexically_relative(inside);
    if (!error && !within.empty() && *within.begin() != "..")
        throw ToolError(output + ": the output may not lie inside the folder it bundles");
}

// SOURCE_DATE_EPOCH, when set: no entry's time is later (reproducible builds).
std::optional<int64_t> source_date_epoch() {
    const char *text = std::getenv("SOURCE_DATE_EPOCH");
    if (!text || !*text)
        return std::nullopt;
    int64_t seconds = 0;
    auto [end, error] = std::from_chars(text, text + std::strlen(text), seconds);
    if (error != std::errc() || *end || seconds < 0)
        throw ToolError(std::string("SOURCE_DATE_EPOCH: '") + text + "' is not a number of seconds since 1970");
    return seconds;
}

// The extractor must carry an extractor's mark for the bundles this tool
// writes (any PE program with -f); a 64-bit one behind the 32-bit loader
// is warned about, as pack warns about a 64-bit stub.
void check_extractor(std::span<const uint8_t> extractor, std::span<const uint8_t> loader, const std::string &name,
                     const GlobalOptions &global) {
    std::string why;
    std::optional<PeImage> image = parse_pe_image(extractor, &why);
    if (!image)
        throw ToolError(name + ": not a PE executable (" + why + ")");
    std::string_view bytes(reinterpret_cast<const char *>(extractor.data()), extractor.size());
    std::string_view mark(BUNDLE_EXTRACTOR_MARK, sizeof BUNDLE_EXTRACTOR_MARK);
    size_t at = bytes.find(mark);
    if (at == bytes.npos && !global.force)
        throw ToolError(name + ": not an extractor (no extractor mark); use -f to bundle it anyway");
    int version = at != bytes.npos && at + mark.size() < bytes.size() ? (uint8_t)bytes[at + mark.size()] : -1;
    if (at != bytes.npos && version != BUNDLE_VERSION && !global.force)
        throw ToolError(name + ": an extractor for bundle version " + std::to_string(version) + "; this sfxpack writes " +
                        std::to_string(BUNDLE_VERSION) + "; use -f to bundle it anyway");
    std::optional<PeImage> loader_image = parse_pe_image(loader, &why);
    if (image->pe32_plus && loader_image && !loader_image->pe32_plus)
        warn(global, name + ": a 64-bit program: the 32-bit loader unpacks it, but 32-bit Windows cannot start it");
}

int run_bundle(BundleOptions options, const GlobalOptions &global) {
    if (options.loader.empty())
        options.loader = default_windows_file("SFXPACK_LOADER", "loader.exe", "--loader");
    if (options.extractor.empty())
        options.extractor = default_windows_file("SFXPACK_EXTRACTOR", "extractor.exe", "--extractor");
    for (const std::string *input : {&options.loader, &options.extractor})
        ensure_distinct(*input, options.output);
    check_output_outside(options.folder, options.output);
    options.scan.newest = source_date_epoch();

    // Everything that can be refused is, before the folder's data is read.
    std::vector<uint8_t> loader = read_whole_file(options.loader);
    check_loader(loader, options.loader);
    std::vector<uint8_t> extractor = read_whole_file(options.extractor);
    check_extractor(extractor, loader, options.extractor, global);
    unsigned threads = options.threads ? options.threads : std::max(1u, std::thread::hardware_concurrency());
    // The extractor's payload is coded on another core while the folder is read.
    std::future<std::vector<uint8_t>> coding_payload =
        std::async(threads > 1 ? std::launch::async : std::launch::deferred,
                   [&] { return encode_with_progress(extractor, options.level, options.extractor, true); });
    std::vector<std::string> unmatched;
    std::vector<FolderEntry> entries = scan_folder(options.folder, options.scan, &unmatched);
    for (const std::string &pattern : unmatched)
        warn(global, "--exclude '" + pattern + "' matched nothing in " + options.folder);
    if (!options.archive && options.command.empty())
        throw ToolError("--run: the command must be 1 to " + std::to_string(BUNDLE_COMMAND_MAX) +
                        " bytes of UTF-8; leave --run out for an archive");
    if (check_bundle(options.command, options.title, entries, options.any_system_program, options.target) ==
        ProgramPlace::system)
        warn(global, "the command's program is not a file in the folder: it is the Windows system folder's");
    // The bundle shows Windows what its program would: a program that must
    // run as administrator makes the bundle ask before anything is extracted.
    const FolderEntry *program = command_program(options.command, entries);
    loader = loader_with_identity(loader, options.loader, options.identity,
                                  program ? program_identity_of(program->source) : ProgramIdentity{},
                                  program ? program->source : "", [&](const std::string &warning) {
                                      warn(global, warning);
                                  });

    // Every limit before the long work: the package record's sizes are of 32
    // bits, and LZMA may grow data that does not compress by a little.
    std::vector<uint8_t> payload = coding_payload.get();
    uint64_t bound = tar_size_bound(entries);
    uint64_t fixed = PAYLOAD_OFFSET + payload.size() + BUNDLE_HEADER_MAX;
    if (fixed + bound + bound / 16 + (1 << 16) > UINT32_MAX)
        throw ToolError(options.folder + ": its archive would take up to " + std::to_string(bound) +
                        " bytes, more than a bundle holds (about 3.7 GiB, less what its names take)");
    OutputFile out(options.output, global.output(0777));

    // The coded archive goes to an unlinked temporary file first: the record
    // before it needs its size and CRC-32, and the output may be a pipe.
    int fd = coded_archive_file();
    std::unique_ptr<int, void (*)(int *)> closer(&fd, [](int *f) { close(*f); });
    survey_files(entries, threads);
    order_for_coding(entries);
    TarSize size = tar_size(entries);
    CodingSettings settings = coding_settings(options.level, options.extreme, choose_filter(entries), size.coded);
    settings.threads = threads;
    uint64_t coded_size;
    Progress progress("the folder's archive", size.all, global.quiet);
    BundleHeader header = code_archive([&](const ByteSink &sink, const StoreRest &store_rest) { tar_folder(entries, sink, store_rest); }, settings, fd,
                                       [&](uint64_t done) { progress.update(done); }, &coded_size);
    header.flags = options.wait == "command" ? BUNDLE_FLAG_WAIT_COMMAND : 0;
    std::vector<uint8_t> head = bundle_header_bytes(header, options.command, options.title, options.target);

    uint32_t crc = crc32_of(0, head.data(), head.size());
    PeChecksum sum{0, appended_start(payload)};
    sum.add(head);
    read_coded_archive(fd, coded_size, [&](const uint8_t *bytes, size_t size) {
        crc = crc32_of(crc, bytes, size);
        sum.add({bytes, size});
    });
    std::vector<uint8_t> front = packed_front(loader, extractor, payload, head.size() + coded_size, crc, sum,
                                               SFX_FLAG_PASS_EXIT_CODE | SFX_FLAG_PASS_ARGUMENTS |
                                                   (options.silent ? SFX_FLAG_SILENT : 0));

    out.write(front);
    out.write(head);
    read_coded_archive(fd, coded_size, [&](const uint8_t *bytes, size_t size) { out.write({bytes, size}); });
    out.commit();
    if (global.verbose)
        std::fprintf(stderr, "sfxpack: loader %s, extractor %s\n", options.loader.c_str(), options.extractor.c_str());
    print_summary(global, options.folder, header.archive_size, options.output, front.size() + head.size() + coded_size);
    return EXIT_OK;
}

} // namespace

Command add_bundle_command(CLI::App &app, GlobalOptions &global) {
    auto options = std::make_shared<BundleOptions>();
    CLI::App *sub = app.add_subcommand("bundle", "Build a self-extracting executable from a folder: an archive, "
                                                 "or with --run a command to run in it");
    sub->add_option("FOLDER", options->folder, "The folder whose files and folders it carries")->required();
    add_output_option(*sub, options->output, "Executable to write");
    sub->add_option("--run", options->command,
                    "The command to run once extracted: a program in the folder (quoted if its name has spaces) or "
                    "one of the Windows system folder's: " + known_system_programs_text() +
                        ", then its arguments. Without it the bundle is an archive: it asks where to extract to")
        ->type_name("COMMAND")
        ->each([options](const std::string &) { options->archive = false; });
    sub->add_option("--target", options->target,
                    "The folder extracted to by default (an archive's, and /sfx:extract's): a Windows path, %VAR% "
                    "expanded there, relative to the packed file's folder (default: a folder beside it, named "
                    "after it)")
        ->type_name("PATH");
    sub->add_option("--title", options->title, "Title of the progress window shown during a long extraction")
        ->type_name("TITLE");
    sub->add_option("--loader", options->loader,
                    "Loader executable (default: $SFXPACK_LOADER, else the build tree's or the installed loader.exe)")
        ->type_name("FILE");
    sub->add_option("--extractor", options->extractor,
                    "Extractor executable (default: $SFXPACK_EXTRACTOR, else the build tree's or the installed "
                    "extractor.exe)")
        ->type_name("FILE");
    sub->add_flag("--follow", options->scan.follow,
                  "Take symbolic links as the files and folders they name; refuses links that leave the "
                  "folder or loop");
    sub->add_option("--exclude", options->scan.exclude,
                    "Leave out what matches this shell pattern (repeatable): with a '/' the path inside the "
                    "folder, '**' standing for any number of folders, else any file's or folder's name")
        ->type_name("PATTERN");
    sub->add_flag("--system-program", options->any_system_program,
                  "Let the command name any program of the Windows system folder by its bare name, not only the "
                  "known ones");
    sub->add_option("--wait", options->wait,
                    "What the bundle waits for before it deletes its folder and exits: all (the command and every "
                    "program it starts, the default) or command (the command alone, for an installer that starts "
                    "the installed program at its end)")
        ->check(CLI::IsMember({"all", "command"}))
        ->type_name("command|all");
    sub->add_flag("--silent", options->silent,
                  "No progress window and no box: failures show only in the exit code");
    add_identity_options(*sub, options->identity, "the command's program");
    add_level_option(*sub, options->level, MAX_LEVEL);
    sub->add_flag("-e,--extreme", options->extreme,
                  "Search harder for the last bytes, in about a quarter more time (as xz -e)");
    sub->add_option("-T,--threads", options->threads,
                    "Threads: 1 keeps the reading, LZMA and its match finder on one core; 2 or more let them run "
                    "side by side, and code an archive of four dictionaries or more as two slices; 0 for "
                    "the cores (the default). The bundle is the same whatever the number")
        ->type_name("N")
        ->check(CLI::Range(0u, 4096u).description(""));
    return {sub, [options, &global] { return run_bundle(*options, global); }};
}
