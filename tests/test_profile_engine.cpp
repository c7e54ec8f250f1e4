// Profile files written on the host, and the null arguments of
// WritePrivateProfileString. (How their text reads and changes is in
// test_loader.cpp; profile files with lone CRs, an end-of-file byte or in
// UTF-16, and the owner and mode they keep, are shown by the golden
// scenarios.)
#include "platform/host/profile_engine.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "platform/platform.h"
#include "tests/test_support.h"

namespace {

TEST(ProfileEngine, WritesNewFilesAndFailsWithoutLeavingATemporary) {
    TempDir dir;
    std::string value;
    ASSERT_TRUE(IniWriteFile(dir / "SYSTEM.INI", "boot", "shell", "Explorer.exe"));
    EXPECT_EQ("[boot]\r\nshell=Explorer.exe\r\n", ReadFile(dir / "SYSTEM.INI"));
    // A path that cannot be read or replaced fails and changes nothing.
    EXPECT_FALSE(IniWriteFile(dir / "missing/WIN.INI", "a", "b", "c"));
    ASSERT_EQ(mkdir((dir / "folder.ini").c_str(), 0755), 0);
    EXPECT_FALSE(IniWriteFile(dir / "folder.ini", "a", "b", "c"));
    EXPECT_FALSE(IniReadFile(dir / "folder.ini", "a", "b", &value));
    EXPECT_EQ(ListFiles(dir.Path()), std::vector<std::string>{"SYSTEM.INI"});
}

TEST(ProfileEngine, NullProfileArgumentsHaveTheirWin32Meaning) {
    TempDir dir;
    setenv("VSETUP_PREFIX", (dir / "prefix").c_str(), 1);
    ASSERT_TRUE(PlatStartup()) << PlatStartupError();
    const char* file = "C:\\WINDOWS\\test.ini";
    const std::string host = dir / "prefix/drive_c/WINDOWS/test.ini";
    EXPECT_TRUE(PlatWriteProfileString(nullptr, nullptr, nullptr, file));
    EXPECT_FALSE(FileExists(host));
    ASSERT_TRUE(PlatWriteProfileString("a", "k", "v", file));
    ASSERT_TRUE(PlatWriteProfileString("b", "k", "v", file));
    ASSERT_TRUE(PlatWriteProfileString("a", "k", nullptr, file));
    EXPECT_EQ("[a]\r\n[b]\r\nk=v\r\n", ReadFile(host));
    ASSERT_TRUE(PlatWriteProfileString("b", nullptr, nullptr, file));
    EXPECT_EQ("[a]\r\n", ReadFile(host));
    EXPECT_FALSE(PlatWriteProfileString(nullptr, "k", "v", file));
    PlatShutdown();
    unsetenv("VSETUP_PREFIX");
}

}  // namespace
