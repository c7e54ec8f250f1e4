// SYSTEM.DAT: hives made by tools/creg-gen.py (written from the format's
// public description, sharing no code with ours) are read, edited and written
// back, and every file written is read by libcreg's cregexport and by
// Parse::Win32Registry through tools/creg-oracle.py, which must both show the
// tree the store holds.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "platform/host/creg_file.h"
#include "platform/host/creg_store.h"
#include "tests/test_support.h"

namespace {

std::string Run(const std::string& command, int* status) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    size_t n;
    while (pipe && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    *status = pipe ? pclose(pipe) : -1;
    return out;
}

// What both readers see in the file; fails the test when they fail or differ.
std::string Oracle(const std::string& file) {
    int status;
    std::string out = Run("python3 " VSETUP_SOURCE_DIR "/tools/creg-oracle.py '" + file + "'", &status);
    EXPECT_EQ(0, status) << file << " is not read alike by both readers";
    return out;
}

std::string Generated(const TempDir& dir) {
    int status;
    Run("python3 " VSETUP_SOURCE_DIR "/tools/creg-gen.py display '" + dir / "SYSTEM.DAT" + "'", &status);
    EXPECT_EQ(0, status);
    return dir / "SYSTEM.DAT";
}

std::string Escaped(const std::string& raw) {
    std::string out;
    for (unsigned char c : raw) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        out += (c >= 0x20 && c <= 0x7E && c != '%') ? std::string(1, static_cast<char>(c)) : std::string(hex);
    }
    return out;
}

// The hive in the oracle's form.
void Dump(const CregHive& hive, uint32_t key, const std::string& path, std::string* out) {
    *out += "[" + Escaped(path) + "]\n";
    for (size_t i = 0; i < hive.ValueCount(key); ++i) {
        std::string name, data, hex;
        uint32_t type;
        hive.GetValue(key, i, &name, &type, &data);
        for (unsigned char c : data) {
            char two[3];
            std::snprintf(two, sizeof two, "%02x", c);
            hex += two;
        }
        *out += "  \"" + Escaped(name) + "\" type=" + std::to_string(type) + " data=" + hex + "\n";
    }
    for (uint32_t c = hive.FirstChild(key); c != CregHive::kNone; c = hive.NextSibling(c))
        Dump(hive, c, path.empty() ? hive.Name(c) : path + "\\" + hive.Name(c), out);
}
std::string Dump(const CregHive& hive) {
    std::string out;
    Dump(hive, 0, "", &out);
    return out;
}

const char kInstance[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Display\\0002";

TEST(CregFile, ReadsAndRewritesAForeignHiveWhole) {
    TempDir dir;
    std::string original = Generated(dir);
    std::string seen = Oracle(original);
    ASSERT_NE(std::string::npos, seen.find("[SOFTWARE\\Vorel Test\\Same hash\\K231540]"));
    CregHive hive;
    std::string error;
    ASSERT_TRUE(hive.Load(ReadFile(original), &error)) << error;
    EXPECT_EQ(seen, Dump(hive));
    std::string rewritten = hive.Serialize();
    WriteFile(dir / "NEW.DAT", rewritten);
    EXPECT_EQ(seen, Oracle(dir / "NEW.DAT"));
    CregHive again;
    ASSERT_TRUE(again.Load(rewritten, &error)) << error;
    EXPECT_EQ(rewritten, again.Serialize());
}

TEST(CregFile, RefusesWhatItCouldNotWriteBackWhole) {
    TempDir dir;
    CregHive hive;
    std::string error;
    ASSERT_TRUE(hive.Load(ReadFile(Generated(dir)), &error));
    const std::string good = hive.Serialize();  // root entry at 0x40, first data block after the RGKN
    auto patched = [&](size_t at, uint32_t v) {
        std::string bytes = good;
        for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(v >> (8 * i));
        return bytes;
    };
    uint32_t blocks = static_cast<unsigned char>(good[8]) | static_cast<unsigned char>(good[9]) << 8 |
                      static_cast<unsigned char>(good[10]) << 16;
    struct Case {
        std::string bytes;
        const char* says;
    } cases[] = {
        {"regf" + good.substr(4), "does not start with the CREG signature"},
        {good.substr(0, 40), "cut short"},
        {good.substr(0, blocks + 100), "cut short"},
        {good + "x", "bytes after its last data block"},
        {patched(0x40 + 16, 0x20), "loop in its key tree"},
        {patched(0x40 + 16, 0x7FFFFFF0), "key entry out of bounds"},
        {patched(blocks + 32, 0x7FFFFFF0), "record out of bounds"},
        {patched(0x5C + 24, 0x7777), "missing the data record"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(hive.Load(c.bytes, &error)) << c.says;
        EXPECT_NE(std::string::npos, error.find(c.says)) << error;
    }
    for (size_t size = 0; size < good.size(); size += 61) EXPECT_FALSE(hive.Load(good.substr(0, size), &error));
}

TEST(CregStore, EditsWithoutRegardToCaseAndKeepsEverythingElse) {
    TempDir dir;
    std::string file = Generated(dir);
    const std::string before = ReadFile(file);
    const std::string seen = Oracle(file);
    chmod(file.c_str(), 0444);
    CregStore store;
    std::string error;
    ASSERT_TRUE(store.Open(file, &error)) << error;
    EXPECT_TRUE(store.KeyExists("HKEY_LOCAL_MACHINE\\system\\CURRENTCONTROLSET\\services\\class\\display\\0001"));
    EXPECT_TRUE(store.KeyExists("HKEY_CLASSES_ROOT\\.VOR"));
    EXPECT_FALSE(store.KeyExists(kInstance));
    EXPECT_FALSE(store.CreateKey("HKEY_CURRENT_USER\\Software"));
    ASSERT_TRUE(store.SetValue(kInstance, "Ver", 1, std::string("4.0\0", 4)));
    ASSERT_TRUE(store.SetValue(std::string(kInstance) + "\\DEFAULT", "CHIPID", 3, "\x03\x12"));
    ASSERT_TRUE(store.SetValue("HKEY_CLASSES_ROOT\\.vor", "", 1, "Vorel.Other"));
    ASSERT_TRUE(store.SetValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\CAF\xc9", "\xc4", 0x80000001u, ""));
    EXPECT_FALSE(store.SetValue(kInstance, "Big", 3, std::string(70000, 'x')));
    ASSERT_TRUE(store.Flush());
    ASSERT_TRUE(store.Commit());

    std::string after = Oracle(file);
    EXPECT_EQ(Dump(store.Hive()), after);
    EXPECT_NE(std::string::npos, after.find("[System\\CurrentControlSet\\Services\\Class\\Display\\0002]\n"
                                            "  \"Ver\" type=1 data=342e30\n"
                                            "[System\\CurrentControlSet\\Services\\Class\\Display\\0002\\DEFAULT]\n"
                                            "  \"CHIPID\" type=3 data=0312\n"));
    EXPECT_NE(std::string::npos, after.find("[SOFTWARE\\Classes\\.vor]\n  \"\" type=1 data=566f72656c2e4f74686572\n"));
    EXPECT_NE(std::string::npos, after.find("[SOFTWARE\\Caf%E9]\n  \"%C4\" type=2147483649 data=\n"));
    // Every old line is still there, in its order, but for the one replaced.
    size_t at = 0;
    for (const std::string& line : SplitLines(seen)) {
        if (line.find("566f72656c2e46696c65") != std::string::npos) continue;  // "Vorel.File"
        at = after.find(line + "\n", at);
        ASSERT_NE(std::string::npos, at) << line;
    }
    EXPECT_EQ(before, ReadFile(dir / "SYSTEM.VS0"));
    EXPECT_FALSE(FileExists(dir / "SYSTEM.VSJ"));
    EXPECT_FALSE(FileExists(dir / "SYSTEM.VST"));
    struct stat st;
    ASSERT_EQ(0, stat(file.c_str(), &st));
    EXPECT_EQ(0444u, st.st_mode & 07777);
}

TEST(CregStore, FlushesOutliveAKillAndStaleJournalsAreDropped) {
    TempDir dir;
    std::string file = Generated(dir);
    const std::string before = ReadFile(file);
    std::string error;
    std::string journal;
    {
        CregStore killed;  // never committed, as when the run is killed
        ASSERT_TRUE(killed.Open(file, &error));
        ASSERT_TRUE(killed.SetValue(kInstance, "Flushed", 1, "yes"));
        ASSERT_TRUE(killed.Flush());
        ASSERT_TRUE(killed.SetValue(kInstance, "Pending", 1, "no"));
        journal = ReadFile(dir / "SYSTEM.VSJ");
    }
    EXPECT_EQ(before, ReadFile(file));
    WriteFile(dir / "SYSTEM.VSJ", journal + std::string("\x30\0\0\0torn", 8));  // an append cut short
    uint32_t type = 0;
    std::string data;
    {
        CregStore next;
        ASSERT_TRUE(next.Open(file, &error));
        EXPECT_TRUE(next.GetValue(kInstance, "flushed", &type, &data));
        EXPECT_EQ("yes", data);
        EXPECT_FALSE(next.GetValue(kInstance, "Pending", &type, &data));
        ASSERT_TRUE(next.SetValue(kInstance, "Flushed", 1, "changed"));
        ASSERT_TRUE(next.Commit());
    }
    EXPECT_FALSE(FileExists(dir / "SYSTEM.VSJ"));
    EXPECT_EQ(before, ReadFile(dir / "SYSTEM.VS0"));
    WriteFile(dir / "SYSTEM.VSJ", journal);  // belongs to the file before the commit
    CregStore last;
    ASSERT_TRUE(last.Open(file, &error));
    EXPECT_TRUE(last.GetValue(kInstance, "Flushed", &type, &data));
    EXPECT_EQ("changed", data);
    EXPECT_FALSE(FileExists(dir / "SYSTEM.VSJ"));
    Oracle(file);
}

}  // namespace
