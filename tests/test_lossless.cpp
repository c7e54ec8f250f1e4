// The null arguments of WritePrivateProfileString on the host. (Profile files
// with lone CRs, an end-of-file byte or in UTF-16, and what a seeded
// registry.reg keeps, are shown by the golden scenarios in tests/golden.)
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "tests/test_support.h"

namespace {

TEST(Lossless, NullProfileArgumentsHaveTheirWin32Meaning) {
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
