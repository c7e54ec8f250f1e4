#include "platform/host/profile_engine.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "tests/test_support.h"

namespace {

std::string Read(const std::string& data, const std::string& section, const std::string& key) {
    std::string value;
    return IniRead(data, section, key, &value) ? value : "<absent>";
}

TEST(ProfileEngine, ReadsAsWindowsDoes) {
    const std::string ini =
        "top=before any section\r\n"
        "[ Setup ]\r\n"
        "  Name  =  Vorel 9000  \r\n"
        "Quoted=\"  padded  \"\r\n"
        "Single=' x '\r\n"
        "Half=\"open\r\n"
        "; Comment=no\r\n"
        "NoEquals\r\n"
        "[Broken=1\r\n"
        "Empty=\r\n"
        "name=second\r\n"
        "[setup]\r\n"
        "Later=from the second section\r\n"
        "[\xC9t\xC9]\n"
        "\xC0=lf only";
    EXPECT_EQ(Read(ini, "SETUP", "NAME"), "Vorel 9000");
    EXPECT_EQ(Read(ini, "setup", "quoted"), "  padded  ");
    EXPECT_EQ(Read(ini, "setup", "single"), " x ");
    EXPECT_EQ(Read(ini, "setup", "half"), "\"open");
    EXPECT_EQ(Read(ini, "setup", "[Broken"), "1");  // no "]": a key, not a header
    EXPECT_EQ(Read(ini, "setup", "empty"), "");
    EXPECT_EQ(Read(ini, "\xE9t\xE9", "\xE0"), "lf only");  // Windows-1252 case, no final line end
    for (const char* key : {"Comment", "; Comment", "NoEquals", "Later", "top", "Missing"})
        EXPECT_EQ(Read(ini, "setup", key), "<absent>") << key;
    EXPECT_EQ(Read(ini, "Other", "name"), "<absent>");
    EXPECT_EQ(Read("", "setup", "name"), "<absent>");
}

TEST(ProfileEngine, WriteChangesOnlyItsLine) {
    struct Case {
        const char* before;
        const char* section;
        const char* key;
        const char* after;
    } cases[] = {
        // Replacing keeps the key's spelling and the line's own line end.
        {"[A]\r\nKey = old\r\nOther=1\r\n", "a", "KEY", "[A]\r\nKey=new\r\nOther=1\r\n"},
        {"[A]\r\nk=1\nkey=2\r\n", "A", "key", "[A]\r\nk=1\nkey=new\r\n"},
        {"[A]\r\nkey=1", "A", "key", "[A]\r\nkey=new"},
        // A new key goes after the section's last non-blank line.
        {"[A]\nx=1\n\n[B]\ny=2\n", "A", "key", "[A]\nx=1\nkey=new\n\n[B]\ny=2\n"},
        {"[A]\r\nx=1\r\n; note\r\n\r\n\r\n[B]\r\n", "A", "key", "[A]\r\nx=1\r\n; note\r\nkey=new\r\n\r\n\r\n[B]\r\n"},
        {"[A]\r\n\r\n[B]\r\n", "a", "key", "[A]\r\nkey=new\r\n\r\n[B]\r\n"},
        {"[A]\r\nx=1", "A", "key", "[A]\r\nx=1\r\nkey=new\r\n"},
        {"[BOOT.DESCRIPTION]\r\nkeyboard.typ=Standard\r\n", "boot.description", "display.drv",
         "[BOOT.DESCRIPTION]\r\nkeyboard.typ=Standard\r\ndisplay.drv=new\r\n"},
        // Only the first section of a name is written.
        {"[A]\nx=1\n[a]\nkey=2\n", "A", "key", "[A]\nx=1\nkey=new\n[a]\nkey=2\n"},
        // A new section goes at the end.
        {"[A]\r\nx=1\r\n", "B", "key", "[A]\r\nx=1\r\n[B]\r\nkey=new\r\n"},
        {"[A]\nx=1", "B", "key", "[A]\nx=1\n[B]\nkey=new\n"},
        {"; no line end", "B", "key", "; no line end\r\n[B]\r\nkey=new\r\n"},
        {"", "B", "key", "[B]\r\nkey=new\r\n"},
    };
    for (const Case& c : cases) {
        std::string after = IniEdit(c.before, c.section, c.key, "new");
        EXPECT_EQ(after, c.after) << c.before;
        EXPECT_EQ(Read(after, c.section, c.key), "new") << c.before;
    }
}

TEST(ProfileEngine, ParsesIntegersAsGetPrivateProfileInt) {
    EXPECT_EQ(IniParseInt("42", 7), 42);
    EXPECT_EQ(IniParseInt(" \t-17 apples", 7), -17);
    EXPECT_EQ(IniParseInt("12abc", 7), 12);
    EXPECT_EQ(IniParseInt("abc", 7), 0);
    EXPECT_EQ(IniParseInt("-", 7), 0);
    EXPECT_EQ(IniParseInt("+5", 7), 0);
    EXPECT_EQ(IniParseInt("", 7), 7);
    EXPECT_EQ(IniParseInt("4294967295", 7), -1);
}

TEST(ProfileEngine, WritesWholeFilesAndLeavesNoTemporary) {
    TempDir scratch;
    const std::string& dir = scratch.path();
    std::string path = dir + "/SYSTEM.INI";
    std::string value;
    EXPECT_FALSE(IniReadFile(path, "boot", "shell", &value));
    ASSERT_TRUE(IniWriteFile(path, "boot", "shell", "Explorer.exe"));
    ASSERT_TRUE(IniWriteFile(path, "Boot", "Display.drv", "vorel.drv"));
    chmod(path.c_str(), 0600);
    ASSERT_TRUE(IniWriteFile(path, "boot", "SHELL", "progman.exe"));
    std::string data;
    ASSERT_TRUE(HostReadWholeFile(path, &data, nullptr));
    EXPECT_EQ(data, "[boot]\r\nshell=progman.exe\r\nDisplay.drv=vorel.drv\r\n");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(IniReadFile(path, "BOOT", "display.drv", &value));
    EXPECT_EQ(value, "vorel.drv");
    EXPECT_EQ(ListFiles(scratch.path()), std::vector<std::string>{"SYSTEM.INI"});

    // A path that cannot be read or replaced fails and changes nothing.
    EXPECT_FALSE(IniWriteFile(dir + "/missing/WIN.INI", "a", "b", "c"));
    ASSERT_EQ(mkdir((dir + "/folder.ini").c_str(), 0755), 0);
    EXPECT_FALSE(IniWriteFile(dir + "/folder.ini", "a", "b", "c"));
    EXPECT_FALSE(IniReadFile(dir + "/folder.ini", "a", "b", &value));
    EXPECT_EQ(ListFiles(scratch.path()), std::vector<std::string>{"SYSTEM.INI"});
}

}  // namespace
