// SYSTEM.DAT: hives made by tools/creg-gen.py (written from the format's
// public description, sharing no code with ours) are read, edited and written
// back, and every file written is read by libcreg's cregexport and by
// Parse::Win32Registry through tools/creg-oracle.py, which must both show the
// tree the store holds; the oracle also holds every header and data block to
// the rules the readers leave unchecked (record numbers, checksums). (The
// backup and the journal a whole installation leaves, or does not, are shown
// by the golden scenario creg-install.)
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "platform/host/creg_file.h"
#include "platform/host/creg_store.h"
#include "tests/creg_support.h"
#include "tests/test_support.h"

namespace {

std::string Generated(const TempDir& dir) {
    EXPECT_TRUE(GenerateHive(dir / "SYSTEM.DAT"));
    return dir / "SYSTEM.DAT";
}

const char kInstance[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Display\\0002";

TEST(CregFile, ReadsAndRewritesAForeignHiveWhole) {
    TempDir dir;
    const std::string original = Generated(dir);
    const std::string seen = Oracle(original);
    CregHive hive, again;
    std::string error;
    ASSERT_TRUE(hive.Load(ReadFile(original), &error)) << error;
    EXPECT_EQ(seen, Dump(hive));
    const std::string rewritten = hive.Serialize();
    WriteFile(dir / "NEW.DAT", rewritten);
    EXPECT_EQ(seen, Oracle(dir / "NEW.DAT"));
    ASSERT_TRUE(again.Load(rewritten, &error)) << error;
    EXPECT_EQ(rewritten, again.Serialize());  // untouched, it comes back byte for byte
    // Cut short anywhere, it is refused (the golden scenarios creg-* hold the
    // other damage, with the messages).
    for (size_t size = 0; size < rewritten.size(); size += 61)
        EXPECT_FALSE(again.Load(rewritten.substr(0, size), &error)) << size;
}

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

TEST(CregStore, FlushesOutliveAKillAndStaleJournalsAreDropped) {
    TempDir dir;
    const std::string file = Generated(dir);
    const std::string before = ReadFile(file);
    std::string error, journal, data;
    uint32_t type = 0;
    {
        CregStore killed;  // never committed, as when the run is killed
        ASSERT_TRUE(killed.Open(file, &error));
        ASSERT_TRUE(killed.SetValue(kInstance, "Flushed", 1, "yes"));
        ASSERT_TRUE(killed.Flush());
        ASSERT_TRUE(killed.SetValue(kInstance, "Pending", 1, "no"));
        journal = ReadFile(dir / "SYSTEM.VSJ");
    }
    EXPECT_EQ(before, ReadFile(file));
    {
        CregStore next;
        ASSERT_TRUE(next.Open(file, &error));
        EXPECT_TRUE(next.GetValue(kInstance, "flushed", &type, &data) && data == "yes");
        EXPECT_FALSE(next.GetValue(kInstance, "Pending", &type, &data));
        ASSERT_TRUE(next.SetValue(kInstance, "Flushed", 1, "changed"));
        ASSERT_TRUE(next.Commit());
    }
    WriteFile(dir / "SYSTEM.VSJ", journal);  // belongs to the file before the commit
    CregStore last;
    ASSERT_TRUE(last.Open(file, &error));
    EXPECT_TRUE(last.GetValue(kInstance, "Flushed", &type, &data) && data == "changed");
    EXPECT_FALSE(FileExists(dir / "SYSTEM.VSJ"));
    Oracle(file);
}

}  // namespace
