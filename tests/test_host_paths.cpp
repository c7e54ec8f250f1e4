// The host backend as the installer sees it: the prefix, its drives, names
// without regard to case, and keys opened along a path.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "registry/reg_install.h"
#include "tests/test_support.h"

namespace {

class HostBackend : public ::testing::Test {
protected:
    void SetUp() override {
        prefix_ = root_ / "prefix";
        setenv("VSETUP_PREFIX", prefix_.c_str(), 1);
        ASSERT_TRUE(getcwd(saved_, sizeof saved_));
    }
    void TearDown() override { ASSERT_EQ(0, chdir(saved_)); }

    std::string CurrentDirectory() {
        char buffer[256];
        return PlatGetCurrentDirectory(buffer, sizeof buffer) ? buffer : "<none>";
    }

    TempDir root_;
    std::string prefix_;
    char saved_[4096];
};

}  // namespace

TEST_F(HostBackend, PrefixSkeletonAndDrives) {
    // A tree copied from a FAT disk: upper-case names that must be reused.
    WriteFile(prefix_ + "/drive_c/windows/SYSTEM.INI", "[boot]\r\nshell=Explorer.exe\r\n");
    WriteFile(root_ / "floppy/setup.dat", "");
    ASSERT_EQ(0, mkdir((prefix_ + "/dosdevices").c_str(), 0755));
    ASSERT_EQ(0, symlink((root_ / "floppy").c_str(), (prefix_ + "/dosdevices/a:").c_str()));
    ASSERT_TRUE(PlatStartup()) << PlatStartupError();
    EXPECT_TRUE(FileExists(prefix_ + "/drive_c/windows/SYSTEM"));
    EXPECT_TRUE(FileExists(prefix_ + "/drive_c/windows/INF"));
    EXPECT_FALSE(FileExists(prefix_ + "/drive_c/WINDOWS"));

    ASSERT_TRUE(PlatWriteProfileString("boot.description", "display.drv", "Vorel", "system.ini"));
    EXPECT_EQ("[boot]\r\nshell=Explorer.exe\r\n[boot.description]\r\ndisplay.drv=Vorel\r\n",
              ReadFile(prefix_ + "/drive_c/windows/SYSTEM.INI"));
    EXPECT_FALSE(FileExists(prefix_ + "/drive_c/windows/system.ini"));

    // The current directory shows in the form of the drive that holds it,
    // the longest mapping first.
    ASSERT_EQ(0, chdir((root_ / "floppy").c_str()));
    EXPECT_EQ("A:\\", CurrentDirectory());
    ASSERT_EQ(0, chdir((prefix_ + "/drive_c/windows").c_str()));
    EXPECT_EQ("C:\\windows", CurrentDirectory());
    ASSERT_EQ(0, chdir(root_.path().c_str()));
    std::string expected = "Z:" + root_.path();
    for (char& c : expected)
        if (c == '/') c = '\\';
    EXPECT_EQ(expected, CurrentDirectory());
    char small[8];
    EXPECT_EQ(0, PlatGetCurrentDirectory(small, sizeof small));
    EXPECT_STREQ("", small);
}

TEST_F(HostBackend, DotDotNeverLeavesTheDrive) {
    ASSERT_TRUE(PlatStartup()) << PlatStartupError();
    WriteFile(root_ / "outside.txt", "secret");
    WriteFile(prefix_ + "/drive_c/inside.txt", "inside");
    // Climbing above C:\ stays at C:\, for reading and for writing.
    PlatFile file = PlatFileOpenRead("C:\\WINDOWS\\..\\..\\..\\inside.txt");
    ASSERT_NE(PLAT_NO_FILE, file);
    char buffer[16] = {};
    EXPECT_EQ(6, PlatFileRead(file, buffer, sizeof buffer));
    PlatFileClose(file);
    EXPECT_EQ(PLAT_NO_FILE, PlatFileOpenRead("C:\\..\\..\\outside.txt"));
    ASSERT_TRUE(PlatWriteProfileString("s", "k", "v", "C:\\..\\..\\..\\x.ini"));
    EXPECT_TRUE(FileExists(prefix_ + "/drive_c/x.ini"));
    // A directory does not open as a file.
    EXPECT_EQ(PLAT_LZ_NOT_FOUND, PlatLzOpenRead("C:\\WINDOWS"));
}

TEST_F(HostBackend, NothingIsWrittenThroughALinkOutOfTheDrive) {
    ASSERT_TRUE(PlatStartup()) << PlatStartupError();
    TempDir elsewhere;
    ASSERT_EQ(0, symlink(elsewhere.path().c_str(), (prefix_ + "/drive_c/WINDOWS/link").c_str()));
    char temporary[256];
    EXPECT_EQ(0, PlatCreateTempFile("C:\\WINDOWS\\LINK", temporary, sizeof temporary));
    EXPECT_EQ(0, PlatWriteProfileString("s", "k", "v", "C:\\WINDOWS\\link\\a.ini"));
    EXPECT_EQ(0, PlatCreateDirectory("C:\\WINDOWS\\link\\inf"));
    EXPECT_TRUE(ListFiles(elsewhere.path()).empty());
}

TEST_F(HostBackend, KeysAlongAPath) {
    ASSERT_TRUE(PlatStartup()) << PlatStartupError();
    PlatKey root = nullptr;
    ASSERT_EQ(0, PlatRegCreateKey(PLAT_HKEY_LOCAL_MACHINE, "Software\\Vorel", &root));
    // A run of backslashes is one separator and no byte of a name is lost.
    for (const char* path : {"MODES\\8\\640", "MODES\\\\16\\\\800", "\\A\\B\\"}) {
        PlatKey key = OpenKeyPath(root, path, PLAT_KEY_ALL_ACCESS);
        ASSERT_NE(nullptr, key) << path;
        PlatRegCloseKey(key);
    }
    EXPECT_EQ(root, OpenKeyPath(root, "", PLAT_KEY_ALL_ACCESS));
    for (const char* path : {"Software\\Vorel\\MODES\\8\\640", "SOFTWARE\\vorel\\modes\\16\\800", "Software\\Vorel\\A\\B"}) {
        PlatKey key = nullptr;
        EXPECT_EQ(0, PlatRegOpenKey(PLAT_HKEY_LOCAL_MACHINE, path, PLAT_KEY_READ, &key)) << path;
        if (key) PlatRegCloseKey(key);
    }
    PlatKey missing = nullptr;
    EXPECT_NE(0, PlatRegOpenKey(PLAT_HKEY_LOCAL_MACHINE, "Software\\Vorel\\MODES\\40", PLAT_KEY_READ, &missing));
    PlatRegCloseKey(root);
}
