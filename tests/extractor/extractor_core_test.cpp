// The extractor's portable core: its switches as the command line gives
// them, and the folder an extraction goes to.
#include <gtest/gtest.h>

#include <string>

#include "extractor/extract_options.h"

namespace {

std::string narrow(const wchar_t *text, size_t length) {
    std::string out;
    for (size_t i = 0; i < length; i++)
        out += (char)text[i];
    return out;
}

std::string narrow(const wchar_t *text) { return narrow(text, std::wcslen(text)); }

// What the switches say, then "|" and the command's arguments; or "bad:" and the switch refused.
std::string parsed(const wchar_t *arguments) {
    SfxSwitches switches;
    wchar_t folder[40];
    if (!sfx_switches_parse(arguments, &switches, folder, sizeof folder / sizeof *folder))
        return "bad: " + narrow(switches.bad, switches.bad_length);
    const char *const overwrite[] = {"", "overwrite=ask ", "overwrite=always ", "overwrite=never "};
    std::string said;
    said += switches.silent ? "silent " : "";
    said += switches.keep ? "keep " : "";
    said += switches.help ? "help " : "";
    said += switches.extract ? "extract" : "";
    said += switches.folder ? narrow(switches.folder).insert(0, 1, '=') : "";
    said += switches.extract ? " " : "";
    return said + overwrite[switches.overwrite] + "| " + narrow(switches.rest);
}

} // namespace

TEST(ExtractorSwitches, OnlyLeadingOnesAreTaken) {
    const struct {
        const wchar_t *arguments;
        const char *want;
    } rows[] = {
        {L"", "| "},
        {L"/S /sfx:silent", "| /S /sfx:silent"},
        {L"/SFX:Silent /S", "silent | /S"},
        {L" /sfx:silent\t/sfx:keep  x y", "silent keep | x y"},
        {L"/sfxkeep /sfx:keep", "| /sfxkeep /sfx:keep"},
        {L"/sfx:extract", "extract | "},
        {L"/sfx:extract=C:\\out /S", "extract=C:\\out | /S"},
        {L"\"/sfx:extract=C:\\My Files\" /S", "extract=C:\\My Files | /S"},
        {L"/sfx:extract=\"C:\\My Files\\\" \"a b\"", "extract=C:\\My Files\\ | \"a b\""},
        {L"/sfx:extract=a /sfx:overwrite=Always /sfx:help b", "help extract=a overwrite=always | b"},
        {L"/sfx:overwrite=ask", "overwrite=ask | "},
        {L"/sfx:overwrite=NEVER", "overwrite=never | "},
        {L"/sfx:silentx /S", "bad: /sfx:silentx"},
        {L"/sfx:keep /sfx:help=1", "bad: /sfx:help=1"},
        {L"/sfx:overwrite=sometimes", "bad: /sfx:overwrite=sometimes"},
        {L"/sfx:overwrite", "bad: /sfx:overwrite"},
        {L"/sfx:extract=\"\"", "bad: /sfx:extract=\"\""},
        {L"/sfx:silent /sfx:silent", "bad: /sfx:silent"},
        {L"/sfx:extract=a /sfx:extract=b", "bad: /sfx:extract=b"},
        {L"/sfx:extract=C:\\a-folder-name-far-too-long-for-its-room", "bad: /sfx:extract=C:\\a-folder-name-far-too-long-for-its-room"},
        {L"/sfx:extract=C:\\folder-that-fits /sfx:keep", "keep extract=C:\\folder-that-fits | "},
    };
    for (const auto &row : rows)
        EXPECT_EQ(parsed(row.arguments), row.want) << narrow(row.arguments);
}

TEST(ExtractorTarget, RelativeToThePackedFileOrBesideIt) {
    const struct {
        const wchar_t *file, *target, *want;
    } rows[] = {
        {L"C:\\Downloads\\Fotos-2026.exe", L"", L"C:\\Downloads\\Fotos-2026"},
        {L"C:\\Downloads\\v1.2\\setup", L"", L"C:\\Downloads\\v1.2\\setup_files"},
        {L"C:\\Downloads\\.exe", L"", L"C:\\Downloads\\.exe_files"},
        {L"C:\\Downloads\\a.exe", L"Fotos\\2026", L"C:\\Downloads\\Fotos\\2026"},
        {L"C:\\Downloads\\a.exe", L"D:\\Fotos", L"D:\\Fotos"},
        {L"C:\\Downloads\\a.exe", L"\\\\server\\share", L"\\\\server\\share"},
        {L"C:\\Downloads\\a.exe", L"/Fotos", L"/Fotos"},
        {L"C:\\Downloads\\a.exe", L"a-folder-name-too-long-for-its-room", L""},
    };
    for (const auto &row : rows) {
        wchar_t out[32];
        uint32_t n = target_path(row.file, row.target, out, 32);
        EXPECT_EQ(narrow(out, n), narrow(row.want)) << narrow(row.target);
    }
}

