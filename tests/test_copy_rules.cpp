// The rules that decide a file's installed name, its progress share and the
// bytes of binary registry values.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "install/copy_files.h"
#include "registry/hardware.h"
#include "registry/reg_install.h"

namespace {

std::string Installed(const char* listed) {
    char name[256];
    std::strcpy(name, listed);
    if (!StripDirectory(name)) return "<too long>";
    ExpandCompressedName(name);
    return name;
}

std::string Bytes(const char* text) {
    unsigned char out[256];
    size_t n = PairsToBytes(text, out);
    std::string hex;
    for (size_t i = 0; i < n; ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02X ", out[i]);
        hex += pair;
    }
    return hex;
}

}  // namespace

TEST(CopyRules, InstalledNames) {
    EXPECT_EQ("card.drv", Installed("card.dr_"));
    EXPECT_EQ("CARD.VXd", Installed("CARD.VX_"));
    EXPECT_EQ("a.inf", Installed("a.in_"));
    EXPECT_EQ("a.dll", Installed("a.dl_"));
    EXPECT_EQ("a.hlp", Installed("a.hl_"));
    EXPECT_EQ("a.dat", Installed("a.da_"));
    EXPECT_EQ("a.reg", Installed("a.re_"));
    EXPECT_EQ("a.txt", Installed("a.tx_"));
    EXPECT_EQ("setup.ex_", Installed("setup.ex_"));
    EXPECT_EQ("a.dr__", Installed("a.dr__"));
    EXPECT_EQ("dr_", Installed("dr_"));
    EXPECT_EQ("card.drv", Installed("win\\card.dr_"));
    EXPECT_EQ("card.drv", Installed("a/b\\card.dr_"));
    EXPECT_EQ("x.d.drv", Installed("dir.x\\x.d.dr_"));
    EXPECT_EQ(std::string(127, 'n'), Installed(("d\\" + std::string(127, 'n')).c_str()));
    EXPECT_EQ("<too long>", Installed(("d\\" + std::string(128, 'n')).c_str()));
}

TEST(CopyRules, OnlyPlainNamesAreSafe) {
    EXPECT_TRUE(IsSafeFileName("oemsetup.inf"));
    EXPECT_TRUE(IsSafeFileName("..x"));
    EXPECT_FALSE(IsSafeFileName(""));
    EXPECT_FALSE(IsSafeFileName("."));
    EXPECT_FALSE(IsSafeFileName(".."));
    EXPECT_FALSE(IsSafeFileName("c:x.drv"));
    EXPECT_FALSE(IsSafeFileName("a\tb"));
    EXPECT_FALSE(IsSafeFileName("a\\b"));
}

TEST(CopyRules, ProgressAccounting) {
    EXPECT_EQ(0, RoundedCopySize(0));
    EXPECT_EQ(2048, RoundedCopySize(1));
    EXPECT_EQ(2048, RoundedCopySize(2048));
    EXPECT_EQ(4096, RoundedCopySize(2049));
    EXPECT_EQ(0, RoundedCopySize(-4));
    EXPECT_EQ(50, ProgressPercent(1000, 2000));
    // Past 21 MB a 32-bit product would wrap; the percentage stays right.
    EXPECT_EQ(50, ProgressPercent(30000000, 60000000));
    EXPECT_EQ(4000, ProgressPercent(4096000000LL, 102400000LL));
    EXPECT_EQ(150, ProgressPercent(3072, 2048));  // over 100 is sent as it is
    EXPECT_EQ(-1, ProgressPercent(2048, 0));
    EXPECT_EQ(-1, ProgressPercent(2048, -1000));
}

TEST(HardwareRules, DigitPairsBecomeBytes) {
    EXPECT_EQ("00 00 00 00 ", Bytes("00000000"));
    EXPECT_EQ("03 12 ", Bytes("0312"));
    EXPECT_EQ("01 ", Bytes("1A"));
    EXPECT_EQ("00 ", Bytes("A1"));
    EXPECT_EQ("12 34 ", Bytes("12345"));
    EXPECT_EQ("99 ", Bytes("99"));
    EXPECT_EQ("FF FB 05 05 ", Bytes("-1-5+5 5"));
    EXPECT_EQ("", Bytes(""));
}

TEST(RegistryRules, RootKeywordsAreExact) {
    EXPECT_EQ(kRootHKR, LookupRoot("HKR"));
    EXPECT_EQ(kRootHKCR, LookupRoot("HKCR"));
    EXPECT_EQ(kRootHKLM, LookupRoot("HKLM"));
    EXPECT_EQ(kRootNone, LookupRoot("hkr"));
    EXPECT_EQ(kRootNone, LookupRoot(""));
}
