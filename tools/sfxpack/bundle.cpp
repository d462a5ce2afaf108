#include "bundle.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <locale.h>
#include <lzma.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <string_view>

#include "archive/branch_split.h"
#include "archive/bundle_format.h"
#include "archive/coded_reader.h"
#include "decoder/payload_format.h"
#include "encoder/payload_encoder.h"
#include "include/sfx_package.h"
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
    const ByteSink *sink;
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

// libarchive's write callback: the tar stream's next bytes. What the sink
// throws is kept for after libarchive has unwound.
struct SinkCall {
    const ByteSink *sink;
    std::exception_ptr failure;
};

la_ssize_t pass_on(archive *, void *context, const void *buffer, size_t size) {
    auto *call = static_cast<SinkCall *>(context);
    try {
        (*call->sink)(static_cast<const uint8_t *>(buffer), size);
    } catch (...) {
        call->failure = std::current_exception();
        return -1;
    }
    return (la_ssize_t)size;
}

void write_file_data(ArchiveWriter &writer, const fs::path &path, uint64_t size, const std::exception_ptr &failure) {
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
        if (archive_write_data(writer.handle, block.data(), (size_t)n) != n) {
            if (failure)
                std::rethrow_exception(failure);
            throw ToolError(path.string() + ": " + writer.text());
        }
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

void order_for_coding(std::vector<FolderEntry> &entries) {
    // By extension, then by name, which keeps a folder's files together:
    // taking file names before folders mixes builds of one library for
    // different machines and codes about 1 % larger on Windows DLLs.
    auto key = [](const FolderEntry &entry) {
        std::string_view name = entry.name;
        size_t slash = name.rfind('/');
        std::string_view file = slash == std::string_view::npos ? name : name.substr(slash + 1);
        size_t dot = file.rfind('.');
        std::string_view extension = dot == std::string_view::npos || dot == 0 ? "" : file.substr(dot + 1);
        return std::make_tuple(!entry.folder, entry.folder ? "" : extension, name);
    };
    std::stable_sort(entries.begin(), entries.end(),
                     [&](const FolderEntry &a, const FolderEntry &b) { return key(a) < key(b); });
}

uint64_t tar_size_bound(const std::vector<FolderEntry> &entries) {
    // Each entry: its header block, an extended header (one block and its
    // records: the name and perhaps a large size or time), its data padded
    // to a block; then the two end blocks.
    uint64_t total = 2 * TAR_BLOCK;
    for (const FolderEntry &entry : entries)
        total += 3 * TAR_BLOCK + (entry.name.size() + 255) / TAR_BLOCK * TAR_BLOCK +
                 (entry.size + TAR_BLOCK - 1) / TAR_BLOCK * TAR_BLOCK;
    return total;
}

void tar_folder(const std::vector<FolderEntry> &entries, const ByteSink &sink) {
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
    SinkCall call{&sink, nullptr};
    auto check = [&](int result, const std::string &what) {
        if (call.failure)
            std::rethrow_exception(call.failure);
        writer.check(result, what);
    };
    check(archive_write_set_format_pax_restricted(writer.handle), "tar");
    check(archive_write_set_bytes_in_last_block(writer.handle, 1), "tar");
    check(archive_write_open2(writer.handle, &call, nullptr, pass_on, nullptr, nullptr), "tar");
    for (const FolderEntry &item : entries) {
        std::unique_ptr<archive_entry, void (*)(archive_entry *)> entry(archive_entry_new(), archive_entry_free);
        archive_entry_set_pathname_utf8(entry.get(), item.folder ? (item.name + "/").c_str() : item.name.c_str());
        archive_entry_set_filetype(entry.get(), item.folder ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(entry.get(), item.mode);
        archive_entry_set_size(entry.get(), (la_int64_t)item.size);
        archive_entry_set_mtime(entry.get(), item.mtime, 0);
        check(archive_write_header(writer.handle, entry.get()), item.source.string());
        if (!item.folder)
            write_file_data(writer, item.source, item.size, call.failure);
    }
    check(archive_write_close(writer.handle), "tar");
}

CodingSettings coding_settings(int level, uint32_t filter, uint64_t archive_bound) {
    lzma_options_lzma options;
    lzma_lzma_preset(&options, (uint32_t)level);
    uint64_t dictionary = std::clamp<uint64_t>(archive_bound, BUNDLE_DICTIONARY_MIN, options.dict_size);
    return {level, filter, (uint32_t)dictionary};
}

uint32_t choose_filter(const std::vector<FolderEntry> &entries) {
    // Splitting the branch targets out gains on x86 and x86-64 code alike,
    // on like libraries most; on other data it costs a few bytes of flags.
    uint64_t code = 0, all = 0;
    for (const FolderEntry &entry : entries) {
        all += entry.size;
        if (entry.folder || entry.size < 512)
            continue;
        int fd = open(entry.source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        uint8_t head[1024];
        ssize_t n = pread(fd, head, sizeof head, 0);
        close(fd);
        if (n < 64 || head[0] != 'M' || head[1] != 'Z')
            continue;
        uint32_t pe = sfx_get32(head + 0x3C);
        if (pe > (uint32_t)n - 6 || std::memcmp(head + pe, "PE\0\0", 4) != 0)
            continue;
        uint32_t machine = head[pe + 4] | (uint32_t)head[pe + 5] << 8;
        if (machine == 0x14C || machine == 0x8664)
            code += entry.size;
    }
    return code > all / 2 ? BUNDLE_FILTER_SPLIT : BUNDLE_FILTER_NONE;
}

ProgramPlace check_bundle(const std::string &command, const std::string &title, const std::vector<FolderEntry> &entries) {
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
    std::vector<std::string> files;
    for (const FolderEntry &entry : entries)
        if (!entry.folder)
            files.push_back(entry.name);
    ProgramPlace place = program_place(*parts, files);
    if (place != ProgramPlace::folder) {
        // A program whose name holds spaces, given unquoted: say how to quote
        // it, rather than take its first word for a system program.
        std::string unquoted = command.substr(std::min(command.find_first_not_of(' '), command.size()));
        std::replace(unquoted.begin(), unquoted.end(), '\\', '/');
        std::string spaced;
        for (const std::string &file : files)
            if (file.find(' ') != std::string::npos && unquoted.starts_with(file) &&
                (unquoted.size() == file.size() || unquoted[file.size()] == ' ') && file.size() > spaced.size())
                spaced = file;
        if (!spaced.empty())
            throw ToolError("the command's program '" + std::string(parts->program) +
                            "' is not a file in the folder; quote a name with spaces: \"" + spaced + "\"" +
                            command.substr(command.size() - unquoted.size() + spaced.size()));
    }
    return check_program(*parts, files, place);
}

namespace {

const char *lzma_text(lzma_ret result) {
    return result == LZMA_MEM_ERROR ? "out of memory" : result == LZMA_OPTIONS_ERROR ? "unsupported options"
                                                                                    : "the encoder failed";
}

void write_all(int fd, const uint8_t *bytes, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw ToolError(std::string("cannot write the coded archive: ") + std::strerror(n < 0 ? errno : ENOSPC));
        bytes += n;
        size -= (size_t)n;
    }
}

// Whether Windows takes the two names for one: the archive's own fold.
bool same_name(const std::string &a, const std::string &b) {
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

// The split branch conversion's coder: takes the tar stream in pieces, hands
// what is left of it on, and keeps the targets and the flags.
class BranchSplitter {
public:
    explicit BranchSplitter(ByteSink rest) : rest_(std::move(rest)) {
        split_model_init(&model_);
        split_writer_start(&writer_, [](void *flags, uint8_t byte) { static_cast<std::vector<uint8_t> *>(flags)->push_back(byte); },
                           &flags);
    }
    // 'last': the stream ends with this piece.
    void feed(const uint8_t *bytes, size_t size, bool last) {
        held_.insert(held_.end(), bytes, bytes + size);
        size_t at = 0, end = held_.size();
        out_.clear();
        while (at < end) {
            uint8_t byte = held_[at];
            if ((byte == 0xE8 || byte == 0xE9) && end - at - 1 < 4 && !last)
                break; // its flag waits for its operand, or the stream's end
            out_.push_back(byte);
            at++;
            position_++;
            if (split_is_branch(byte, end - at)) {
                // Near targets are nearly always real calls and jumps. Within
                // 4 MiB: 1 MiB would leave distinct libraries' code 2 % larger
                // (and like libraries 0.2 % smaller), 16 MiB like ones 0.2 %
                // larger.
                int32_t operand = (int32_t)sfx_get32(&held_[at]);
                bool take = operand > -NEAR && operand < NEAR && targets.size() + 4 <= SPLIT_TARGETS_MAX;
                split_writer_bit(&writer_, &model_.probability[split_context(byte, previous_)], take);
                if (take) {
                    uint32_t target = split_absolute((uint32_t)operand, position_ + 4);
                    for (int shift = 24; shift >= 0; shift -= 8)
                        targets.push_back((uint8_t)(target >> shift));
                    at += 4;
                    position_ += 4;
                    byte = held_[at - 1];
                }
            }
            previous_ = byte;
        }
        held_.erase(held_.begin(), held_.begin() + (ptrdiff_t)at);
        rest_size += out_.size();
        if (!out_.empty())
            rest_(out_.data(), out_.size());
        if (last)
            split_writer_finish(&writer_);
    }

    std::vector<uint8_t> targets, flags;
    uint64_t rest_size = 0;

private:
    static constexpr int32_t NEAR = 1 << 22;
    ByteSink rest_;
    SplitModel model_;
    SplitFlagWriter writer_;
    std::vector<uint8_t> held_, out_;
    uint64_t position_ = 0;
    uint8_t previous_ = 0;
};

// The split conversion's header and its targets and flags, which come before
// the LZMA stream of the rest.
std::vector<uint8_t> split_streams(const BranchSplitter &splitter, int level) {
    std::vector<uint8_t> coded(SPLIT_HEADER_SIZE);
    if (!splitter.targets.empty()) {
        lzma_options_lzma options;
        lzma_lzma_preset(&options, (uint32_t)level | (level == MAX_LEVEL ? LZMA_PRESET_EXTREME : 0));
        options.dict_size = std::clamp<uint32_t>((uint32_t)splitter.targets.size(), BUNDLE_DICTIONARY_MIN, options.dict_size);
        options.lc = SPLIT_ADDRESS_PROPERTIES % 9;
        options.lp = SPLIT_ADDRESS_PROPERTIES / 9 % 5;
        options.pb = SPLIT_ADDRESS_PROPERTIES / 45;
        lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
        coded.resize(SPLIT_HEADER_SIZE + splitter.targets.size() + splitter.targets.size() / 8 + 4096);
        size_t size = SPLIT_HEADER_SIZE;
        if (lzma_ret result = lzma_raw_buffer_encode(filters, nullptr, splitter.targets.data(), splitter.targets.size(),
                                                     coded.data(), &size, coded.size());
            result != LZMA_OK)
            throw ToolError(std::string("the folder's archive: ") + lzma_text(result));
        coded.resize(size);
    }
    uint8_t *head = coded.data();
    sfx_put32(head, (uint32_t)splitter.rest_size);
    sfx_put32(head + 4, (uint32_t)(splitter.rest_size >> 32));
    sfx_put32(head + 8, (uint32_t)splitter.targets.size());
    sfx_put32(head + 12, (uint32_t)(coded.size() - SPLIT_HEADER_SIZE));
    sfx_put32(head + 16, (uint32_t)splitter.flags.size());
    coded.insert(coded.end(), splitter.flags.begin(), splitter.flags.end());
    return coded;
}

} // namespace

BundleHeader code_archive(const std::function<void(const ByteSink &)> &produce, const CodingSettings &settings,
                          int fd, uint64_t total, bool quiet, uint64_t *coded_size, bool verify) {
    lzma_options_lzma options;
    lzma_lzma_preset(&options, (uint32_t)settings.level | (settings.level == MAX_LEVEL ? LZMA_PRESET_EXTREME : 0));
    options.dict_size = settings.dictionary;
    lzma_filter filters[3], *next = filters;
    if (settings.filter == BUNDLE_FILTER_X86)
        *next++ = {LZMA_FILTER_X86, nullptr};
    *next++ = {LZMA_FILTER_LZMA1, &options};
    *next = {LZMA_VLI_UNKNOWN, nullptr};
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_ret result = lzma_raw_encoder(&stream, filters); result != LZMA_OK)
        throw ToolError(std::string("the folder's archive: ") + lzma_text(result));
    std::unique_ptr<lzma_stream, void (*)(lzma_stream *)> end(&stream, lzma_end);

    // The stream is read back as it is written, so that whatever the
    // extractor would refuse is refused here.
    auto reader = std::make_unique<TarReader>();
    ArchiveSink accept{nullptr, [](void *, const ArchiveEntry *) { return 1; },
                       [](void *, const uint8_t *, uint32_t) { return 1; }, [](void *, const ArchiveEntry *) { return 1; }};
    tar_reader_init(reader.get(), &accept);
    std::unique_ptr<TarReader, void (*)(TarReader *)> free_reader(reader.get(), tar_reader_free);

    // With the split conversion, the LZMA stream goes after the targets and
    // flags, which are known only at the end: it waits in a file of its own.
    bool split = settings.filter == BUNDLE_FILTER_SPLIT;
    int lzma_fd = split ? coded_archive_file() : fd;
    std::unique_ptr<int, void (*)(int *)> closer(split ? &lzma_fd : nullptr, [](int *f) { close(*f); });
    Progress progress("the folder's archive", total, quiet);
    std::vector<uint8_t> out(1 << 20);
    uint64_t archive_size = 0, coded = 0;
    auto code = [&](const uint8_t *bytes, size_t size, lzma_action action) {
        stream.next_in = bytes;
        stream.avail_in = size;
        for (;;) {
            stream.next_out = out.data();
            stream.avail_out = out.size();
            lzma_ret result = lzma_code(&stream, action);
            if (result != LZMA_OK && result != LZMA_STREAM_END)
                throw ToolError(std::string("the folder's archive: ") + lzma_text(result));
            write_all(lzma_fd, out.data(), out.size() - stream.avail_out);
            coded += out.size() - stream.avail_out;
            if (action == LZMA_FINISH ? result == LZMA_STREAM_END : stream.avail_in == 0 && stream.avail_out > 0)
                break;
        }
    };
    BranchSplitter splitter([&](const uint8_t *bytes, size_t size) { code(bytes, size, LZMA_RUN); });
    produce([&](const uint8_t *bytes, size_t size) {
        for (size_t at = 0; at < size;) {
            uint32_t piece = (uint32_t)std::min<size_t>(size - at, 1 << 30);
            if (verify && tar_reader_feed(reader.get(), bytes + at, piece) != ARCHIVE_OK)
                throw ToolError("the folder's archive: " + archive_error_text(*reader, reader->error));
            at += piece;
        }
        if (split)
            splitter.feed(bytes, size, false);
        else
            code(bytes, size, LZMA_RUN);
        archive_size += size;
        progress.update(archive_size);
    });
    if (ArchiveError error = verify ? tar_reader_finish(reader.get()) : ArchiveError(ARCHIVE_OK); error != ARCHIVE_OK)
        throw ToolError("the folder's archive: " + archive_error_text(*reader, error));
    if (split)
        splitter.feed(nullptr, 0, true);
    code(nullptr, 0, LZMA_FINISH);
    if (split) {
        std::vector<uint8_t> head = split_streams(splitter, settings.level);
        write_all(fd, head.data(), head.size());
        read_coded_archive(lzma_fd, coded, [&](const uint8_t *bytes, size_t size) { write_all(fd, bytes, size); });
        coded += head.size();
    }
    *coded_size = coded;

    BundleHeader header{};
    header.version = BUNDLE_VERSION;
    header.codec = BUNDLE_CODEC_LZMA;
    header.filter = settings.filter;
    header.properties = options.lc + 9 * (options.lp + 5 * options.pb);
    header.dictionary = options.dict_size;
    header.archive_size = archive_size;
    return header;
}

ProgramPlace program_place(const CommandParts &parts, const std::vector<std::string> &files) {
    if (find_file(files, parts.program))
        return ProgramPlace::folder;
    return command_system_program(&parts) ? ProgramPlace::system : ProgramPlace::missing;
}

ProgramPlace check_program(const CommandParts &parts, const std::vector<std::string> &files, ProgramPlace place) {
    std::string program = parts.program;
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

int coded_archive_file() {
    const char *folder = std::getenv("TMPDIR");
    std::string temp = std::string(folder && *folder ? folder : "/tmp") + "/sfxpack-coded-XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0)
        throw ToolError(std::string("cannot make a temporary file: ") + std::strerror(errno));
    unlink(temp.c_str());
    return fd;
}

void read_coded_archive(int fd, uint64_t size, const std::function<void(const uint8_t *, size_t)> &use) {
    std::vector<uint8_t> block(1 << 20);
    for (uint64_t at = 0; at < size;) {
        ssize_t n = pread(fd, block.data(), (size_t)std::min<uint64_t>(block.size(), size - at), (off_t)at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw ToolError("cannot read the coded archive back");
        use(block.data(), (size_t)n);
        at += (uint64_t)n;
    }
}

std::vector<uint8_t> bundle_appended(const std::string &command, const std::string &title,
                                     std::span<const uint8_t> tar, int level, bool quiet, uint32_t filter) {
    int fd = coded_archive_file();
    std::unique_ptr<int, void (*)(int *)> closer(&fd, [](int *f) { close(*f); });
    uint64_t coded_size;
    BundleHeader header = code_archive([&](const ByteSink &sink) { sink(tar.data(), tar.size()); },
                                       coding_settings(level, filter, tar.size()), fd, tar.size(), quiet, &coded_size, false);
    header.command_length = (uint32_t)command.size();
    header.title_length = (uint32_t)title.size();
    std::vector<uint8_t> appended(BUNDLE_HEADER_SIZE + command.size() + title.size() + coded_size);
    bundle_header_write(&header, appended.data());
    std::copy(command.begin(), command.end(), appended.begin() + BUNDLE_HEADER_SIZE);
    std::copy(title.begin(), title.end(), appended.begin() + BUNDLE_HEADER_SIZE + (ptrdiff_t)command.size());
    if (pread(fd, appended.data() + appended.size() - coded_size, coded_size, 0) != (ssize_t)coded_size)
        throw ToolError("cannot read the coded archive back");
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
    if (!bundle_header_read(head.data(), (uint32_t)head.size(), &bundle.header))
        throw ToolError(name + ": not a bundle (its appended data has no bundle header this version reads)");
    bundle.command.assign(bundle.header.command, bundle.header.command_length);
    bundle.title.assign(bundle.header.title, bundle.header.title_length);
    bundle.header.command = bundle.header.title = nullptr;
    bundle.archive_offset = start + bundle.header.size;
    bundle.archive_end = start + size;
    bundle.archive_size = bundle.header.archive_size;
    if (bundle.header.codec == BUNDLE_CODEC_PAYLOAD) {
        int32_t count;
        std::vector<uint8_t> bytes = file.read_at(bundle.archive_offset, PAYLOAD_HEADER_SIZE);
        if (!read_count_header(bytes, &count) || count < 0)
            throw ToolError(name + ": the bundle's archive is damaged (no count header)");
        bundle.archive_size = (uint64_t)count;
    }
    return bundle;
}

std::string codec_text(const BundleHeader &header) {
    if (header.codec == BUNDLE_CODEC_PAYLOAD)
        return "payload (version 1 bundle)";
    char text[96];
    std::snprintf(text, sizeof text, "LZMA%s, lc=%u lp=%u pb=%u, dictionary %u KiB",
                  header.filter == BUNDLE_FILTER_X86     ? " with x86 branch conversion"
                  : header.filter == BUNDLE_FILTER_SPLIT ? " with split x86 branch conversion"
                                                         : "",
                  header.properties % 9,
                  header.properties / 9 % 5, header.properties / 45, header.dictionary >> 10);
    return text;
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
    tar_reader_init(reader.get(), &sink);
    std::unique_ptr<TarReader, void (*)(TarReader *)> free_reader(reader.get(), tar_reader_free);
    if (bundle.header.codec == BUNDLE_CODEC_PAYLOAD) {
        FileHandle in = range_reader_open(file.fd(), bundle.archive_offset, bundle.archive_end);
        FileHandle out = callback_writer_open(feed_tar, reader.get());
        DecodeResult result = decode_between(in, out);
        file_close(in);
        file_close(out);
        ArchiveError error = result == DECODE_OK ? tar_reader_finish(reader.get()) : reader->error;
        if (result != DECODE_OK && error == ARCHIVE_OK)
            throw ToolError(name + ": the bundle's archive: " + decode_result_text(result));
        if (error != ARCHIVE_OK)
            throw ToolError(name + ": " + archive_error_text(*reader, error));
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
            throw ToolError(name + ": cannot read: " + (got < 0 ? std::strerror(errno) : "the file ended early"));
        result = coded_reader_feed(coded.get(), block.data(), (uint32_t)got);
        at += (uint64_t)got;
    }
    if (result == CODED_OK)
        result = coded_reader_finish(coded.get());
    ArchiveError error = result == CODED_OK ? tar_reader_finish(reader.get()) : reader->error;
    if (error != ARCHIVE_OK)
        throw ToolError(name + ": " + archive_error_text(*reader, error));
    if (result != CODED_OK)
        throw ToolError(name + ": the bundle's archive: " + coded_result_text(result));
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
    return magic.size() == 4 && sfx_get32(magic.data()) == (uint32_t)BUNDLE_MAGIC;
}

BundleContents verify_bundle(const InputFile &file, const std::string &name, bool quiet) {
    BundleContents contents;
    contents.bundle = open_bundle(file, name);
    const BundleInfo &bundle = contents.bundle;
    contents.header_version = (int)bundle.header.version;
    contents.codec = bundle.header.codec == BUNDLE_CODEC_LZMA ? "lzma" : "payload";
    contents.dictionary = bundle.header.codec == BUNDLE_CODEC_LZMA ? bundle.header.dictionary : 0;
    auto parts = std::make_unique<CommandParts>();
    if (command_split(bundle.command.data(), (uint32_t)bundle.command.size(), parts.get()) != NAME_OK)
        throw ToolError(name + ": the bundle's command names no program: " + bundle.command);
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
    read_bundle_with_progress(file, bundle, sink, name, quiet);
    if (program_place(*parts, count.files) == ProgramPlace::missing)
        throw ToolError(name + ": the command's program '" + std::string(parts->program) +
                        "' is not a file in the bundle");
    return contents;
}
