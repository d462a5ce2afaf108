// The name rules and the folding collision set, row by row; the CLI table
// runs the same rules through whole archives.
#include <gtest/gtest.h>

#include <string>

#include "archive/bundle_format.h"
#include "archive/entry_name.h"

TEST(EntryName, RulesFromWindowsNaming) {
    const struct {
        std::string name;
        NameProblem problem;
    } rows[] = {
        {"a/b.txt", NAME_OK}, {"com10.txt", NAME_OK}, {"console", NAME_OK}, {"con.d/x", NAME_DEVICE},
        {"sub/NUL", NAME_DEVICE}, {"lpt9.log", NAME_DEVICE}, {"Con .txt", NAME_DEVICE}, {"CONIN$", NAME_DEVICE},
        {"com\xC2\xB9", NAME_DEVICE}, {"com\xC2\xB2.txt", NAME_DEVICE}, {"LPT\xC2\xB3", NAME_DEVICE},
        {"com\xC2\xB0.txt", NAME_OK}, {"..a", NAME_OK}, {"a/./b", NAME_DOT},
        {"a/", NAME_EMPTY}, {"", NAME_EMPTY}, {"a..", NAME_TRAILING}, {"a /b", NAME_TRAILING},
        {"a\x1f", NAME_CHARACTER}, {"what?", NAME_CHARACTER}, {"z:", NAME_DRIVE}, {"C:/x", NAME_DRIVE}, {"a:b", NAME_STREAM}, {"9:x", NAME_STREAM},
        {"\\x", NAME_ABSOLUTE}, {"\xC0\x80", NAME_NOT_UTF8}, {"\xED\xA0\x80", NAME_NOT_UTF8},
        {"\xF4\x90\x80\x80", NAME_NOT_UTF8}, {"\xE2\x82", NAME_NOT_UTF8}, {std::string("a\0b", 3), NAME_NOT_UTF8},
        {"\xE6\x97\xA5\xF0\x9F\x98\x80", NAME_OK}, {std::string(ENTRY_NAME_MAX + 1, 'a'), NAME_TOO_LONG},
    };
    for (const auto &row : rows)
        EXPECT_EQ(entry_name_problem(row.name.data(), (uint32_t)row.name.size()), row.problem) << row.name;
}

TEST(EntryName, NamesThatFoldTogetherClash) {
    auto repeat = [](const std::string &text, int times) {
        std::string all;
        while (times-- > 0)
            all += text;
        return all;
    };
    const struct {
        std::string first, second;
        NameClash clash;
        bool second_is_folder = false;
    } rows[] = {
        {"az", "AZ", CLASH_DUPLICATE},                     // the first and last ASCII letters
        {"`", "@", CLASH_NONE},                            // and the signs beside them
        {"{", "[", CLASH_NONE},
        {"\xC4\x80", "\xC4\x81", CLASH_DUPLICATE},         // Ā ā
        {"\xC4\xB9", "\xC4\xBA", CLASH_DUPLICATE},         // Ĺ ĺ, past the switch to odd capitals
        {"\xC5\xA0", "\xC5\xA1", CLASH_DUPLICATE},         // Š š, and back to even ones from U+014A
        {"\xC5\x89", "\xC5\x8A", CLASH_NONE},              // ŉ Ŋ are no pair
        {"\xC5\xA1", "\xC5\xA2", CLASH_NONE},              // š Ţ
        {"\xC5\x91", "\xC5\x92", CLASH_NONE},              // ő Œ
        {"\xCE\x86", "\xCE\xAC", CLASH_DUPLICATE},         // Ά ά
        {"\xCF\x82", "\xCE\xA3", CLASH_DUPLICATE},         // ς Σ
        {"a\xC9\x90/b", "A\xE2\xB1\xAF/B", CLASH_DUPLICATE}, // ɐ Ɐ: two bytes fold to three
        {repeat("\xC9\x90", 3000), repeat("\xE2\xB1\xAF", 3000), CLASH_DUPLICATE}, // and fill the set's first pool
        {"\xC3\x9F", "SS", CLASH_NONE},                     // ß stays itself
        {"\xEF\xBD\x81", "\xEF\xBC\xA1", CLASH_DUPLICATE}, // full-width a A
        {"\xF0\x90\x90\xA8", "\xF0\x90\x90\x80", CLASH_NONE}, // Deseret, beyond the BMP
        {"\xC5\xB8", "\xC3\xBF", CLASH_DUPLICATE},         // Ÿ ÿ
        {"\xCE\xAB/x", "\xCF\x8B/x", CLASH_DUPLICATE},     // Ϋ ϋ
        {"\xC3\x9E", "\xC3\xBE", CLASH_DUPLICATE},         // Þ þ
        {"\xD0\x81", "\xD1\x91", CLASH_DUPLICATE},         // Ё ё
        {"\xD0\xAF", "\xD1\x8F", CLASH_DUPLICATE},         // Я я
        {"\xC3\x97", "\xC3\xB7", CLASH_NONE},              // × ÷ are no pair
        {"\xC4\xB0", "i", CLASH_NONE},                     // İ stays itself
        {"a/B/c", "A/b", CLASH_NONE, true},                // a folder named after its contents
        {"x", "X/y", CLASH_FILE_PATH},
    };
    for (const auto &row : rows) {
        NameSet set;
        name_set_init(&set);
        EXPECT_EQ(name_set_add(&set, row.first.data(), (uint32_t)row.first.size(), 0), CLASH_NONE);
        EXPECT_EQ(name_set_add(&set, row.second.data(), (uint32_t)row.second.size(), row.second_is_folder), row.clash)
            << row.second;
        name_set_free(&set);
    }
    NameSet many;
    name_set_init(&many);
    for (int i = 0; i < 5000; i++) {
        std::string name = "d";
        name.append(std::to_string(i % 7)).append("/f").append(std::to_string(i));
        ASSERT_EQ(name_set_add(&many, name.data(), (uint32_t)name.size(), 0), CLASH_NONE) << name;
    }
    // Every name is still found after the set has grown.
    for (int i = 0; i < 5000; i++) {
        std::string name = "D";
        name.append(std::to_string(i % 7)).append("/F").append(std::to_string(i));
        ASSERT_EQ(name_set_add(&many, name.data(), (uint32_t)name.size(), 0), CLASH_DUPLICATE) << name;
    }
    name_set_free(&many);
}

TEST(BundleCommand, SplitsProgramFromArguments) {
    const struct {
        std::string command, program, arguments;
        NameProblem problem;
    } rows[] = {
        {"setup.exe /quiet", "setup.exe", "/quiet", NAME_OK},
        {" \t\"my app\\run.exe\"  -x \"a b\"", "my app/run.exe", "-x \"a b\"", NAME_OK},
        {"bin\\tool.exe", "bin/tool.exe", "", NAME_OK},
        {"\"open", "", "", NAME_EMPTY},
        {"  ", "", "", NAME_EMPTY},
        {"..\\up.exe x", "../up.exe", "x", NAME_PARENT},
    };
    for (const auto &row : rows) {
        CommandParts parts;
        EXPECT_EQ(command_split(row.command.data(), (uint32_t)row.command.size(), &parts), row.problem) << row.command;
        if (row.problem == NAME_OK || row.problem == NAME_PARENT) {
            EXPECT_EQ(parts.program, row.program);
            EXPECT_EQ(std::string(parts.arguments, parts.arguments_length), row.arguments);
        }
    }
}
