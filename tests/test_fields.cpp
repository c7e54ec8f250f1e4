// Splitting copy-list and registry-list lines.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "setupinfo/fields.h"

namespace {

std::string Copy(const char* line) {
    CopyEntry entry;
    SplitCopyLine(line, &entry);
    return std::string(entry.diskId) + "|" + entry.fileName;
}

std::string Reg(const char* line, int expected_count) {
    RegEntry entry;
    std::memset(&entry, 0, sizeof entry);
    const char* overlong = nullptr;
    EXPECT_EQ(expected_count, SplitRegLine(line, &entry, &overlong)) << line;
    EXPECT_EQ(nullptr, overlong) << line;
    return std::string(entry.root) + "|" + entry.subkey + "|" + entry.valueName + "|" + entry.flags + "|" + entry.value;
}

}  // namespace

TEST(CopyLine, Fields) {
    EXPECT_EQ("1|card.dr_", Copy("1,card.dr_\r\n"));
    EXPECT_EQ("2|win\\card.vx_", Copy("2, win\\card.vx_\r\n"));
    EXPECT_EQ("1|", Copy("1 ,card.dr_\r\n"));               // a blank before the comma ends the disk field
    EXPECT_EQ("1|", Copy("1\r\n"));                         // no file field
    EXPECT_EQ("1|card.dr_", Copy("12,card.dr_ more\r\n"));  // only the first character of the disk counts
    EXPECT_EQ("1|card.dr_", Copy("1,card.dr_\n"));          // a bare LF ends the name
    EXPECT_EQ("1|card.dr_", Copy("1,card.dr_"));            // so does the end of the text
    EXPECT_EQ("|", Copy(",\r\n"));
}

TEST(RegLine, FieldsQuotesAndBlanks) {
    EXPECT_EQ("HKR|DEFAULT|Mode||8", Reg("HKR,DEFAULT,Mode,,8\r\n", 5));
    EXPECT_EQ("HKR|DEFAULT|Mode||640,480", Reg("HKR,DEFAULT,Mode,,\"640,480\"\r\n", 5));
    EXPECT_EQ("HKR|DEFAULT|drv||", Reg("HKR, DEFAULT , drv\r\n", 3));
    EXPECT_EQ("HKR|DEFAULT|RefreshRate||", Reg("HKR,DEFAULT,Refresh Rate\r\n", 3));
    EXPECT_EQ("HKR|DEFAULT|Refresh Rate||", Reg("HKR,DEFAULT,\"Refresh Rate\"\r\n", 3));
    EXPECT_EQ("HKR|DEFAULT|drv||", Reg("HKR,DEFAULT,drv,\r\n", 4));
    EXPECT_EQ("HKR||||", Reg("HKR\r\n", 1));
    EXPECT_EQ("HKR|DEFAULT|||", Reg("HKR,DEFAULT\n", 2));       // LF ends the line
    EXPECT_EQ("HKR|A|B||open", Reg("HKR,A,B,,\"open\r\n", 5));  // an open quote stops at the line end
    EXPECT_EQ("HKR|A|B||x", Reg("HKR,A,B,,x,y,z\r\n", 5));      // the rest is ignored
    EXPECT_EQ("|A|B||x", Reg("HKEY_LOCAL,A,B,,x\r\n", 5));      // a long root matches no keyword
}

TEST(RegLine, OverlongValueNameIsReported) {
    std::string line = "HKR,," + std::string(128, 'n') + ",,x\r\n";
    RegEntry entry;
    std::memset(&entry, 0, sizeof entry);
    const char* overlong = nullptr;
    EXPECT_EQ(5, SplitRegLine(line.c_str(), &entry, &overlong));
    ASSERT_NE(nullptr, overlong);
    EXPECT_STREQ("value name", overlong);
    line = "HKR,," + std::string(127, 'n') + ",,x\r\n";
    EXPECT_EQ(5, SplitRegLine(line.c_str(), &entry, &overlong));
    EXPECT_EQ(nullptr, overlong);
    EXPECT_EQ(127u, std::strlen(entry.valueName));
}
