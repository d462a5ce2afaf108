// The extractor's portable core: its switches as the command line gives
// them, the folder an extraction goes to, and its texts in every language.
#include <gtest/gtest.h>

#include <string>

#include "extractor/dialog_layout.h"
#include "extractor/extract_options.h"
#include "extractor/texts.h"

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
    said += switches.nowait ? "nowait " : "";
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
        {L"/sfx:NoWait /sfx:keep /nowait", "keep nowait | /nowait"},
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

namespace {

// A UTF-8 text's width in average characters: 2 for the wide letters of
// East Asian scripts, 1 for any other; -1 when it is not UTF-8.
int width(const char *text) {
    int total = 0;
    for (const unsigned char *p = (const unsigned char *)text; *p;) {
        int extra = *p >= 0xF0 ? 3 : *p >= 0xE0 ? 2 : *p >= 0xC0 ? 1 : 0;
        if (*p >= 0x80 && *p < 0xC0)
            return -1;
        uint32_t code = extra ? *p & (0x3F >> extra) : *p;
        for (p++; extra > 0; extra--, p++) {
            if ((*p & 0xC0) != 0x80)
                return -1;
            code = code << 6 | (*p & 0x3F);
        }
        bool wide = (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0xA4CF) ||
                    (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
                    (code >= 0xFF00 && code <= 0xFF60);
        total += wide ? 2 : 1;
    }
    return total;
}

} // namespace

// Every language has every text, as UTF-8; a text a name follows ends so
// that the name stands apart; the dialog's texts fit their controls (a
// dialog unit across is a quarter of an average character; a button keeps
// 4 units free on each side).
TEST(ExtractorTexts, EveryLanguageHasEveryTextAndItFits) {
    const TextId named[] = {TEXT_ERROR,   TEXT_CREATE, TEXT_WRITE,       TEXT_START, TEXT_DISK_SPACE,
                            TEXT_REPARSE, TEXT_TARGET, TEXT_SWITCH,      TEXT_LINK,  TEXT_UNSUPPORTED,
                            TEXT_BAD_NAME, TEXT_DUPLICATE};
    const struct {
        TextId id;
        int units; // across the control
    } boxes[] = {{TEXT_PROMPT, DIALOG_LINE_WIDTH},
                 {TEXT_BROWSE, DIALOG_BUTTON_WIDTH - 8},
                 {TEXT_EXTRACT, DIALOG_BUTTON_WIDTH - 8},
                 {TEXT_CANCEL, DIALOG_BUTTON_WIDTH - 8}};
    for (int language = 0; language < LANGUAGE_COUNT; language++) {
        for (int id = 0; id < TEXT_COUNT; id++) {
            const char *text = text_utf8((Language)language, (TextId)id);
            ASSERT_NE(text, nullptr) << language << " " << id;
            EXPECT_GT(width(text), 0) << language << " " << id;
        }
        for (TextId id : named) {
            std::string text = text_utf8((Language)language, id);
            EXPECT_TRUE(text.ends_with(": ") || text.ends_with("：")) << language << " " << text;
        }
        for (const auto &box : boxes)
            EXPECT_LE(width(text_utf8((Language)language, box.id)) * 4, box.units)
                << language << " " << text_utf8((Language)language, box.id);
    }
}

TEST(ExtractorTexts, LanguageFromTheSystemsIdentifier) {
    const struct {
        uint16_t id;
        Language language;
    } rows[] = {
        {0x0409, LANGUAGE_ENGLISH}, {0x0407, LANGUAGE_GERMAN},    {0x0C07, LANGUAGE_GERMAN},
        {0x040C, LANGUAGE_FRENCH},  {0x0C0A, LANGUAGE_SPANISH},   {0x0410, LANGUAGE_ITALIAN},
        {0x0416, LANGUAGE_PORTUGUESE}, {0x0816, LANGUAGE_PORTUGUESE}, {0x0413, LANGUAGE_DUTCH},
        {0x0415, LANGUAGE_POLISH},  {0x0419, LANGUAGE_RUSSIAN},   {0x0411, LANGUAGE_JAPANESE},
        {0x0804, LANGUAGE_CHINESE}, {0x1004, LANGUAGE_CHINESE},   {0x0404, LANGUAGE_ENGLISH},
        {0x0C04, LANGUAGE_ENGLISH}, {0x0412, LANGUAGE_KOREAN},    {0x041F, LANGUAGE_TURKISH},
        {0x0405, LANGUAGE_ENGLISH}, {0x0000, LANGUAGE_ENGLISH},
    };
    for (const auto &row : rows)
        EXPECT_EQ(text_language(row.id), row.language) << std::hex << row.id;
}
