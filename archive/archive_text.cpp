#include "archive/archive_text.h"

const char *clash_text(NameClash clash) {
    return clash == CLASH_DUPLICATE   ? "two entries with this name, regardless of case"
           : clash == CLASH_FILE_PATH ? "a file and a folder with this name, regardless of case"
                                      : "out of memory";
}

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
