// list and extract: a bundle's archive read through the same reader, under
// the same rules, as the extractor reads it on Windows.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "package/bundle_reading.h"
#include "bundler/bundler.h"
#include "commands.h"
#include "progress.h"
#include "signal_cleanup.h"
#include "tool_error.h"

namespace fs = std::filesystem;

namespace {

struct Listed {
    std::string name;
    bool directory;
    uint64_t size;
    uint32_t mode;
    int64_t mtime; // -1 when the archive gives none
};

// "drwxr-xr-x", as ls shows a mode.
std::string mode_text(bool directory, uint32_t mode) {
    std::string text = directory ? "d" : "-";
    for (int bit = 8; bit >= 0; bit--)
        text += (mode & (1u << bit)) ? "rwx"[(8 - bit) % 3] : '-';
    return text;
}

// "2001-09-09 01:46" in UTC, so that every machine lists a bundle alike; "-" when not given.
std::string time_text(int64_t mtime) {
    time_t seconds = (time_t)mtime;
    struct tm parts;
    char text[32];
    if (mtime < 0 || !gmtime_r(&seconds, &parts) || !std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &parts))
        return "-";
    return text;
}

int run_list(const std::string &path, bool json, const GlobalOptions &global) {
    std::string name = is_stdio(path) ? "<stdin>" : path;
    InputFile file(path);
    BundleInfo bundle = open_bundle(file, name);
    std::vector<Listed> entries;
    ArchiveSink sink{&entries,
                     [](void *context, const ArchiveEntry *entry) {
                         static_cast<std::vector<Listed> *>(context)->push_back(
                             {std::string(entry->name, entry->name_length), entry->type == ENTRY_DIRECTORY, entry->size,
                              entry->mode, entry->mtime});
                         return 1;
                     },
                     [](void *, const uint8_t *, uint32_t) { return 1; }, [](void *, const ArchiveEntry *) { return 1; }};
    LateProgress progress(name, global.quiet);
    read_bundle_with_progress(file, bundle, sink, name, progress.call());

    uint64_t files = 0, bytes = 0;
    std::vector<std::string> file_names;
    for (const Listed &entry : entries) {
        files += !entry.directory, bytes += entry.size;
        if (!entry.directory)
            file_names.push_back(entry.name);
    }
    bool archive = bundle.command.empty();
    auto parts = std::make_unique<CommandParts>();
    bool split = !archive && command_split(bundle.command.data(), (uint32_t)bundle.command.size(), parts.get()) == NAME_OK;
    ProgramPlace place = archive ? ProgramPlace::none : split ? program_place(*parts, file_names) : ProgramPlace::missing;
    const char *place_name = place == ProgramPlace::folder ? "folder" : place == ProgramPlace::system ? "system" : nullptr;
    const char *wait = bundle.header.flags & BUNDLE_FLAG_WAIT_COMMAND ? "command" : "all";
    auto or_null = [](bool known, const auto &value) {
        return known ? nlohmann::ordered_json(value) : nlohmann::ordered_json(nullptr);
    };
    if (json) {
        nlohmann::ordered_json out = {{"format_version", JSON_FORMAT_VERSION}, {"file", name},
                                      {"kind", archive ? "archive" : "command"},
                                      {"command", or_null(!archive, bundle.command)}, {"title", bundle.title},
                                      {"target", or_null(!bundle.target.empty(), bundle.target)},
                                      {"wait", or_null(!archive, wait)},
                                      {"codec", codec_name(bundle.header.codec)},
                                      {"filter", bundle.header.filter == BUNDLE_FILTER_X86           ? "x86"
                                                    : bundle.header.filter == BUNDLE_FILTER_SPLIT     ? "x86-split"
                                                    : bundle.header.filter == BUNDLE_FILTER_SPLIT_X64 ? "x86-64-split"
                                                                                                      : "none"},
                                      {"dictionary", or_null(bundle.header.codec != BUNDLE_CODEC_PAYLOAD, bundle.header.dictionary)},
                                      {"stored_size", bundle.header.stored_size},
                                      {"slice_size", bundle.header.slice_size},
                                      {"program", or_null(!archive, parts->program)},
                                      {"program_place", or_null(place_name != nullptr, place_name ? place_name : "")},
                                      {"files", files}, {"folders", entries.size() - files}, {"bytes", bytes},
                                      {"entries", nlohmann::ordered_json::array()}};
        for (const Listed &entry : entries) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", entry.mode);
            out["entries"].push_back({{"name", entry.name}, {"type", entry.directory ? "folder" : "file"},
                                      {"size", entry.size}, {"mode", mode},
                                      {"mtime", or_null(entry.mtime >= 0, entry.mtime)}});
        }
        std::printf("%s\n", out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    } else {
        std::printf("kind: %s\ncommand: %s\ntitle: %s\ntarget: %s\n", archive ? "archive" : "command",
                    archive ? "-" : bundle.command.c_str(), bundle.title.c_str(),
                    bundle.target.empty() ? "- (a folder beside the file, named after it)" : bundle.target.c_str());
        if (!archive)
            std::printf("waits for: %s\n", wait == std::string("all") ? "the command and all it starts" : "the command alone");
        if (!archive)
            std::printf("program: %s (%s)\n", parts->program,
                        place == ProgramPlace::folder   ? "in the folder"
                        : place == ProgramPlace::system ? "in the Windows system folder"
                                                        : "missing");
        std::printf("codec: %s\n", codec_text(bundle.header).c_str());
        for (const Listed &entry : entries)
            std::printf("%s  %-16s %12s  %s%s\n", mode_text(entry.directory, entry.mode).c_str(),
                        time_text(entry.mtime).c_str(), entry.directory ? "-" : std::to_string(entry.size).c_str(),
                        entry.name.c_str(), entry.directory ? "/" : "");
        uint64_t folders = entries.size() - files;
        std::printf("%llu file%s, %llu folder%s, %llu bytes\n", (unsigned long long)files, files == 1 ? "" : "s",
                    (unsigned long long)folders, folders == 1 ? "" : "s", (unsigned long long)bytes);
    }
    print_summary(global, path, file.size(), "(listed)", bytes);
    return EXIT_OK;
}

// A folder's mode and time, set once everything inside it is in place.
struct FolderStamp {
    std::string name;
    uint32_t mode;
    int64_t mtime;
};

// Gives a file or folder its mode (never set-id, less the umask) and time.
bool stamp(int fd, const char *path, uint32_t mode, int64_t mtime) {
    struct timespec times[2] = {{0, UTIME_OMIT}, {(time_t)mtime, 0}};
    bool ok = fd >= 0 ? fchmod(fd, mode) == 0 : chmod(path, mode) == 0;
    if (mtime >= 0)
        ok &= (fd >= 0 ? futimens(fd, times) : utimensat(AT_FDCWD, path, times, 0)) == 0;
    return ok;
}

// Writes entries under a fresh folder of its own; the first failure is kept
// for the message, since the reader's calls cannot throw.
struct Extraction {
    fs::path root;
    std::set<std::string> top_level;
    std::vector<FolderStamp> folders;
    mode_t umask_bits;
    int fd = -1;
    uint64_t bytes = 0;
    std::string name; // the entry being written
    std::string failure;

    bool fail(const std::string &what) {
        failure = what + ": " + std::strerror(errno);
        return false;
    }
    // A signal stops the extraction at the next piece; the folder is then removed.
    bool interrupted() {
        if (pending_signal())
            failure = "interrupted";
        return pending_signal() != 0;
    }
    bool make_folders() {
        for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1))
            if (mkdir((root / name.substr(0, slash)).c_str(), 0755) != 0 && errno != EEXIST)
                return fail(name.substr(0, slash));
        return true;
    }
    bool begin(const ArchiveEntry &entry) {
        if (interrupted())
            return false;
        name.assign(entry.name, entry.name_length);
        top_level.insert(name.substr(0, name.find('/')));
        if (!make_folders())
            return false;
        fs::path path = root / name;
        if (entry.type == ENTRY_DIRECTORY) {
            folders.push_back({name, entry.mode & ~umask_bits, entry.mtime});
            return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST || fail(name);
        }
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        return fd >= 0 || fail(name);
    }
    bool data(const uint8_t *bytes, uint32_t size) {
        if (interrupted())
            return false;
        while (size > 0) {
            ssize_t n = write(fd, bytes, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return fail(name);
            bytes += n;
            size -= (uint32_t)n;
            this->bytes += (uint64_t)n;
        }
        return true;
    }
    bool end(const ArchiveEntry &entry) {
        if (entry.type == ENTRY_DIRECTORY)
            return true;
        if (!stamp(fd, "", entry.mode & ~umask_bits, entry.mtime))
            return fail(name);
        int result = close(fd);
        fd = -1;
        return result == 0 || fail(name);
    }
};

int run_extract(const std::string &path, const std::string &directory, const GlobalOptions &global) {
    std::string name = is_stdio(path) ? "<stdin>" : path;
    InputFile file(path);
    BundleInfo bundle = open_bundle(file, name);

    std::error_code error;
    bool made = !fs::exists(directory, error);
    if (made && !fs::create_directories(directory, error))
        throw ToolError(directory + ": cannot make the folder: " + error.message());
    std::string staging = (fs::path(directory) / ".sfxpack-XXXXXX").string();
    if (!mkdtemp(staging.data())) {
        int why = errno;
        if (made)
            fs::remove(directory, error);
        throw ToolError(directory + ": cannot extract here: " + std::strerror(why));
    }
    Extraction extraction;
    extraction.root = staging;
    extraction.umask_bits = umask(0);
    umask(extraction.umask_bits);
    defer_signals();
    // Whatever happens before the end, nothing stays behind.
    std::unique_ptr<Extraction, std::function<void(Extraction *)>> cleanup(&extraction, [&](Extraction *x) {
        if (x->fd >= 0)
            close(x->fd);
        fs::remove_all(staging, error);
        if (made)
            fs::remove(directory, error);
    });

    ArchiveSink sink{&extraction,
                     [](void *context, const ArchiveEntry *entry) {
                         return (int)static_cast<Extraction *>(context)->begin(*entry);
                     },
                     [](void *context, const uint8_t *bytes, uint32_t size) {
                         return (int)static_cast<Extraction *>(context)->data(bytes, size);
                     },
                     [](void *context, const ArchiveEntry *entry) {
                         return (int)static_cast<Extraction *>(context)->end(*entry);
                     }};
    try {
        LateProgress progress(name, global.quiet);
        read_bundle_with_progress(file, bundle, sink, name, progress.call());
    } catch (const std::runtime_error &e) { // the reader's PackageError, or the sink's ToolError
        if (int signal_number = pending_signal()) {
            cleanup.reset();
            end_by_signal(signal_number);
        }
        throw ToolError(extraction.failure.empty() ? e.what() : directory + "/" + extraction.failure);
    }

    // All or nothing in the folder too: every name is checked before any moves.
    for (const std::string &top : extraction.top_level)
        if (fs::symlink_status(fs::path(directory) / top, error).type() != fs::file_type::not_found && !global.force)
            throw ToolError((fs::path(directory) / top).string() + ": exists; use -f to overwrite");
    for (const std::string &top : extraction.top_level) {
        fs::path target = fs::path(directory) / top;
        fs::remove_all(target, error);
        if (std::rename((fs::path(staging) / top).c_str(), target.c_str()) != 0)
            throw ToolError(target.string() + ": " + std::strerror(errno));
    }
    made = false;
    // Folders get their modes and times last, the deepest first, once nothing more goes into them.
    for (auto folder = extraction.folders.rbegin(); folder != extraction.folders.rend(); ++folder)
        if (fs::path target = fs::path(directory) / folder->name; !stamp(-1, target.c_str(), folder->mode, folder->mtime))
            throw ToolError(target.string() + ": " + std::strerror(errno));
    print_summary(global, path, file.size(), directory, extraction.bytes);
    return EXIT_OK;
}

} // namespace

Command add_list_command(CLI::App &app, GlobalOptions &global) {
    auto path = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    CLI::App *sub = app.add_subcommand("list", "List the files and folders of a bundle, whether it is an archive or "
                                               "runs a command, and its target");
    sub->add_option("EXE", *path, "Executable made by bundle")->required();
    sub->add_flag("--json", *json, "One JSON object: kind, command, title, target, totals and every entry");
    return {sub, [path, json, &global] { return run_list(*path, *json, global); }};
}

Command add_extract_command(CLI::App &app, GlobalOptions &global) {
    auto path = std::make_shared<std::string>();
    auto directory = std::make_shared<std::string>(".");
    CLI::App *sub = app.add_subcommand("extract", "Extract a bundle's files and folders without running anything; "
                                                  "all or nothing");
    sub->add_option("EXE", *path, "Executable made by bundle")->required();
    sub->add_option("-C,--directory", *directory, "The folder to extract into, made if missing (default: .)")
        ->type_name("DIR");
    return {sub, [path, directory, &global] { return run_extract(*path, *directory, global); }};
}
