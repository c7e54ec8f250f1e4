// The vsetup program on a disk that fills up and in directories it may not
// write: every failure is reported, the old files stay as they were, no
// temporary file is left behind, and the run goes on with the next step.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/robust/robust_support.h"

namespace {

const char kSetupDat[] =
    "[Product]\r\nProductName=Vorel Test 3D\r\nDriverInf=card.inf\r\nOemsetupInf=oemsetup.inf\r\n"
    "[Source Media Descriptions]\r\n1=Disk 1\r\n"
    "[Extra]\r\nPCIBUS=VEN_1A2B&DEV_0C0D\r\nConfigFlags=00000010\r\nCHIPID=0312\r\n"
    "[WindowsDir]\r\n1,card.in_\r\n1,readme.txt\r\n"
    "[SystemDir]\r\n1,big.dr_\r\n1,huge.dat\r\n1,small.dr_\r\n"
    "[Prev.DelReg]\r\n"
    "[Driver.AddReg]\r\nHKR,,Ver,,4.0\r\nHKR,DEFAULT,drv,,card.drv\r\nHKLM,Software\\Vorel,Version,,1.0\r\n";

const char kInf[] = "[Version]\r\nSignature=\"$CHICAGO$\"\r\nClass=DISPLAY\r\n";
const long long kLimit = 100 * 1024;
const std::string kClass = "hkey_local_machine\\system\\currentcontrolset\\services\\class\\display\\";

std::string Bytes(size_t size, unsigned seed) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 23);
    return data;
}

std::string Done() { return "Setup is complete.\\n\\nWould you like to run Display control panel right now?"; }

std::string CantCopy(const std::string& where) { return "Can't copy file: c:\\\\windows\\\\" + where; }

class DiskFaults : public ::testing::Test {
protected:
    void SetUp() override {
        chmod(root_.path().c_str(), 0755);  // an unprivileged child reads the disk
        disk_ = root_ / "disk";
        prefix_ = root_ / "prefix";
        windows_ = prefix_ + "/drive_c/WINDOWS";
        WriteFile(disk_ + "/setup.dat", kSetupDat);
        WriteFile(disk_ + "/card.in_", MakeSzdd(kInf));
        WriteFile(disk_ + "/readme.txt", "Vorel readme\r\n");
        WriteFile(disk_ + "/big.dr_", MakeSzdd(Bytes(200 * 1024, 1)));
        WriteFile(disk_ + "/huge.dat", Bytes(150 * 1024, 2));
        WriteFile(disk_ + "/small.dr_", MakeSzdd(Bytes(3000, 3)));
        mkdir(prefix_.c_str(), 0755);
        mkdir((prefix_ + "/dosdevices").c_str(), 0755);
        symlink(disk_.c_str(), (prefix_ + "/dosdevices/a:").c_str());
        WriteFile(windows_ + "/SYSTEM/big.drv", "old big driver");
        WriteFile(windows_ + "/SYSTEM/huge.dat", "old huge data");
        WriteFile(windows_ + "/system.ini", "[boot]\r\nshell=Explorer.exe\r\n");
        WriteFile(windows_ + "/INF/keep.inf", "unrelated");
    }

    std::vector<std::string> Leftovers() {
        std::vector<std::string> left;
        for (const std::string& file : ListFiles(prefix_)) {
            if (file.find("~vs") != std::string::npos || file.find("/.") != std::string::npos || file[0] == '.')
                left.push_back(file);
        }
        return left;
    }

    RegEntries Registry() {
        RegEntries entries;
        EXPECT_TRUE(LoadRegistry(prefix_ + "/registry.reg", &entries));
        return entries;
    }

    TempDir root_;
    std::string disk_;
    std::string prefix_;
    std::string windows_;
};

}  // namespace

TEST_F(DiskFaults, FilesTooLargeForTheDiskAreReportedAndTheRunGoesOn) {
    ChildOptions options;
    options.fileSizeLimit = kLimit;
    RunResult run = RunVsetup(disk_, prefix_, options);
    EXPECT_EQ((std::vector<std::string>{CantCopy("system\\\\big.drv"), CantCopy("system\\\\huge.dat"), Done()}),
              run.MessageTexts());
    EXPECT_EQ("old big driver", ReadFile(windows_ + "/SYSTEM/big.drv"));
    EXPECT_EQ("old huge data", ReadFile(windows_ + "/SYSTEM/huge.dat"));
    EXPECT_EQ(Bytes(3000, 3), ReadFile(windows_ + "/SYSTEM/small.drv"));  // the files after them
    EXPECT_EQ(kInf, ReadFile(windows_ + "/INF/oemsetup.inf"));
    EXPECT_EQ("[boot]\r\nshell=Explorer.exe\r\n[boot.description]\r\ndisplay.drv=Vorel Test 3D\r\n",
              ReadFile(windows_ + "/system.ini"));
    EXPECT_EQ("\"4.0\"", Registry()[kClass + "0000"]["ver"]);
    EXPECT_EQ(std::vector<std::string>{}, Leftovers());
}

TEST_F(DiskFaults, RegistryAndSystemIniAtTheLimitKeepTheirOldContent) {
    // registry.reg a few entries short of the limit: the flushes that do not
    // fit fail whole, cut back to the last complete line.
    std::string seed = "REGEDIT4\r\n";
    for (int i = 0; seed.size() < kLimit - 300; ++i)
        seed += "\r\n[HKEY_LOCAL_MACHINE\\Software\\Seed\\" + std::to_string(i) + "]\r\n\"Value\"=\"" +
                std::to_string(i) + "\"\r\n";
    WriteFile(prefix_ + "/registry.reg", seed);
    // system.ini already larger than the limit: its new copy cannot be made.
    std::string ini = "[boot]\r\nshell=Explorer.exe\r\n[fill]\r\n";
    while (ini.size() <= kLimit) ini += "line" + std::to_string(ini.size()) + "=" + std::string(60, 'x') + "\r\n";
    WriteFile(windows_ + "/system.ini", ini);

    // The same run without a limit, for what the registry may hold.
    TempDir spare;
    std::string unlimited = spare / "prefix";
    mkdir(unlimited.c_str(), 0755);
    mkdir((unlimited + "/dosdevices").c_str(), 0755);
    symlink(disk_.c_str(), (unlimited + "/dosdevices/a:").c_str());
    WriteFile(unlimited + "/registry.reg", seed);
    RunVsetup(disk_, unlimited, ChildOptions());
    RegEntries complete;
    ASSERT_TRUE(LoadRegistry(unlimited + "/registry.reg", &complete));

    ChildOptions options;
    options.fileSizeLimit = kLimit;
    RunResult run = RunVsetup(disk_, prefix_, options);
    std::vector<std::string> texts = run.MessageTexts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ("Can't write the display entry to system.ini.", texts[texts.size() - 2]);
    EXPECT_EQ(ini, ReadFile(windows_ + "/system.ini"));

    std::string reg = ReadFile(prefix_ + "/registry.reg");
    EXPECT_LE(reg.size(), static_cast<size_t>(kLimit));
    EXPECT_EQ(0u, reg.compare(0, seed.size(), seed));
    EXPECT_TRUE(reg.empty() || reg.back() == '\n');  // no torn line
    RegEntries entries = Registry();
    EXPECT_EQ("", MissingEntries(RegistryFromText(seed), entries));
    EXPECT_EQ("", MissingEntries(entries, complete));
    EXPECT_EQ(std::vector<std::string>{}, Leftovers());
}

TEST_F(DiskFaults, ReadOnlyDirectoriesAndFilesAreReportedAndKept) {
    GiveToUnprivileged(prefix_);
    ChildOptions options;
    options.unprivileged = true;

    // The System directory cannot be written: its files are refused one by
    // one, the rest of the installation happens.
    chmod((windows_ + "/SYSTEM").c_str(), 0555);
    RunResult run = RunVsetup(disk_, prefix_, options);
    chmod((windows_ + "/SYSTEM").c_str(), 0755);
    EXPECT_EQ((std::vector<std::string>{CantCopy("system\\\\big.drv"), CantCopy("system\\\\huge.dat"),
                                        CantCopy("system\\\\small.drv"), Done()}),
              run.MessageTexts());
    EXPECT_EQ("old big driver", ReadFile(windows_ + "/SYSTEM/big.drv"));
    EXPECT_EQ("old huge data", ReadFile(windows_ + "/SYSTEM/huge.dat"));
    EXPECT_FALSE(FileExists(windows_ + "/SYSTEM/small.drv"));
    EXPECT_EQ(kInf, ReadFile(windows_ + "/INF/oemsetup.inf"));
    EXPECT_EQ("\"4.0\"", Registry()[kClass + "0000"]["ver"]);
    EXPECT_NE(std::string::npos, ReadFile(windows_ + "/system.ini").find("display.drv=Vorel Test 3D"));

    // Read-only files in writable directories are left as they are.
    WriteFile(windows_ + "/system.ini", "[boot]\r\nshell=Explorer.exe\r\n");
    WriteFile(windows_ + "/SYSTEM/small.drv", "old small driver");
    chmod((windows_ + "/system.ini").c_str(), 0444);
    chmod((windows_ + "/SYSTEM/small.drv").c_str(), 0444);
    run = RunVsetup(disk_, prefix_, options);
    EXPECT_EQ((std::vector<std::string>{CantCopy("system\\\\small.drv"), "Can't write the display entry to system.ini.",
                                        Done()}),
              run.MessageTexts());
    EXPECT_EQ("[boot]\r\nshell=Explorer.exe\r\n", ReadFile(windows_ + "/system.ini"));
    EXPECT_EQ("old small driver", ReadFile(windows_ + "/SYSTEM/small.drv"));
    EXPECT_EQ(Bytes(200 * 1024, 1), ReadFile(windows_ + "/SYSTEM/big.drv"));
    chmod((windows_ + "/SYSTEM/small.drv").c_str(), 0644);

    // A read-only Windows directory: its files and system.ini are refused.
    chmod((windows_ + "/system.ini").c_str(), 0644);
    std::string readme = ReadFile(windows_ + "/readme.txt");
    WriteFile(windows_ + "/readme.txt", "old readme");
    chmod(windows_.c_str(), 0555);
    run = RunVsetup(disk_, prefix_, options);
    chmod(windows_.c_str(), 0755);
    EXPECT_EQ(
        (std::vector<std::string>{CantCopy("readme.txt"), "Can't write the display entry to system.ini.", Done()}),
        run.MessageTexts());
    EXPECT_EQ("old readme", ReadFile(windows_ + "/readme.txt"));
    EXPECT_EQ("[boot]\r\nshell=Explorer.exe\r\n", ReadFile(windows_ + "/system.ini"));
    EXPECT_EQ(Bytes(3000, 3), ReadFile(windows_ + "/SYSTEM/small.drv"));
    EXPECT_EQ(std::vector<std::string>{}, Leftovers());
}
