#include "bundle.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <string_view>

#include "archive/bundle_format.h"
#include "decoder/payload_format.h"
#include "payload_io.h"
#include "portable/portable_io.h"
#include "progress.h"
#include "tool_error.h"

namespace fs = std::filesystem;

namespace {

const char *clash_text(NameClash clash) {
    return clash == CLASH_DUPLICATE   ? "two entries with this name, regardless of case"
           : clash == CLASH_FILE_PATH ? "a file and a folder with this name, regardless of case"
                                      : "out of memory";
}

struct ArchiveWriter {
    archive *handle = archive_write_new();
    std::vector<uint8_t> bytes;
    ~ArchiveWriter() { archive_write_free(handle); }
    std::string text() const {
        const char *message = archive_error_string(handle);
        return message ? message : "cannot write the archive";
    }
    void check(int result, const std::string &what) {
        if (result < ARCHIVE_WARN)
            throw ToolError(what + ": " + text());
    }
};

la_ssize_t collect(archive *, void *context, const void *buffer, size_t size) {
    auto *out = static_cast<std::vector<uint8_t> *>(context);
    out->insert(out->end(), static_cast<const uint8_t *>(buffer), static_cast<const uint8_t *>(buffer) + size);
    return (la_ssize_t)size;
}

void write_file_data(ArchiveWriter &writer, const fs::path &path, uint64_t size) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        throw ToolError(path.string() + ": cannot read: " + std::strerror(errno));
    std::unique_ptr<int, void (*)(int *)> closer(&fd, [](int *f) { close(*f); });
    std::vector<uint8_t> block(1 << 20);
    uint64_t done = 0;
    for (ssize_t n; done < size; done += (uint64_t)n) {
        n = read(fd, block.data(), std::min<uint64_t>(block.size(), size - done));
        if (n < 0 && errno == EINTR) {
            n = 0;
            continue;
        }
        if (n <= 0)
            throw ToolError(path.string() + (n ? ": cannot read: " + std::string(std::strerror(errno))
                                                : ": changed size while being read"));
        if (archive_write_data(writer.handle, block.data(), (size_t)n) != n)
            throw ToolError(path.string() + ": " + writer.text());
    }
}

} // namespace

const char *name_problem_text(NameProblem problem) {
    switch (problem) {
    case NAME_OK: return "no problem";
    case NAME_NOT_UTF8: return "not valid UTF-8";
    case NAME_EMPTY: return "an empty name or path component";
    case NAME_TOO_LONG: return "longer than 8192 bytes";
    case NAME_ABSOLUTE: return "an absolute path";
    case NAME_DRIVE: return "a drive letter";
    case NAME_PARENT: return "a '..' component";
    case NAME_DOT: return "a '.' component";
    case NAME_STREAM: return "a ':' (an alternate data stream)";
    case NAME_CHARACTER: return "a character Windows does not allow in names";
    case NAME_TRAILING: return "a component ending in '.' or ' '";
    case NAME_DEVICE: return "a reserved device name";
    }
    return "a bad name";
}

std::string archive_error_text(const TarReader &reader, ArchiveError error) {
    std::string name(1, '\'');
    name.append(reader.name, reader.entry.name_length).push_back('\'');
    switch (error) {
    case ARCHIVE_OK: return "no error";
    case ARCHIVE_TRUNCATED: return "the archive is truncated";
    case ARCHIVE_BAD_HEADER: return "a damaged tar header";
    case ARCHIVE_UNSUPPORTED: return name + ": neither a file nor a folder";
    case ARCHIVE_LINK: return name + ": a link; bundles hold only files and folders";
    case ARCHIVE_BAD_NAME: return name + ": refused: " + name_problem_text(reader.name_problem);
    case ARCHIVE_DUPLICATE: return name + ": refused: " + clash_text(reader.clash);
    case ARCHIVE_TOO_LONG: return "an extended tar header over 64 KiB";
    case ARCHIVE_TRAILING_DATA: return "data after the archive's end";
    case ARCHIVE_NO_MEMORY: return "out of memory";
    case ARCHIVE_REFUSED: return name + ": cannot be written";
    }
    return "unknown error";
}

namespace {

// Whether a path inside the folder is left out: a pattern with a '/' is
// matched against the whole path, one without against each entry's own name.
bool excluded(const std::vector<std::string> &patterns, const std::string &name) {
    std::string base = name.substr(name.find_last_of('/') + 1);
    for (std::string pattern : patterns) {
        while (pattern.size() > 1 && pattern.back() == '/')
            pattern.pop_back();
        if (pattern.starts_with("./"))
            pattern.erase(0, 2);
        bool whole = pattern.find('/') != std::string::npos;
        if (fnmatch(pattern.c_str(), whole ? name.c_str() : base.c_str(), whole ? FNM_PATHNAME : 0) == 0)
            return true;
    }
    return false;
}

// Walks the folder depth first, gathering entries and everything wrong with
// them, so that one run names every bad entry.
struct FolderScan {
    const ScanOptions &options;
    std::string root; // the folder with links resolved, for --follow
    std::vector<FolderEntry> entries;
    std::vector<std::string> problems;
    std::set<std::pair<dev_t, ino_t>> open_folders; // the folders being walked, to catch loops

    void problem(const fs::path &path, const std::string &what) { problems.push_back(path.string() + ": " + what); }

    // Where a followed link leads, when inside the folder; else empty, the problem noted.
    std::string follow(const fs::path &path) {
        char *resolved = realpath(path.c_str(), nullptr);
        if (!resolved) {
            problem(path, "a symbolic link to nothing (" + std::string(std::strerror(errno)) + ")");
            return "";
        }
        std::string target = resolved;
        std::free(resolved);
        if (target != root && !target.starts_with(root == "/" ? root : root + "/")) {
            problem(path, "a symbolic link out of the folder, to " + target);
            return "";
        }
        return target;
    }

    void walk(const fs::path &source, const fs::path &shown, const std::string &prefix) {
        std::error_code error;
        std::vector<std::string> names;
        for (fs::directory_iterator it(source, error), end; !error && it != end; it.increment(error))
            names.push_back(it->path().filename().string());
        if (error)
            throw ToolError(shown.string() + ": " + error.message());
        std::sort(names.begin(), names.end());
        for (const std::string &leaf : names) {
            std::string name = prefix.empty() ? leaf : prefix + "/" + leaf;
            if (excluded(options.exclude, name))
                continue;
            fs::path path = source / leaf, display = shown / leaf;
            struct stat info;
            if (lstat(path.c_str(), &info) != 0)
                throw ToolError(display.string() + ": " + std::strerror(errno));
            if (S_ISLNK(info.st_mode)) {
                if (!options.follow) {
                    problem(display, "a symbolic link; bundles hold only files and folders (--follow takes "
                                     "links as what they name)");
                    continue;
                }
                path = follow(path);
                if (path.empty())
                    continue;
                if (stat(path.c_str(), &info) != 0)
                    throw ToolError(display.string() + ": " + std::strerror(errno));
            }
            bool directory = S_ISDIR(info.st_mode);
            if (!directory && !S_ISREG(info.st_mode)) {
                problem(display, "a special file; bundles hold only files and folders");
                continue;
            }
            if (NameProblem why = entry_name_problem(name.data(), (uint32_t)name.size()); why != NAME_OK)
                problem(display, std::string("Windows cannot take this name: ") + name_problem_text(why));
            int64_t mtime = (int64_t)info.st_mtim.tv_sec;
            if (options.newest && mtime > *options.newest)
                mtime = *options.newest;
            entries.push_back({path, name, directory, directory ? 0 : (uint64_t)info.st_size,
                               (uint32_t)(info.st_mode & 0777), mtime});
            if (!directory)
                continue;
            if (!open_folders.insert({info.st_dev, info.st_ino}).second) {
                entries.pop_back();
                problem(display, "a symbolic link to a folder that holds it (a loop)");
                continue;
            }
            walk(path, display, name);
            open_folders.erase({info.st_dev, info.st_ino});
        }
    }
};

// The earlier entry a clashing name clashes with: the one that, alone in a
// set, refuses it too. Only run for clashes, which are rare.
const FolderEntry *clashing_with(const std::vector<FolderEntry> &entries, size_t index) {
    const FolderEntry &entry = entries[index];
    for (size_t i = 0; i < index; i++) {
        NameSet pair;
        name_set_init(&pair);
        name_set_add(&pair, entries[i].name.data(), (uint32_t)entries[i].name.size(), entries[i].folder);
        NameClash clash = name_set_add(&pair, entry.name.data(), (uint32_t)entry.name.size(), entry.folder);
        name_set_free(&pair);
        if (clash != CLASH_NONE)
            return &entries[i];
    }
    return nullptr;
}

} // namespace

std::vector<FolderEntry> scan_folder(const fs::path &folder, const ScanOptions &options) {
    struct stat info;
    if (stat(folder.c_str(), &info) != 0)
        throw ToolError(folder.string() + ": " + std::strerror(errno));
    if (!S_ISDIR(info.st_mode))
        throw ToolError(folder.string() + ": not a folder");
    FolderScan scan{options, "", {}, {}, {}};
    if (char *resolved = realpath(folder.c_str(), nullptr)) {
        scan.root = resolved;
        std::free(resolved);
    }
    scan.open_folders.insert({info.st_dev, info.st_ino});
    scan.walk(folder, folder, "");
    std::vector<FolderEntry> &entries = scan.entries;
    std::sort(entries.begin(), entries.end(), [](const FolderEntry &a, const FolderEntry &b) { return a.name < b.name; });

    // Two names Windows takes for one, checked in the order the extractor meets them.
    NameSet names;
    name_set_init(&names);
    std::unique_ptr<NameSet, void (*)(NameSet *)> free_names(&names, name_set_free);
    for (size_t i = 0; i < entries.size() && scan.problems.size() <= SCAN_PROBLEMS_SHOWN; i++) {
        const FolderEntry &entry = entries[i];
        NameClash clash = name_set_add(&names, entry.name.data(), (uint32_t)entry.name.size(), entry.folder);
        if (clash == CLASH_NO_MEMORY)
            throw std::bad_alloc();
        if (clash != CLASH_NONE) {
            const FolderEntry *other = clashing_with(entries, i);
            std::string with = other ? (folder / other->name).string() + " and " : "";
            scan.problems.push_back(with + (folder / entry.name).string() + ": " + clash_text(clash));
        }
    }
    if (scan.problems.size() == 1)
        throw ToolError(scan.problems.front());
    if (!scan.problems.empty()) {
        std::string message = folder.string() + ": " + std::to_string(scan.problems.size()) +
                              (scan.problems.size() > SCAN_PROBLEMS_SHOWN ? " or more" : "") +
                              " entries cannot go into a bundle: ";
        for (size_t i = 0; i < scan.problems.size() && i < SCAN_PROBLEMS_SHOWN; i++)
            message += (i ? "; " : "") + scan.problems[i];
        throw ToolError(message);
    }
    return entries;
}

uint64_t archive_size_at_least(const std::vector<FolderEntry> &entries) {
    uint64_t size = 2 * 512; // the end blocks
    for (const FolderEntry &entry : entries)
        size += 512 + (entry.size + 511) / 512 * 512;
    return size;
}

void check_archive_size(const std::vector<FolderEntry> &entries) {
    uint64_t size = archive_size_at_least(entries);
    if (size > BUNDLE_ARCHIVE_MAX)
        throw ToolError("the folder's " + std::to_string(entries.size()) + " entries take at least " +
                        std::to_string(size) + " bytes as an archive, more than a bundle holds (" +
                        std::to_string(BUNDLE_ARCHIVE_MAX) + " bytes)");
}

std::vector<uint8_t> tar_folder(const std::vector<FolderEntry> &entries) {
    // Names are UTF-8 whatever the user's locale; libarchive converts with
    // the thread's, which for its extended headers must then be UTF-8 too.
    struct Utf8Locale {
        locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
        locale_t before = utf8 ? uselocale(utf8) : (locale_t)0;
        ~Utf8Locale() {
            if (utf8) {
                uselocale(before);
                freelocale(utf8);
            }
        }
    } utf8_locale;
    ArchiveWriter writer;
    writer.check(archive_write_set_format_pax_restricted(writer.handle), "tar");
    writer.check(archive_write_set_bytes_in_last_block(writer.handle, 1), "tar");
    writer.check(archive_write_open2(writer.handle, &writer.bytes, nullptr, collect, nullptr, nullptr), "tar");
    for (const FolderEntry &item : entries) {
        std::unique_ptr<archive_entry, void (*)(archive_entry *)> entry(archive_entry_new(), archive_entry_free);
        archive_entry_set_pathname_utf8(entry.get(), item.folder ? (item.name + "/").c_str() : item.name.c_str());
        archive_entry_set_filetype(entry.get(), item.folder ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(entry.get(), item.mode);
        archive_entry_set_size(entry.get(), (la_int64_t)item.size);
        archive_entry_set_mtime(entry.get(), item.mtime, 0);
        writer.check(archive_write_header(writer.handle, entry.get()), item.source.string());
        if (!item.folder)
            write_file_data(writer, item.source, item.size);
    }
    writer.check(archive_write_close(writer.handle), "tar");
    return std::move(writer.bytes);
}

void check_bundle(const std::string &command, const std::string &title, std::span<const uint8_t> tar) {
    if (tar.size() > BUNDLE_ARCHIVE_MAX)
        throw ToolError("the folder's archive is " + std::to_string(tar.size()) +
                        " bytes, more than a bundle holds (" + std::to_string(BUNDLE_ARCHIVE_MAX) + " bytes)");
    if (command.empty() || command.size() > BUNDLE_COMMAND_MAX || !utf8_valid(command.data(), (uint32_t)command.size()))
        throw ToolError("the command must be 1 to " + std::to_string(BUNDLE_COMMAND_MAX) + " bytes of UTF-8");
    if (title.size() > BUNDLE_TITLE_MAX || !utf8_valid(title.data(), (uint32_t)title.size()))
        throw ToolError("the title must be at most " + std::to_string(BUNDLE_TITLE_MAX) + " bytes of UTF-8");
    auto parts = std::make_unique<CommandParts>();
    if (NameProblem problem = command_split(command.data(), (uint32_t)command.size(), parts.get()); problem != NAME_OK) {
        size_t start = command.find_first_not_of(' ');
        if (start != std::string::npos && command[start] == '"' && command.find('"', start + 1) == std::string::npos)
            throw ToolError("the command's opening quote is never closed: " + command);
        throw ToolError("the command's program '" + std::string(parts->program) +
                        "' cannot be a name in the folder: " + name_problem_text(problem));
    }

    // The program must be one of the files, under the same rules as the extractor reads them.
    struct Search {
        const CommandParts *parts;
        std::string unquoted; // the command as it stands, for a program name with spaces
        bool found = false;
        std::string spaced;   // the longest file name that begins the unquoted command
    } search{parts.get(), command.substr(std::min(command.find_first_not_of(' '), command.size())), false, ""};
    std::replace(search.unquoted.begin(), search.unquoted.end(), '\\', '/');
    ArchiveSink sink{&search,
                     [](void *context, const ArchiveEntry *entry) {
                         auto *s = static_cast<Search *>(context);
                         s->found |= is_command_program(*s->parts, *entry);
                         std::string_view name(entry->name, entry->name_length), unquoted(s->unquoted);
                         if (entry->type == ENTRY_FILE && name.find(' ') != name.npos && unquoted.starts_with(name) &&
                             (unquoted.size() == name.size() || unquoted[name.size()] == ' ') &&
                             name.size() > s->spaced.size())
                             s->spaced = name;
                         return 1;
                     },
                     [](void *, const uint8_t *, uint32_t) { return 1; }, [](void *, const ArchiveEntry *) { return 1; }};
    auto reader = std::make_unique<TarReader>();
    tar_reader_init(reader.get(), &sink);
    ArchiveError error = tar_reader_feed(reader.get(), tar.data(), (uint32_t)std::min<size_t>(tar.size(), UINT32_MAX));
    if (error == ARCHIVE_OK)
        error = tar_reader_finish(reader.get());
    std::string problem = error == ARCHIVE_OK ? "" : archive_error_text(*reader, error);
    tar_reader_free(reader.get());
    if (!problem.empty())
        throw ToolError("the folder's archive: " + problem);
    if (!search.found && !search.spaced.empty())
        throw ToolError("the command's program '" + std::string(parts->program) +
                        "' is not a file in the folder; quote a name with spaces: \"" + search.spaced + "\"" +
                        command.substr(command.size() - search.unquoted.size() + search.spaced.size()));
    if (!search.found)
        throw ToolError("the command's program '" + std::string(parts->program) + "' is not a file in the folder");
}

std::vector<uint8_t> bundle_appended(const std::string &command, const std::string &title,
                                     std::span<const uint8_t> tar, int level, bool quiet) {
    std::vector<uint8_t> appended(BUNDLE_HEADER_SIZE);
    bundle_header_write((uint32_t)command.size(), (uint32_t)title.size(), appended.data());
    appended.insert(appended.end(), command.begin(), command.end());
    appended.insert(appended.end(), title.begin(), title.end());
    std::vector<uint8_t> payload = encode_with_progress(tar, level, "the folder's archive", quiet);
    appended.insert(appended.end(), payload.begin(), payload.end());
    return appended;
}

BundleInfo open_bundle(const InputFile &file, const std::string &name) {
    BundleInfo bundle;
    bundle.location = locate_in_executable(file.read_at(0, PAYLOAD_OFFSET), file.size(), name);
    if (bundle.location.record_state <= 0)
        throw ToolError(name + ": not a bundle (no package record)");
    if (std::string problem = record_problem(file, bundle.location); !problem.empty())
        throw ToolError(name + ": " + problem);
    uint64_t start = bundle.location.payload_offset + bundle.location.record.payload_size;
    uint32_t size = bundle.location.record.appended_size;
    std::vector<uint8_t> head = file.read_at(start, std::min<uint32_t>(size, BUNDLE_HEADER_MAX));
    BundleHeader header;
    if (!bundle_header_read(head.data(), (uint32_t)head.size(), &header))
        throw ToolError(name + ": not a bundle (its appended data has no bundle header)");
    bundle.command.assign(header.command, header.command_length);
    bundle.title.assign(header.title, header.title_length);
    bundle.archive_offset = start + header.size;
    bundle.archive_end = start + size;
    std::vector<uint8_t> count = file.read_at(bundle.archive_offset, PAYLOAD_HEADER_SIZE);
    if (!read_count_header(count, &bundle.archive_size) || bundle.archive_size < 0)
        throw ToolError(name + ": the bundle's archive is damaged (no count header)");
    return bundle;
}

void read_bundle(const InputFile &file, const BundleInfo &bundle, const ArchiveSink &sink, const std::string &name) {
    auto reader = std::make_unique<TarReader>();
    tar_reader_init(reader.get(), &sink);
    std::unique_ptr<TarReader, void (*)(TarReader *)> free_reader(reader.get(), tar_reader_free);
    FileHandle in = range_reader_open(file.fd(), bundle.archive_offset, bundle.archive_end);
    FileHandle out = callback_writer_open(
        [](void *context, const uint8_t *bytes, uint32_t size) {
            return (int)(tar_reader_feed(static_cast<TarReader *>(context), bytes, size) == ARCHIVE_OK);
        },
        reader.get());
    DecodeResult result = decode_between(in, out);
    file_close(in);
    file_close(out);
    ArchiveError error = result == DECODE_OK ? tar_reader_finish(reader.get()) : reader->error;
    if (result != DECODE_OK && error == ARCHIVE_OK)
        throw ToolError(name + ": the bundle's archive: " + decode_result_text(result));
    if (error != ARCHIVE_OK)
        throw ToolError(name + ": " + archive_error_text(*reader, error));
}

bool is_command_program(const CommandParts &parts, const ArchiveEntry &entry) {
    return entry.type == ENTRY_FILE && entry.name_length == parts.program_length &&
           std::equal(entry.name, entry.name + entry.name_length, parts.program);
}

void read_bundle_with_progress(const InputFile &file, const BundleInfo &bundle, const ArchiveSink &sink,
                               const std::string &name, bool quiet) {
    struct Counted {
        const ArchiveSink &inner;
        Progress progress;
        uint64_t done = 0;
    } counted{sink, Progress(name, (uint64_t)bundle.archive_size, quiet)};
    ArchiveSink outer{&counted,
                      [](void *context, const ArchiveEntry *entry) {
                          auto *c = static_cast<Counted *>(context);
                          c->progress.update(c->done += TAR_BLOCK);
                          return c->inner.begin(c->inner.context, entry);
                      },
                      [](void *context, const uint8_t *bytes, uint32_t size) {
                          auto *c = static_cast<Counted *>(context);
                          c->progress.update(c->done += size);
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
    return magic.size() == 4 && (uint32_t)(magic[0] | magic[1] << 8 | magic[2] << 16 | (uint32_t)magic[3] << 24) ==
                                    (uint32_t)BUNDLE_MAGIC;
}

BundleContents verify_bundle(const InputFile &file, const std::string &name, bool quiet) {
    BundleContents contents;
    contents.bundle = open_bundle(file, name);
    const BundleInfo &bundle = contents.bundle;
    std::vector<uint8_t> version =
        file.read_at(bundle.location.payload_offset + bundle.location.record.payload_size + 4, 2);
    contents.header_version = version.size() == 2 ? version[0] | version[1] << 8 : 0;
    contents.codec = "lz77-huffman";
    auto parts = std::make_unique<CommandParts>();
    if (command_split(bundle.command.data(), (uint32_t)bundle.command.size(), parts.get()) != NAME_OK)
        throw ToolError(name + ": the bundle's command names no program: " + bundle.command);
    struct Count {
        BundleContents &contents;
        const CommandParts &parts;
        bool found = false;
    } count{contents, *parts};
    ArchiveSink sink{&count,
                     [](void *context, const ArchiveEntry *entry) {
                         auto *c = static_cast<Count *>(context);
                         (entry->type == ENTRY_FILE ? c->contents.files : c->contents.folders)++;
                         c->contents.bytes += entry->size;
                         c->found |= is_command_program(c->parts, *entry);
                         return 1;
                     },
                     [](void *, const uint8_t *, uint32_t) { return 1; }, [](void *, const ArchiveEntry *) { return 1; }};
    read_bundle_with_progress(file, bundle, sink, name, quiet);
    if (!count.found)
        throw ToolError(name + ": the command's program '" + std::string(parts->program) +
                        "' is not a file in the bundle");
    return contents;
}
