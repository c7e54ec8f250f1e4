// The registry store: regedit exports read as import reads them, the store
// written back sorted as regedit writes it (data/registry/), and registry.reg
// as a file that flushes only append to. (When the whole file is rewritten
// instead is shown by the golden scenarios.)
#include "platform/host/registry_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "tests/test_support.h"

namespace {

const std::string kData = VSETUP_SOURCE_DIR "/tests/data/registry/";
const std::string kHklm = "HKEY_LOCAL_MACHINE\\";

// export.reg holds what regedit writes, the liberties import allows and what
// it skips (a bad value, deletions, a last line without its line end);
// export-serialized.reg is the store that reads it, with the key and value
// made below, as regedit would export it.
TEST(RegistryStore, LoadsExportsAsImportDoesAndWritesThemBackSorted) {
    RegistryStore store;
    store.LoadText(ReadFile(kData + "export.reg"));
    for (const char* path : {"hkey_classes_root\\.VDR", "HKEY_LOCAL_MACHINE\\Software\\Vorel\\"})
        EXPECT_TRUE(store.KeyExists(path)) << path;
    EXPECT_FALSE(store.KeyExists(kHklm + "Software\\Vore"));
    EXPECT_FALSE(store.KeyExists(""));

    // Names keep the case they were created with.
    store.SetValue(kHklm + "SOFTWARE\\VOREL\\Display\\NewKey", "NewName", 1, std::string("x\0", 2));
    store.SetValue(kHklm + "software\\vorel\\display\\newkey", "NEWNAME", 1, std::string("y\0", 2));
    store.CreateKey("HKEY_CURRENT_USER\\Bare");
    const std::string expected = ReadFile(kData + "export-serialized.reg");
    EXPECT_EQ(store.Serialize(), expected);

    // Whatever a write cut short or a page of zeros leaves loads as whole
    // values that the file held.
    for (size_t cut = 0; cut <= expected.size(); ++cut) {
        std::string holed = expected;
        holed.replace(cut, 60, std::string(std::min<size_t>(60, expected.size() - cut), '\0'));
        for (const std::string& damaged : {expected.substr(0, cut), holed}) {
            RegistryStore part, merged;
            part.LoadText(damaged);
            merged.LoadText(expected);
            merged.LoadText(part.Serialize());
            ASSERT_EQ(merged.Serialize(), expected) << "damage at " << cut;
        }
    }
}

TEST(RegistryStore, FlushAppendsOnlyWhatChanged) {
    TempDir dir;
    const std::string file = dir / "registry.reg";
    const std::string key = kHklm + "System\\CurrentControlSet\\Services\\Class\\Display\\0000";
    RegistryStore store, reopened, third;
    std::string error;
    ASSERT_TRUE(store.Open(file, &error)) << error;
    store.SetValue(key, "DriverDesc", 1, std::string("Vorel\0", 6));
    store.SetValue(key, "Flags", 3, "\x01");
    EXPECT_FALSE(FileExists(file));  // nothing before the first flush
    ASSERT_TRUE(store.Flush(key));
    const std::string first = "REGEDIT4\r\n\r\n[" + key + "]\r\n\"DriverDesc\"=\"Vorel\"\r\n\"Flags\"=hex:01\r\n";
    EXPECT_EQ(ReadFile(file), first);

    store.SetValue(key, "driverdesc", 1, std::string("Vorel\0", 6));  // unchanged
    store.SetValue(key, "FLAGS", 3, "\x02");
    store.CreateKey(key + "\\Settings");
    ASSERT_TRUE(store.Flush(key));
    ASSERT_TRUE(store.Flush(key + "\\settings"));
    EXPECT_EQ(ReadFile(file), first + "\r\n[" + key + "]\r\n\"Flags\"=hex:02\r\n\r\n[" + key + "\\Settings]\r\n");

    // An append cut short by a crash loses only itself; the next flush cuts
    // the torn line away before it appends.
    WriteFile(file, ReadFile(file) + "\r\n[" + key + "]\r\n\"Flags\"=hex:0");
    ASSERT_TRUE(reopened.Open(file, &error)) << error;
    EXPECT_EQ(reopened.Serialize(), store.Serialize());
    reopened.SetValue(key, "Mode", 4, std::string("\x07\0\0\0", 4));
    ASSERT_TRUE(reopened.Flush(key));
    ASSERT_TRUE(third.Open(file, &error)) << error;
    EXPECT_EQ(third.Serialize(), reopened.Serialize());
}

TEST(RegistryStore, FailuresAreReportedAndChangesStayPending) {
    TempDir dir;
    RegistryStore store, reopened;
    std::string error;
    ASSERT_TRUE(store.Open(dir / "missing/registry.reg", &error));
    store.SetValue(kHklm + "K", "v", 1, "x");
    EXPECT_FALSE(store.Flush(kHklm + "K"));
    EXPECT_FALSE(store.FlushAll());
    EXPECT_FALSE(store.Compact());
    ASSERT_EQ(mkdir((dir / "missing").c_str(), 0755), 0);
    EXPECT_TRUE(store.FlushAll());
    ASSERT_TRUE(reopened.Open(dir / "missing/registry.reg", &error));
    std::string data;
    EXPECT_TRUE(reopened.GetValue(kHklm + "k", "V", nullptr, &data) && data == "x");

    EXPECT_FALSE(store.Open(dir.Path(), &error));  // a directory cannot be read
    EXPECT_NE(error.find(dir.Path()), std::string::npos);
}

// Keys made many at a time, each needing all its parents, while the index
// grows: every key is found again, whatever the spelling of the lookup.
TEST(RegistryStore, DeepAndManyKeysStayFindable) {
    RegistryStore store;
    std::string deep = "HKEY_LOCAL_MACHINE";
    std::string text = "REGEDIT4\r\n";
    for (int i = 0; i < 3000; ++i) {
        if (i < 300) deep += "\\L" + std::to_string(i);
        text += "\r\n[HKEY_LOCAL_MACHINE\\Many\\K" + std::to_string(i % 7) + "\\S" + std::to_string(i) + "\\T]\r\n";
    }
    store.SetValue(deep, "v", 1, "deep");
    store.LoadText(text);
    std::string data;
    EXPECT_TRUE(store.GetValue(deep, "V", nullptr, &data) && data == "deep");
    std::string lower = "hkey_local_machine";
    for (int i = 0; i < 3000; ++i) {
        if (i < 300) {
            lower += "\\l" + std::to_string(i);
            ASSERT_TRUE(store.KeyExists(lower)) << i;
        }
        ASSERT_TRUE(store.KeyExists(kHklm + "MANY\\k" + std::to_string(i % 7) + "\\s" + std::to_string(i))) << i;
    }
    EXPECT_FALSE(store.KeyExists(kHklm + "Many\\K0\\S1"));
}

}  // namespace
