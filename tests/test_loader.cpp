// The text rules of setup.dat (the loader, the list-section reader and the
// line splitters) and of profile files, from the table in
// data/text_rules.tsv, which says what each case stands for.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/host/profile_engine.h"
#include "installer/setupinfo/fields.h"
#include "installer/setupinfo/setup_text.h"
#include "tests/test_support.h"

namespace {

using Row = std::vector<std::string>;

// A field of the table with its escapes (\r, \n, \t, \xHH, and \ before any
// other character) replaced by the bytes they stand for.
std::string Unescape(const std::string& text) {
    static const std::map<char, char> kNamed = {{'r', '\r'}, {'n', '\n'}, {'t', '\t'}};
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
        } else if (text[i + 1] == 'x') {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            ++i;
            const auto named = kNamed.find(text[i]);
            out += named != kNamed.end() ? named->second : text[i];
        }
    }
    return out;
}

// The rows of the table whose first field is one of kinds, unescaped.
std::vector<Row> Cases(const std::string& kinds) {
    std::vector<Row> rows;
    for (const std::string& line : SplitLines(ReadFile(VSETUP_SOURCE_DIR "/tests/data/text_rules.tsv"))) {
        if (line.empty() || line[0] == '#') continue;
        Row row(1);
        for (char c : line) {
            if (c == '\t') {
                row.emplace_back();
            } else {
                row.back() += c;
            }
        }
        for (std::string& field : row) field = Unescape(field);
        const bool wanted = (" " + kinds + " ").find(" " + row[0] + " ") != std::string::npos;
        if (row.size() > 1 && wanted) rows.push_back(row);
    }
    EXPECT_FALSE(rows.empty()) << kinds;
    return rows;
}

std::string Loaded(const std::string& file) {
    EXPECT_EQ(1, LoadSetupTextFromMemory(file.data(), file.size()));
    return std::string(g_setupText.bytes, static_cast<size_t>(g_setupText.length));
}

}  // namespace

TEST(SetupText, LoadsAndReadsSectionsAsTheTableSays) {
    for (const Row& c : Cases("load")) EXPECT_EQ(c[2], Loaded(c[1])) << c[1];
    for (const Row& c : Cases("section")) {
        Loaded(c[1]);
        long position = FindSection(g_setupText.bytes, g_setupText.length, c[2].c_str());
        // The section's lines that are not blank, without their line ends,
        // joined by "|".
        std::string lines = position == -1 ? "<missing>|" : "";
        char line[kLineSize];
        while (position != -1) {
            const int read = ReadSectionLine(g_setupText.bytes, line, &position);
            if (read == kLineEnd) break;
            if (read == kLineTooLong) std::strcpy(line, "<too long>");
            if (!IsBlankLine(line)) lines += std::string(line, std::strcspn(line, "\r\n")) + "|";
        }
        if (!lines.empty()) lines.pop_back();
        EXPECT_EQ(c[3], lines) << c[1];
    }
    EXPECT_EQ(-1, FindSection(nullptr, 0, "[A]"));
    ReleaseSetupText();
}

TEST(SetupText, SplitsCopyAndRegistryLinesAsTheTableSays) {
    for (const Row& c : Cases("copy")) {
        CopyEntry entry;
        SplitCopyLine(c[1].c_str(), &entry);
        EXPECT_EQ(c[2], std::string(entry.diskId) + "|" + entry.fileName) << c[1];
    }
    for (const Row& c : Cases("reg")) {
        RegEntry entry;
        std::memset(&entry, 0, sizeof entry);
        const char* overlong = nullptr;
        EXPECT_EQ(std::stoi(c[2]), SplitRegLine(c[1].c_str(), &entry, &overlong)) << c[1];
        EXPECT_EQ(c[3], overlong ? overlong : "-") << c[1];
        EXPECT_EQ(c[4], std::string(entry.root) + "|" + entry.subkey + "|" + entry.valueName + "|" + entry.flags + "|" +
                            entry.value)
            << c[1];
    }
}

TEST(ProfileEngine, ReadsEditsAndParsesAsTheTableSays) {
    std::string ini, value;
    for (const Row& c : Cases("ini read")) {
        if (c[0] == "ini")
            ini = c[1];
        else
            EXPECT_EQ(c[3], IniRead(ini, c[1], c[2], &value) ? value : "<absent>") << c[1] << "/" << c[2];
    }
    for (const Row& c : Cases("edit")) {
        const std::string after = IniEdit(c[1], c[2], c[3], "new");
        EXPECT_EQ(c[4], after) << c[1];
        EXPECT_TRUE(IniRead(after, c[2], c[3], &value) && value == "new") << c[1];
    }
    for (const Row& c : Cases("int")) EXPECT_EQ(std::stoi(c[2]), IniParseInt(c[1], 7)) << c[1];
}
