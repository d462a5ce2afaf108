#include <algorithm>
#include <memory>

#include "archive/archive_text.h"
#include "bundler/bundler.h"

namespace {

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

} // namespace

ProgramPlace check_bundle(const std::string &command, const std::string &title, const std::vector<FolderEntry> &entries) {
    if (command.empty() || command.size() > BUNDLE_COMMAND_MAX || !utf8_valid(command.data(), (uint32_t)command.size()))
        throw BundleError("the command must be 1 to " + std::to_string(BUNDLE_COMMAND_MAX) + " bytes of UTF-8");
    if (title.size() > BUNDLE_TITLE_MAX || !utf8_valid(title.data(), (uint32_t)title.size()))
        throw BundleError("the title must be at most " + std::to_string(BUNDLE_TITLE_MAX) + " bytes of UTF-8");
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
    return check_program(*parts, files, place);
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
    return place;
}
