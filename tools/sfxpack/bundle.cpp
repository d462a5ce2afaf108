#include "bundle.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "archive/bundle_format.h"
#include "decoder/payload_format.h"
#include "payload_io.h"
#include "portable/portable_io.h"
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

std::vector<uint8_t> tar_folder(const fs::path &folder) {
    std::error_code error;
    if (!fs::is_directory(folder, error))
        throw ToolError(folder.string() + ": not a folder");
    std::vector<fs::path> paths;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        paths.push_back(it->path().lexically_relative(folder));
    if (error)
        throw ToolError(folder.string() + ": " + error.message());
    std::sort(paths.begin(), paths.end(), [](const fs::path &a, const fs::path &b) { return a.native() < b.native(); });

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
    NameSet names;
    name_set_init(&names);
    std::unique_ptr<NameSet, void (*)(NameSet *)> free_names(&names, name_set_free);
    for (const fs::path &relative : paths) {
        fs::path path = folder / relative;
        std::string name = relative.generic_string();
        struct stat info;
        if (lstat(path.c_str(), &info) != 0)
            throw ToolError(path.string() + ": " + std::strerror(errno));
        bool directory = S_ISDIR(info.st_mode);
        if (!directory && !S_ISREG(info.st_mode))
            throw ToolError(path.string() + ": " + (S_ISLNK(info.st_mode) ? "a symbolic link" : "a special file") +
                            "; bundles hold only files and folders");
        if (NameProblem problem = entry_name_problem(name.data(), (uint32_t)name.size()); problem != NAME_OK)
            throw ToolError(path.string() + ": Windows cannot take this name: " + name_problem_text(problem));
        if (NameClash clash = name_set_add(&names, name.data(), (uint32_t)name.size(), directory); clash != CLASH_NONE)
            throw ToolError(path.string() + ": " + clash_text(clash));

        std::unique_ptr<archive_entry, void (*)(archive_entry *)> entry(archive_entry_new(), archive_entry_free);
        archive_entry_set_pathname_utf8(entry.get(), directory ? (name + "/").c_str() : name.c_str());
        archive_entry_set_filetype(entry.get(), directory ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(entry.get(), info.st_mode & 0777);
        archive_entry_set_size(entry.get(), directory ? 0 : info.st_size);
        archive_entry_set_mtime(entry.get(), info.st_mtim.tv_sec, 0);
        writer.check(archive_write_header(writer.handle, entry.get()), path.string());
        if (!directory)
            write_file_data(writer, path, (uint64_t)info.st_size);
    }
    writer.check(archive_write_close(writer.handle), "tar");
    return std::move(writer.bytes);
}

ProgramPlace check_bundle(const std::string &command, const std::string &title, std::span<const uint8_t> tar) {
    if (tar.size() > (size_t)INT32_MAX)
        throw ToolError("the folder's archive is " + std::to_string(tar.size()) +
                        " bytes, more than a payload holds (2 GiB)");
    if (command.empty() || command.size() > BUNDLE_COMMAND_MAX || !utf8_valid(command.data(), (uint32_t)command.size()))
        throw ToolError("the command must be 1 to " + std::to_string(BUNDLE_COMMAND_MAX) + " bytes of UTF-8");
    if (title.size() > BUNDLE_TITLE_MAX || !utf8_valid(title.data(), (uint32_t)title.size()))
        throw ToolError("the title must be at most " + std::to_string(BUNDLE_TITLE_MAX) + " bytes of UTF-8");
    auto parts = std::make_unique<CommandParts>();
    if (NameProblem problem = command_split(command.data(), (uint32_t)command.size(), parts.get()); problem != NAME_OK)
        throw ToolError("the command's program '" + std::string(parts->program) +
                        "' cannot be a name in the folder: " + name_problem_text(problem));

    // The program must be one of the files, under the same rules as the extractor reads them.
    std::vector<std::string> files;
    ArchiveSink sink{&files,
                     [](void *context, const ArchiveEntry *entry) {
                         if (entry->type == ENTRY_FILE)
                             static_cast<std::vector<std::string> *>(context)->emplace_back(entry->name,
                                                                                             entry->name_length);
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
    return check_program(*parts, files);
}

namespace {

// Whether Windows takes the two names for one: the archive's own fold.
bool same_name(const std::string &a, const std::string &b) {
    if (a.size() != b.size())
        return false;
    NameSet set;
    name_set_init(&set);
    name_set_add(&set, a.data(), (uint32_t)a.size(), 0);
    bool same = name_set_add(&set, b.data(), (uint32_t)b.size(), 0) == CLASH_DUPLICATE;
    name_set_free(&set);
    return same;
}

const std::string *find_file(const std::vector<std::string> &files, const std::string &name) {
    auto found = std::find_if(files.begin(), files.end(), [&](const std::string &file) { return same_name(file, name); });
    return found == files.end() ? nullptr : &*found;
}

} // namespace

ProgramPlace program_place(const CommandParts &parts, const std::vector<std::string> &files) {
    if (find_file(files, parts.program))
        return ProgramPlace::folder;
    return command_system_program(&parts) ? ProgramPlace::system : ProgramPlace::missing;
}

ProgramPlace check_program(const CommandParts &parts, const std::vector<std::string> &files) {
    std::string program = parts.program;
    ProgramPlace place = program_place(parts, files);
    if (place == ProgramPlace::folder) {
        for (const char *extension : {".exe", ".com"})
            if (name_has_extension(program.data(), (uint32_t)program.size(), extension))
                return place;
        throw ToolError("the command's program '" + program +
                        "' is not a Windows program (.exe or .com); run a script through the system's own, "
                        "as in --run \"cmd /c setup.bat\" or --run \"msiexec /i setup.msi\"");
    }
    if (const std::string *file = find_file(files, program + ".exe"))
        throw ToolError("the command's program '" + program + "' is not a file in the folder; did you mean '" + *file +
                        "'?");
    if (place == ProgramPlace::missing)
        throw ToolError("the command's program '" + program +
                        "' is not a file in the folder, nor a bare name (no extension or .exe) for a program in "
                        "the Windows system folder");
    return place;
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
