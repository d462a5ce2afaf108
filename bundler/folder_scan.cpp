#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <string_view>

#include "archive/archive_text.h"
#include "bundler/bundler.h"

namespace fs = std::filesystem;

namespace {

// Whether the '/'-separated parts of a path from 'name' on match the
// pattern's from 'part' on: each a shell pattern for one part, "**" any
// number of parts, none included.
bool parts_match(const std::vector<std::string> &pattern, size_t part, const std::vector<std::string> &name,
                 size_t at) {
    if (part == pattern.size())
        return at == name.size();
    if (pattern[part] == "**") {
        for (size_t skip = at; skip <= name.size(); skip++)
            if (parts_match(pattern, part + 1, name, skip))
                return true;
        return false;
    }
    return at < name.size() && fnmatch(pattern[part].c_str(), name[at].c_str(), 0) == 0 &&
           parts_match(pattern, part + 1, name, at + 1);
}

std::vector<std::string> split_parts(const std::string &path) {
    std::vector<std::string> parts;
    for (size_t start = 0, end;; start = end + 1) {
        end = path.find('/', start);
        parts.push_back(path.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos)
            return parts;
    }
}

// The exclude patterns, each split once: one with a '/' is matched against
// the whole path, one without against each entry's own name.
struct Exclusions {
    std::vector<std::vector<std::string>> patterns;
    std::vector<bool> used;

    explicit Exclusions(const std::vector<std::string> &given) {
        for (std::string pattern : given) {
            while (pattern.size() > 1 && pattern.back() == '/')
                pattern.pop_back();
            if (pattern.starts_with("./"))
                pattern.erase(0, 2);
            patterns.push_back(pattern.find('/') == std::string::npos ? std::vector<std::string>{"**", pattern}
                                                                      : split_parts(pattern));
        }
        used.assign(patterns.size(), false);
    }

    bool excluded(const std::string &name) {
        std::vector<std::string> parts = split_parts(name);
        bool out = false;
        for (size_t i = 0; i < patterns.size(); i++)
            if (parts_match(patterns[i], 0, parts, 0))
                out = used[i] = true;
        return out;
    }
};

// Walks the folder depth first, gathering entries and everything wrong with
// them, so that one run names every bad entry.
struct FolderScan {
    const ScanOptions &options;
    Exclusions exclusions;
    std::string root; // the folder with links resolved, for --follow
    std::vector<FolderEntry> entries;
    std::vector<std::string> problems;
    std::set<std::pair<dev_t, ino_t>> open_folders; // the folders being walked, to catch loops

    void problem(const fs::path &path, const std::string &what) { problems.push_back(path.string() + ": " + what); }
    void unreadable(const fs::path &path, int error) {
        problem(path, "cannot be read (" + std::string(std::strerror(error)) + ")");
    }

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
        if (error) {
            unreadable(shown, error.value());
            return;
        }
        std::sort(names.begin(), names.end());
        for (const std::string &leaf : names) {
            std::string name = prefix.empty() ? leaf : prefix + "/" + leaf;
            if (exclusions.excluded(name))
                continue;
            fs::path path = source / leaf, display = shown / leaf;
            struct stat info;
            if (lstat(path.c_str(), &info) != 0) {
                // A folder that may be listed but not entered: named once, not for each entry.
                if (errno == EACCES)
                    return unreadable(shown, errno);
                unreadable(display, errno);
                continue;
            }
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
                    throw BundleError(display.string() + ": " + std::strerror(errno));
            }
            bool directory = S_ISDIR(info.st_mode);
            if (!directory && !S_ISREG(info.st_mode)) {
                problem(display, "a special file; bundles hold only files and folders");
                continue;
            }
            if (!directory) {
                // Opened and closed at once, so that a file the archive could not
                // read is named now, with the others, not halfway through coding.
                int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
                if (fd < 0)
                    unreadable(display, errno);
                else
                    close(fd);
            }
            if (NameProblem why = entry_name_problem(name.data(), (uint32_t)name.size()); why != NAME_OK)
                problem(display, std::string("Windows cannot take this name: ") + name_problem_text(why));
            int64_t mtime = (int64_t)info.st_mtim.tv_sec;
            if (options.newest && mtime > *options.newest)
                mtime = *options.newest;
            // Modes as a checkout under any umask gives them: only whether the
            // owner may run a file is kept.
            uint32_t mode = directory || (info.st_mode & S_IXUSR) ? 0755 : 0644;
            entries.push_back({path, name, directory, directory ? 0 : (uint64_t)info.st_size, mode, mtime});
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

std::vector<FolderEntry> scan_folder(const fs::path &folder, const ScanOptions &options,
                                     std::vector<std::string> *unmatched) {
    struct stat info;
    if (stat(folder.c_str(), &info) != 0)
        throw BundleError(folder.string() + ": " + std::strerror(errno));
    if (!S_ISDIR(info.st_mode))
        throw BundleError(folder.string() + ": not a folder");
    FolderScan scan{options, Exclusions(options.exclude), "", {}, {}, {}};
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
        throw BundleError(scan.problems.front());
    if (!scan.problems.empty()) {
        std::string message = folder.string() + ": " + std::to_string(scan.problems.size()) +
                              (scan.problems.size() > SCAN_PROBLEMS_SHOWN ? " or more" : "") +
                              " entries cannot go into a bundle: ";
        for (size_t i = 0; i < scan.problems.size() && i < SCAN_PROBLEMS_SHOWN; i++)
            message += (i ? "; " : "") + scan.problems[i];
        throw BundleError(message);
    }
    if (unmatched)
        for (size_t i = 0; i < options.exclude.size(); i++)
            if (!scan.exclusions.used[i])
                unmatched->push_back(options.exclude[i]);
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
        return std::make_tuple(!entry.folder, entry.stored, entry.folder ? "" : extension, name);
    };
    // Each key made once: the names are many and the comparisons more.
    std::vector<std::pair<decltype(key(entries[0])), size_t>> keys;
    keys.reserve(entries.size());
    for (size_t i = 0; i < entries.size(); i++)
        keys.emplace_back(key(entries[i]), i);
    std::sort(keys.begin(), keys.end());
    std::vector<FolderEntry> ordered;
    ordered.reserve(entries.size());
    for (const auto &[_, i] : keys)
        ordered.push_back(std::move(entries[i]));
    entries = std::move(ordered);
}
