// SYSTEM.DAT: a hive made by tools/creg-gen.py (written from the format's
// public description, sharing no code with ours) is edited and written back,
// and the file written is read by libcreg's cregexport and by
// Parse::Win32Registry through tools/creg-oracle.py, which must both show the
// tree the store holds; the oracle also holds every header and data block to
// the rules the readers leave unchecked (record numbers, checksums). (A whole
// installation into such a hive, and every damage the reader refuses, are
// shown by the golden scenarios creg-*; what a kill at any point leaves, and
// the journal the next start replays or drops, by CregKillPoints in
// tests/robust; a hive read and written back whole by the fuzz replays of
// fuzz_creg.)
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "platform/host/creg_store.h"
#include "tests/creg_support.h"
#include "tests/test_support.h"

namespace {

std::string Generated(const TempDir& dir) {
    EXPECT_TRUE(GenerateHive(dir / "SYSTEM.DAT"));
    return dir / "SYSTEM.DAT";
}

const char kInstance[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Display\\0002";

TEST(CregStore, EditsWithoutRegardToCaseAndKeepsEverythingElse) {
    TempDir dir;
    const std::string file = Generated(dir);
    chmod(file.c_str(), 0444);
    CregStore store;
    std::string error;
    ASSERT_TRUE(store.Open(file, &error)) << error;
    EXPECT_FALSE(store.CreateKey("HKEY_CURRENT_USER\\Software"));
    ASSERT_TRUE(store.SetValue(kInstance, "Ver", 1, std::string("4.0\0", 4)));
    ASSERT_TRUE(store.SetValue(std::string(kInstance) + "\\DEFAULT", "CHIPID", 3, "\x03\x12"));
    ASSERT_TRUE(store.SetValue("HKEY_CLASSES_ROOT\\.vor", "", 1, "Vorel.Other"));
    ASSERT_TRUE(store.SetValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\CAF\xc9", "\xc4", 0x80000001u, ""));
    EXPECT_FALSE(store.SetValue(kInstance, "Big", 3, std::string(70000, 'x')));
    ASSERT_TRUE(store.Flush());
    ASSERT_TRUE(store.Commit());

    // The generated tree with the new instance, its values and the edited
    // .vor class (named here in lower case), and nothing else changed.
    EXPECT_EQ(ReadFile(VSETUP_SOURCE_DIR "/tests/data/creg/edited.txt"), Oracle(file));
    struct stat st;
    ASSERT_EQ(0, stat(file.c_str(), &st));
    EXPECT_EQ(0444u, st.st_mode & 07777);
}

}  // namespace
