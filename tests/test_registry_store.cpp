#include "platform/host/registry_store.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/test_support.h"

namespace {

const char kHklm[] = "HKEY_LOCAL_MACHINE\\";

std::string Get(const RegistryStore& store, const std::string& key, const std::string& name, uint32_t* type = nullptr) {
    std::string data;
    return store.GetValue(key, name, type, &data) ? data : "<absent>";
}

// An export as regedit writes one, with the liberties the loader allows.
const char kExport[] =
    "REGEDIT4\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Vorel\\Display]\r\n"
    "@=\"Vorel 9000\"\r\n"
    "\"Path\"=\"C:\\\\WINDOWS\\\\SYSTEM\\\\\"\r\n"
    "\"Quote\"=\"say \\\"hi\\\" \\n\"\r\n"
    "\"Mode\"=dword:0000000a\r\n"
    "; a comment\n"
    "\"Table\"=hex:00,01,02,\\\r\n"
    "  03,04,\\\n"
    "  05\r\n"
    "\"Multi\"=hex(7):61,00,00,00\r\n"
    "\"Empty\"=hex:\r\n"
    "\"Bad\"=dword:xyz\r\n"
    "\"Gone\"=-\r\n"
    "\r\n"
    "[HKEY_CLASSES_ROOT\\.vdr]\r\n"
    "@=\"VorelDriver\"\r\n"
    "\r\n"
    "[-HKEY_LOCAL_MACHINE\\Software\\Vorel]\r\n"
    "\"Deleted\"=\"ignored\"\r\n"
    "\r\n"
    "[hkey_local_machine\\SOFTWARE\\vorel\\DISPLAY]\r\n"
    "\"mode\"=dword:0000000B\r\n"
    "\"Late\"=\"merged\"\r\n"
    "\"Cut\"=\"never ends";

TEST(RegistryStore, LoadsExportsAsImportDoes) {
    RegistryStore store;
    store.LoadText(kExport);
    const std::string key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\VOREL\\display";
    uint32_t type = 0;
    EXPECT_EQ(Get(store, key, "", &type), "Vorel 9000");
    EXPECT_EQ(type, 1u);
    EXPECT_EQ(Get(store, key, "path"), "C:\\WINDOWS\\SYSTEM\\");
    EXPECT_EQ(Get(store, key, "Quote"), "say \"hi\" \\n");
    EXPECT_EQ(Get(store, key, "MODE", &type), std::string("\x0b\0\0\0", 4));  // the later entry wins
    EXPECT_EQ(type, 4u);
    EXPECT_EQ(Get(store, key, "Table", &type), std::string("\0\1\2\3\4\5", 6));
    EXPECT_EQ(type, 3u);
    EXPECT_EQ(Get(store, key, "Multi", &type), std::string("a\0\0\0", 4));
    EXPECT_EQ(type, 7u);
    EXPECT_EQ(Get(store, key, "Empty"), "");
    EXPECT_EQ(Get(store, key, "Late"), "merged");
    for (const char* name : {"Bad", "Gone", "Deleted", "Cut"}) EXPECT_EQ(Get(store, key, name), "<absent>");

    EXPECT_EQ(Get(store, "HKEY_CLASSES_ROOT\\.VDR", ""), "VorelDriver");
    EXPECT_EQ(Get(store, "HKEY_LOCAL_MACHINE\\Software\\Classes\\.vdr", ""), "VorelDriver");
    for (const char* path : {"HKEY_LOCAL_MACHINE", "HKEY_LOCAL_MACHINE\\software", "hkey_classes_root",
                             "HKEY_LOCAL_MACHINE\\Software\\Vorel\\"})
        EXPECT_TRUE(store.KeyExists(path)) << path;
    EXPECT_FALSE(store.KeyExists("HKEY_LOCAL_MACHINE\\Software\\Vore"));
    EXPECT_FALSE(store.KeyExists(""));

    // Names keep the case they were created with.
    store.SetValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\VOREL\\Display\\NewKey", "NewName", 1, std::string("x\0", 2));
    store.SetValue("hkey_local_machine\\software\\vorel\\display\\newkey", "NEWNAME", 1, std::string("y\0", 2));
    EXPECT_EQ(Get(store, key + "\\NEWKEY", "newname"), "y");
    std::string text = store.Serialize();
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software\\Vorel\\Display\\NewKey]\r\n\"NewName\"=\"y\""),
              std::string::npos)
        << text;
}

TEST(RegistryStore, SerializesSortedAndRoundTrips) {
    RegistryStore store;
    store.SetValue(std::string(kHklm) + "b", "s", 1, std::string("line\r\nbreak\0", 12));
    store.SetValue(std::string(kHklm) + "A B", "", 1, std::string("\xE9\0", 2));
    store.SetValue(std::string(kHklm) + "a\\Z", "z", 4, std::string("\x01\x02\x03\x04", 4));
    store.SetValue(std::string(kHklm) + "a\\Z", "odd", 4, std::string("\x01", 1));
    store.SetValue(std::string(kHklm) + "a\\Z", "a", 3, std::string(30, '\xAB'));
    store.CreateKey("HKEY_CURRENT_USER\\Bare");
    const std::string golden =
        "REGEDIT4\r\n"
        "\r\n[HKEY_CURRENT_USER\\Bare]\r\n"
        "\r\n[HKEY_LOCAL_MACHINE\\a]\r\n"
        "\r\n[HKEY_LOCAL_MACHINE\\a\\Z]\r\n"
        "\"z\"=dword:04030201\r\n"
        "\"odd\"=hex(4):01\r\n"
        "\"a\"=hex:ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,\\\r\n"
        "  ab,ab,ab,ab,ab,ab,ab\r\n"
        "\r\n[HKEY_LOCAL_MACHINE\\A B]\r\n"
        "@=\"\xE9\"\r\n"
        "\r\n[HKEY_LOCAL_MACHINE\\b]\r\n"
        "\"s\"=hex(1):6c,69,6e,65,0d,0a,62,72,65,61,6b,00\r\n";
    EXPECT_EQ(store.Serialize(), golden);

    RegistryStore copy;
    copy.LoadText(golden);
    EXPECT_EQ(copy.Serialize(), golden);
    uint32_t type = 0;
    EXPECT_EQ(Get(copy, std::string(kHklm) + "B", "S", &type), "line\r\nbreak");
    EXPECT_EQ(type, 1u);
}

TEST(RegistryStore, EveryCutOfTheFileLoadsOnlyWholeValues) {
    RegistryStore full;
    full.LoadText(kExport);
    full.SetValue(std::string(kHklm) + "Long", "bytes", 3, std::string(200, '\x5A'));
    const std::string text = full.Serialize();
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        // A write cut short, and one that left zeros in place of a page.
        std::string holed = text;
        holed.replace(cut, 60, std::string(std::min<size_t>(60, text.size() - cut), '\0'));
        for (const std::string& damaged : {text.substr(0, cut), holed}) {
            RegistryStore part;
            part.LoadText(damaged);
            RegistryStore merged;
            merged.LoadText(text);
            merged.LoadText(part.Serialize());
            ASSERT_EQ(merged.Serialize(), text) << "damage at " << cut;
        }
    }
}

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(RegistryStore, FlushAppendsOnlyWhatChanged) {
    TempDir scratch;
    const std::string file = scratch.path() + "/registry.reg";
    const std::string key = std::string(kHklm) + "System\\CurrentControlSet\\Services\\Class\\Display\\0000";
    RegistryStore store;
    std::string error;
    ASSERT_TRUE(store.Open(file, &error)) << error;
    store.SetValue(key, "DriverDesc", 1, std::string("Vorel\0", 6));
    store.SetValue(key, "Flags", 3, "\x01");
    EXPECT_EQ(access(file.c_str(), F_OK), -1);  // nothing before the first flush
    ASSERT_TRUE(store.Flush(key));
    EXPECT_EQ(FileText(file), "REGEDIT4\r\n\r\n[" + key + "]\r\n\"DriverDesc\"=\"Vorel\"\r\n\"Flags\"=hex:01\r\n");
    size_t size = FileText(file).size();
    EXPECT_EQ(store.AppendedBytes(), size);

    store.SetValue(key, "driverdesc", 1, std::string("Vorel\0", 6));  // unchanged
    ASSERT_TRUE(store.Flush(key));
    EXPECT_EQ(FileText(file).size(), size);
    store.SetValue(key, "FLAGS", 3, "\x02");
    store.CreateKey(key + "\\Settings");
    ASSERT_TRUE(store.Flush(key));
    ASSERT_TRUE(store.Flush(key + "\\settings"));
    EXPECT_EQ(FileText(file).substr(size), "\r\n[" + key + "]\r\n\"Flags\"=hex:02\r\n\r\n[" + key + "\\Settings]\r\n");

    RegistryStore reopened;
    ASSERT_TRUE(reopened.Open(file, &error)) << error;
    EXPECT_EQ(reopened.LoadedBytes(), FileText(file).size());
    EXPECT_EQ(reopened.Serialize(), store.Serialize());

    // An append cut short by a crash loses only itself; the next flush cuts
    // the torn line away before it appends.
    std::string torn = FileText(file) + "\r\n[" + key + "]\r\n\"Flags\"=hex:0";
    std::ofstream(file, std::ios::binary) << torn;
    ASSERT_TRUE(reopened.Open(file, &error)) << error;
    EXPECT_EQ(Get(reopened, key, "Flags"), "\x02");
    reopened.SetValue(key, "Mode", 4, std::string("\x07\0\0\0", 4));
    ASSERT_TRUE(reopened.Flush(key));
    RegistryStore third;
    ASSERT_TRUE(third.Open(file, &error)) << error;
    EXPECT_EQ(Get(third, key, "Flags"), "\x02");
    EXPECT_EQ(Get(third, key, "Mode"), std::string("\x07\0\0\0", 4));

    // Compact writes the store whole, sorted.
    ASSERT_TRUE(third.Compact());
    EXPECT_EQ(FileText(file), third.Serialize());
    EXPECT_EQ(third.LoadedBytes(), FileText(file).size());
    EXPECT_EQ(third.AppendedBytes(), 0u);
    RegistryStore fourth;
    ASSERT_TRUE(fourth.Open(file, &error)) << error;
    EXPECT_EQ(fourth.Serialize(), third.Serialize());
}

TEST(RegistryStore, FailuresAreReportedAndChangesStayPending) {
    TempDir scratch;
    const std::string& dir = scratch.path();
    RegistryStore store;
    std::string error;
    ASSERT_TRUE(store.Open(dir + "/missing/registry.reg", &error));
    store.SetValue(std::string(kHklm) + "K", "v", 1, "x");
    EXPECT_FALSE(store.Flush(std::string(kHklm) + "K"));
    EXPECT_FALSE(store.FlushAll());
    EXPECT_FALSE(store.Compact());
    ASSERT_EQ(std::system(("mkdir '" + dir + "/missing'").c_str()), 0);
    EXPECT_TRUE(store.FlushAll());
    RegistryStore reopened;
    ASSERT_TRUE(reopened.Open(dir + "/missing/registry.reg", &error));
    EXPECT_EQ(Get(reopened, std::string(kHklm) + "k", "V"), "x");

    EXPECT_FALSE(store.Open(dir, &error));  // a directory cannot be read
    EXPECT_NE(error.find(dir), std::string::npos);
}

// Keys made many at a time, each needing all its parents, while the index
// grows: every key is found again, whatever the spelling of the lookup.
TEST(RegistryStore, DeepAndManyKeysStayFindable) {
    RegistryStore store;
    std::string deep = "HKEY_LOCAL_MACHINE";
    for (int level = 0; level < 300; ++level) deep += "\\L" + std::to_string(level);
    store.SetValue(deep, "v", 1, "deep");
    std::string text = "REGEDIT4\r\n";
    for (int i = 0; i < 3000; ++i)
        text += "\r\n[HKEY_LOCAL_MACHINE\\Many\\K" + std::to_string(i % 7) + "\\S" + std::to_string(i) + "\\T]\r\n";
    store.LoadText(text);
    EXPECT_EQ(Get(store, deep, "V"), "deep");
    std::string path = "hkey_local_machine";
    for (int level = 0; level < 300; ++level) {
        path += "\\l" + std::to_string(level);
        ASSERT_TRUE(store.KeyExists(path)) << level;
    }
    for (int i = 0; i < 3000; ++i)
        ASSERT_TRUE(store.KeyExists("HKEY_LOCAL_MACHINE\\MANY\\k" + std::to_string(i % 7) + "\\s" + std::to_string(i)))
            << i;
    EXPECT_FALSE(store.KeyExists("HKEY_LOCAL_MACHINE\\Many\\K0\\S1"));
}

}  // namespace
