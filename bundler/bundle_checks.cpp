#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>

#include "archive/archive_text.h"
#include "bundler/bundler.h"

namespace {

// A name as Windows compares it (the archive's own fold): two names are one
// when their folds are equal.
std::string folded(const std::string &name) {
    std::string out(name.size() + name.size() / 2, '\0');
    out.resize(name_fold(name.data(), (uint32_t)name.size(), (uint8_t *)out.data()));
    return out;
}

const std::string *find_file(const std::vector<std::string> &files, const std::string &name) {
    std::string key = folded(name);
    auto found = std::find_if(files.begin(), files.end(), [&](const std::string &file) { return folded(file) == key; });
    return found == files.end() ? nullptr : &*found;
}

std::string lower(std::string text) {
    for (char &c : text)
        c = c >= 'A' && c <= 'Z' ? (char)(c + 32) : c;
    return text;
}

// Edits (insertions, deletions, changes, swaps of neighbours) between two
// names, ASCII case aside.
size_t edits(const std::string &a, const std::string &b) {
    std::string x = lower(a), y = lower(b);
    std::vector<std::vector<size_t>> d(x.size() + 1, std::vector<size_t>(y.size() + 1));
    for (size_t i = 0; i <= x.size(); i++)
        for (size_t j = 0; j <= y.size(); j++) {
            if (!i || !j) {
                d[i][j] = i + j;
                continue;
            }
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (x[i - 1] != y[j - 1])});
            if (i > 1 && j > 1 && x[i - 1] == y[j - 2] && x[i - 2] == y[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[x.size()][y.size()];
}

// The folder's program nearest a name that is none of its files: within two
// edits, or empty.
std::string nearest_program(const std::vector<std::string> &files, const std::string &name) {
    std::string best;
    size_t best_edits = 3;
    for (const std::string &file : files) {
        if (!name_has_extension(file.data(), (uint32_t)file.size(), ".exe") &&
            !name_has_extension(file.data(), (uint32_t)file.size(), ".com"))
            continue;
        size_t n = std::min(edits(file, name), edits(file, name + ".exe"));
        if (n < best_edits)
            best = file, best_edits = n;
    }
    return best;
}

const char *const KNOWN_SYSTEM_PROGRAMS[] = {"cmd", "msiexec", "rundll32", "regsvr32", "wscript", "cscript", "reg"};

} // namespace

std::string known_system_programs_text() {
    std::string text;
    for (const char *name : KNOWN_SYSTEM_PROGRAMS)
        text += (text.empty() ? "" : ", ") + std::string(name);
    return text;
}

bool known_system_program(const CommandParts &parts) {
    std::string name = lower(parts.program);
    if (name.ends_with(".exe"))
        name.resize(name.size() - 4);
    return std::find(std::begin(KNOWN_SYSTEM_PROGRAMS), std::end(KNOWN_SYSTEM_PROGRAMS), name) !=
           std::end(KNOWN_SYSTEM_PROGRAMS);
}

ProgramPlace check_bundle(const std::string &command, const std::string &title, const std::vector<FolderEntry> &entries,
                          bool any_system_program, const std::string &target) {
    if (command.size() > BUNDLE_COMMAND_MAX || !utf8_valid(command.data(), (uint32_t)command.size()))
        throw BundleError("the command must be 1 to " + std::to_string(BUNDLE_COMMAND_MAX) + " bytes of UTF-8");
    if (title.size() > BUNDLE_TITLE_MAX || !utf8_valid(title.data(), (uint32_t)title.size()))
        throw BundleError("the title must be at most " + std::to_string(BUNDLE_TITLE_MAX) + " bytes of UTF-8");
    // A folder's path on Windows, perhaps with %VARIABLES%: no character a
    // path cannot hold there.
    if (target.size() > BUNDLE_TARGET_MAX || !utf8_valid(target.data(), (uint32_t)target.size()) ||
        std::any_of(target.begin(), target.end(),
                    [](char c) { return (unsigned char)c < 32 || std::strchr("<>\"|?*", c); }))
        throw BundleError("the target must be a Windows folder's path of at most " + std::to_string(BUNDLE_TARGET_MAX) +
                          " bytes of UTF-8, without control characters or any of < > \" | ? *: " + target);
    if (command.empty())
        return ProgramPlace::none;
    auto parts = std::make_unique<CommandParts>();
    if (NameProblem problem = command_split(command.data(), (uint32_t)command.size(), parts.get()); problem != NAME_OK) {
        size_t start = command.find_first_not_of(' ');
        if (start != std::string::npos && command[start] == '"' && command.find('"', start + 1) == std::string::npos)
            throw BundleError("the command's opening quote is never closed: " + command);
        throw BundleError("the command's program '" + std::string(parts->program) +
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
            throw BundleError("the command's program '" + std::string(parts->program) +
                            "' is not a file in the folder; quote a name with spaces: \"" + spaced + "\"" +
                            command.substr(command.size() - unquoted.size() + spaced.size()));
    }
    return check_program(*parts, files, place, any_system_program);
}

const FolderEntry *command_program(const std::string &command, const std::vector<FolderEntry> &entries) {
    auto parts = std::make_unique<CommandParts>();
    if (command_split(command.data(), (uint32_t)command.size(), parts.get()) != NAME_OK)
        return nullptr;
    std::string key = folded(parts->program);
    for (const FolderEntry &entry : entries)
        if (!entry.folder && folded(entry.name) == key)
            return &entry;
    return nullptr;
}

ProgramPlace program_place(const CommandParts &parts, const std::vector<std::string> &files) {
    if (find_file(files, parts.program))
        return ProgramPlace::folder;
    return command_system_program(&parts) ? ProgramPlace::system : ProgramPlace::missing;
}

ProgramPlace check_program(const CommandParts &parts, const std::vector<std::string> &files, ProgramPlace place,
                           bool any_system_program) {
    std::string program = parts.program;
    if (place == ProgramPlace::folder) {
        for (const char *extension : {".exe", ".com"})
            if (name_has_extension(program.data(), (uint32_t)program.size(), extension))
                return place;
        throw BundleError("the command's program '" + program +
                        "' is not a Windows program (.exe or .com); run a script through the system's own, "
                        "as in --run \"cmd /c setup.bat\" or --run \"msiexec /i setup.msi\"");
    }
    if (const std::string *file = find_file(files, program + ".exe"))
        throw BundleError("the command's program '" + program + "' is not a file in the folder; did you mean '" + *file +
                        "'?");
    if (place == ProgramPlace::missing)
        throw BundleError("the command's program '" + program +
                        "' is not a file in the folder, nor a bare name (no extension or .exe) for a program in "
                        "the Windows system folder");
    if (!any_system_program && !known_system_program(parts)) {
        std::string near = nearest_program(files, program);
        throw BundleError("the command's program '" + program + "' is not a file in the folder" +
                          (near.empty() ? "" : " (did you mean '" + near + "'?)") +
                          ", nor a known program of the Windows system folder (" + known_system_programs_text() +
                          "); --system-program runs it from there anyway");
    }
    return place;
}
