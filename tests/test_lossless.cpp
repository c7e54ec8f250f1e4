// The registry store keeps what a user seeded registry.reg with: every form
// a REGEDIT4 import reads loads, survives flushes and compaction, and the
// file as it was is kept beside it; what cannot be imported faithfully is
// refused with its line, and the file stays as it was.
#include <gtest/gtest.h>

#include <string>

#include "platform/host/profile_engine.h"
#include "platform/host/registry_store.h"
#include "platform/platform.h"
#include "tests/test_support.h"

namespace {

const std::string kKey = "HKEY_LOCAL_MACHINE\\Software\\Seed";

std::string Utf16(const std::string& utf8_ascii_or_marked) {
    // '\x01' stands for U+00E9, '\x02' for U+20AC, '\x03' for U+4E00; the
    // rest is ASCII.
    std::string out("\xFF\xFE", 2);
    for (char c : utf8_ascii_or_marked) {
        unsigned u = c == '\x01' ? 0xE9 : c == '\x02' ? 0x20AC : c == '\x03' ? 0x4E00 : static_cast<unsigned char>(c);
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    }
    return out;
}

std::string Value(const RegistryStore& store, const std::string& key, const std::string& name) {
    std::string data;
    return store.GetValue(key, name, nullptr, &data) ? data : "<absent>";
}

std::string ManyKeysWithCr() {
    std::string text = "REGEDIT4\r\r";
    for (int i = 0; i < 2000; ++i) text += "[" + kKey + "\\K" + std::to_string(i) + "]\r\"V\"=\"" + std::to_string(i) + "\"\r\r";
    return text;
}

struct Seed {
    const char* what;
    std::string text;
    std::string key;
    std::string name;
    std::string value;
};

TEST(Lossless, EveryFormAnImportReadsLoadsAndSurvivesChanges) {
    const std::string header = "REGEDIT4\r\n\r\n[" + kKey + "]\r\n";
    const Seed seeds[] = {
        {"UTF-16LE version 5", Utf16("Windows Registry Editor Version 5.00\r\n\r\n[" + kKey + "]\r\n\"Name\"=\"caf\x01 \x02\"\r\n"),
         kKey, "Name", "caf\xE9 \x80"},
        {"UTF-16LE hex(7)", Utf16("Windows Registry Editor Version 5.00\r\n[" + kKey + "]\r\n\"M\"=hex(7):61,00,00,00,00,00\r\n"),
         kKey, "M", std::string("a\0\0", 3)},
        {"8-bit version 5", "Windows Registry Editor Version 5.00\r\n\r\n[" + kKey + "]\r\n\"S\"=hex(2):25,00,50,00,00,00\r\n",
         kKey, "S", std::string("%P\0", 3)},
        {"lone CR", ManyKeysWithCr(), kKey + "\\K1999", "V", "1999"},
        {"CR CR LF", "REGEDIT4\r\r\n\r\r\n[" + kKey + "]\r\r\n\"A\"=\"1\"\r\r\n", kKey, "A", "1"},
        {"unended last line", header + "\"Last\"=\"kept\"", kKey, "Last", "kept"},
        {"comment after a value", header + "\"C\"=\"v\" ; why\r\n", kKey, "C", "v"},
        {"text after ]", "REGEDIT4\r\n[" + kKey + "] old\r\n\"T\"=\"v\"\r\n", kKey, "T", "v"},
        {"trailing comma", header + "\"H\"=hex:01,02,\r\n", kKey, "H", "\x01\x02"},
        {"blanks after dword:", header + "\"D\"=dword: 0000000a\r\n", kKey, "D", std::string("\x0a\0\0\0", 4)},
        {"blank and comment in a continuation", header + "\"B\"=hex:01,\\\r\n\r\n; note\r\n  02\r\n", kKey, "B", "\x01\x02"},
        {"NUL in a line", header + std::string("\"Z\"=\"v\"\0junk\r\n", 13), kKey, "Z", "v"},
    };
    for (const Seed& seed : seeds) {
        SCOPED_TRACE(seed.what);
        TempDir dir;
        const std::string file = dir / "registry.reg";
        WriteFile(file, seed.text);
        RegistryStore store;
        store.SetBackupPath(file + ".orig");
        std::string error;
        ASSERT_TRUE(store.Open(file, &error, RegistryStore::kNotOwn)) << error;
        EXPECT_EQ(Value(store, seed.key, seed.name), seed.value);
        store.SetValue(kKey + "\\New", "N", 1, "x");
        ASSERT_TRUE(store.Flush(kKey + "\\New"));
        EXPECT_EQ(ReadFile(file + ".orig"), seed.text);
        for (int pass = 0; pass < 2; ++pass) {
            RegistryStore again;
            ASSERT_TRUE(again.Open(file, &error, RegistryStore::kNotOwn)) << error;
            EXPECT_EQ(Value(again, seed.key, seed.name), seed.value);
            EXPECT_EQ(Value(again, kKey + "\\New", "N"), "x");
            EXPECT_EQ(again.Serialize(), store.Serialize());
            ASSERT_TRUE(store.Compact());
        }
        EXPECT_EQ(ReadFile(file + ".orig"), seed.text);
    }
}

TEST(Lossless, WhatCannotBeImportedFaithfullyIsRefusedWithItsLine) {
    const std::string header = "REGEDIT4\r\n\r\n[" + kKey + "]\r\n";
    const struct {
        std::string text;
        const char* line;
    } refused[] = {
        {header + "\"Bad\"=dword:xyz\r\n", "line 4: \"Bad\"=dword:xyz"},
        {"REGEDIT4\n[-" + kKey + "]\n", "line 2: [-HKEY"},
        {header + "\"Gone\"=-\r\n", "line 4: \"Gone\"=-"},
        {"[" + kKey + "]\r\n", "line 1: [HKEY"},
        {"REGEDIT4\r\n\"Orphan\"=\"v\"\r\n", "line 2: \"Orphan\""},
        {"REGEDIT4\r\n[HKEY_NOWHERE\\x]\r\n", "line 2: [HKEY_NOWHERE"},
        {header + "\"Cut\"=\"never ends", "line 4: \"Cut\""},
        {Utf16("Windows Registry Editor Version 5.00\r\n\r\n[" + kKey + "]\r\n\"W\"=\"\x03\"\r\n"), "line 4"},
    };
    for (const auto& bad : refused) {
        SCOPED_TRACE(bad.line);
        TempDir dir;
        const std::string file = dir / "registry.reg";
        WriteFile(file, bad.text);
        RegistryStore store;
        std::string error;
        EXPECT_FALSE(store.Open(file, &error, RegistryStore::kNotOwn));
        EXPECT_NE(error.find(file), std::string::npos) << error;
        EXPECT_NE(error.find(bad.line), std::string::npos) << error;
        EXPECT_EQ(ReadFile(file), bad.text);
    }
}

TEST(Lossless, ProfileFilesAreEditedAsWindowsReadsThem) {
    // Lone CRs end lines: the key's own line is replaced, not duplicated.
    EXPECT_EQ("[boot]\rshell=a\rdisplay.drv=new\r",
              IniEdit("[boot]\rshell=a\rdisplay.drv=old\r", "boot", "display.drv", "new"));
    EXPECT_EQ("[boot]\rshell=a\r\ndisplay.drv=new\r\n", IniEdit("[boot]\rshell=a", "boot", "display.drv", "new"));

    TempDir dir;
    const std::string file = dir / "system.ini";
    const std::string key = "k";
    const std::string value = "v";
    // Nothing goes after an end-of-file byte.
    WriteFile(file, "[boot]\r\nshell=a\r\n\x1A");
    ASSERT_TRUE(IniWriteFile(file, "x", &key, &value));
    EXPECT_EQ("[boot]\r\nshell=a\r\n[x]\r\nk=v\r\n\x1A", ReadFile(file));
    // A null value deletes the key, a null key the section.
    ASSERT_TRUE(IniWriteFile(file, "X", &key, nullptr));
    EXPECT_EQ("[boot]\r\nshell=a\r\n[x]\r\n\x1A", ReadFile(file));
    ASSERT_TRUE(IniWriteFile(file, "BOOT", nullptr, nullptr));
    EXPECT_EQ("[x]\r\n\x1A", ReadFile(file));
    // A UTF-16 file is not edited.
    const std::string utf16 = Utf16("[boot]\r\nshell=a\r\n");
    WriteFile(file, utf16);
    EXPECT_FALSE(IniWriteFile(file, "boot", &key, &value));
    EXPECT_EQ(utf16, ReadFile(file));
}

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
