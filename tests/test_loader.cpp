// The list-section reader: how "setup.dat" reads once comments, line ends and
// section headers have had their say.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "setupinfo/setup_text.h"

namespace {

std::string Loaded(const std::string& file) {
    EXPECT_EQ(1, LoadSetupTextFromMemory(file.data(), file.size()));
    return std::string(g_setupText.bytes, static_cast<size_t>(g_setupText.length));
}

// The non-blank lines of a section, line ends cut off.
std::vector<std::string> SectionLines(const std::string& file, const char* header) {
    Loaded(file);
    std::vector<std::string> lines;
    long position = FindSection(g_setupText.bytes, g_setupText.length, header);
    if (position == -1) return {"<missing>"};
    char line[kLineSize];
    int read;
    while ((read = ReadSectionLine(g_setupText.bytes, line, &position)) != kLineEnd) {
        if (read == kLineTooLong) {
            lines.push_back("<too long>");
            continue;
        }
        if (IsBlankLine(line)) continue;
        std::string text = line;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        lines.push_back(text);
    }
    return lines;
}

using Lines = std::vector<std::string>;

}  // namespace

TEST(SetupText, KeepsBytesUpToTheEndMarkerAndAddsOne) {
    EXPECT_EQ(std::string("\x1A", 1), Loaded(""));
    EXPECT_EQ(1, g_setupText.length);
    EXPECT_EQ("[A]\r\nx=1\x1A", Loaded("[A]\r\nx=1"));
    EXPECT_EQ("ab\x1A", Loaded("ab\x1A"
                               "cd;\r\n"));
    ReleaseSetupText();
    EXPECT_EQ(nullptr, g_setupText.bytes);
    ReleaseSetupText();  // releasing an empty text does nothing
}

TEST(SetupText, CommentsEndAtTheLineEndAndNeverJoinLines) {
    EXPECT_EQ("a\r\n\r\nb\n\x1A", Loaded("a\r\n; only a comment\r\nb; note\n"));
    // A comment after a copy line keeps the next line apart.
    EXPECT_EQ((Lines{"1,a.dr_ ", "1,b.dr_"}),
              SectionLines("[WindowsDir]\r\n1,a.dr_ ; first\r\n1,b.dr_\r\n", "[WindowsDir]"));
    EXPECT_EQ((Lines{"1,a.dr_", "1,b.dr_"}),
              SectionLines("[WindowsDir]\r\n1,a.dr_;first\r\n1,b.dr_\r\n", "[WindowsDir]"));
    // ... and after a header it keeps the first line of the section.
    EXPECT_EQ((Lines{"1,a.dr_", "1,b.dr_"}),
              SectionLines("[WindowsDir] ; files\r\n1,a.dr_\r\n1,b.dr_\r\n", "[WindowsDir]"));
    // A semicolon in quotes starts a comment all the same.
    EXPECT_EQ((Lines{"HKR,,A,,\"x"}), SectionLines("[S]\r\nHKR,,A,,\"x;y\"\r\n", "[S]"));
}

TEST(SetupText, LineEnds) {
    // Unix line ends read like CR LF; a line of a bare LF is blank.
    EXPECT_EQ((Lines{"1,a.dr_", "1,b.dr_"}), SectionLines("[L]\n1,a.dr_\n\n1,b.dr_\n", "[L]"));
    // The last line counts without a line end.
    EXPECT_EQ((Lines{"1,a.dr_", "1,b.dr_"}), SectionLines("[L]\r\n1,a.dr_\r\n1,b.dr_", "[L]"));
    // A header on the very last line gives an empty section.
    EXPECT_EQ(Lines{}, SectionLines("x=1\r\n[L]", "[L]"));
    // A lone CR ends no line: such a file has no list lines at all.
    EXPECT_EQ(Lines{}, SectionLines("[L]\r1,a.dr_\r1,b.dr_\r", "[L]"));
}

TEST(SetupText, SectionsAreFoundOnlyAsHeadersAndWithTheirCase) {
    const std::string file =
        "[Product]\r\nName=see [WindowsDir] below\r\n"
        "[windowsdir]\r\n1,lower.dr_\r\n"
        "  [WindowsDir]\r\n1,a.dr_\r\nHKR,,V,,[x]\r\n1,b.dr_\r\n"
        "[SystemDir]\r\n1,c.dr_\r\n";
    EXPECT_EQ((Lines{"1,a.dr_", "HKR,,V,,[x]", "1,b.dr_"}), SectionLines(file, "[WindowsDir]"));
    EXPECT_EQ((Lines{"1,c.dr_"}), SectionLines(file, "[SystemDir]"));
    EXPECT_EQ(Lines{"<missing>"}, SectionLines(file, "[Driver.AddReg]"));
    EXPECT_EQ(-1, FindSection(nullptr, 0, "[A]"));
}

TEST(SetupText, OverlongLinesAreRefusedWithoutLosingTheNext) {
    std::string longLine = "1," + std::string(300, 'x') + ".dr_";
    EXPECT_EQ((Lines{"1,a.dr_", "<too long>", "1,b.dr_"}),
              SectionLines("[L]\r\n1,a.dr_\r\n" + longLine + "\r\n1,b.dr_\r\n", "[L]"));
    // 253 characters, CR and LF fill the 256-byte buffer exactly.
    std::string fits(253, 'y');
    EXPECT_EQ(Lines{fits}, SectionLines("[L]\r\n" + fits + "\r\n", "[L]"));
    EXPECT_EQ(Lines{"<too long>"}, SectionLines("[L]\r\n" + fits + "y\r\n", "[L]"));
}

TEST(SetupText, BlankLines) {
    EXPECT_TRUE(IsBlankLine(" \t\r\n"));
    EXPECT_TRUE(IsBlankLine("\n"));
    EXPECT_TRUE(IsBlankLine(""));
    EXPECT_FALSE(IsBlankLine("  x\r\n"));
}
