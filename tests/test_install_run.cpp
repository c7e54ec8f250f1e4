// Whole installation runs from a driver disk into a fresh prefix, checked by
// their transcript, the installed bytes, registry.reg and system.ini.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/host/host_fault.h"
#include "tests/test_support.h"

namespace {

const char kSetupDat[] =
    "[Product]\r\n"
    "ProductName=Vorel Test 3D\r\n"
    "DriverInf=card.inf\r\n"
    "OemsetupInf=oemsetup.inf\r\n"
    "[DiskSpace]\r\n"
    "SizeInKB=8\r\n"
    "[Source Media Descriptions]\r\n"
    "1=Disk 1\r\n"
    "2=Disk 2\r\n"
    "[Extra]\r\n"
    "PCIBUS=VEN_1A2B&DEV_0C0D\r\n"
    "ConfigFlags=00000010\r\n"
    "CHIPID=0312\r\n"
    "[WindowsDir]\r\n"
    "1,card.in_ ; the driver's INF\r\n"
    "[SystemDir]\r\n"
    "1,card.dr_\r\n"
    "1,win\\CARD.VX_\r\n"
    "2,readme.txt\r\n"
    "[Prev.DelReg]\r\n"
    "[Driver.AddReg]\r\n"
    "HKR,,Ver,,4.0\r\n"
    "HKR,DEFAULT,drv,,card.drv\r\n"
    "HKR,\"MODES\\8\\640,480\"\r\n"
    "HKR,DEFAULT,NotAKey\r\n"
    "hkr,,Lower,,x\r\n"
    "HKCR,xyz,,,abc\r\n"
    "HKLM,Software\\Vorel,Version,,1.0\r\n";

const char kInf[] = "[Version]\r\nSignature=\"$CHICAGO$\"\r\nClass=DISPLAY\r\n";

std::string DriverBytes() {
    std::string data;
    for (int i = 0; i < 3000; ++i) data += static_cast<char>((i * 7) ^ (i >> 3));
    return data;
}

const std::string kClass = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Display\\";

// A disk in disk/ reached as drive A:, and a prefix beside it.
class InstallRun : public ::testing::Test {
protected:
    void SetUp() override {
        disk_ = root_ / "disk";
        prefix_ = root_ / "prefix";
        windows_ = prefix_ + "/drive_c/WINDOWS";
        WriteFile(disk_ + "/setup.dat", kSetupDat);
        WriteFile(disk_ + "/card.in_", MakeSzdd(kInf));
        WriteFile(disk_ + "/card.dr_", MakeSzdd(DriverBytes()));
        WriteFile(disk_ + "/win/CARD.VX_", std::string(100, 'v'));
        WriteFile(disk_ + "/readme.txt", "Vorel readme\r\n");
        mkdir(prefix_.c_str(), 0755);
        mkdir((prefix_ + "/dosdevices").c_str(), 0755);
        symlink(disk_.c_str(), (prefix_ + "/dosdevices/a:").c_str());
    }
    void TearDown() override {
        for (int op = 0; op < kHostOperationCount; ++op) HostFailOperation(static_cast<HostOperation>(op), 0);
    }

    void SetSetup(const std::string& from, const std::string& to) {
        std::string text = ReadFile(disk_ + "/setup.dat");
        size_t at = text.find(from);
        ASSERT_NE(std::string::npos, at) << from;
        WriteFile(disk_ + "/setup.dat", text.replace(at, from.size(), to));
    }
    std::string Reg(const std::string& key, const std::string& name) {
        return RegEntryText(prefix_ + "/registry.reg", key, name);
    }
    // Temporary files left in the Windows tree.
    std::vector<std::string> Leftovers() {
        std::vector<std::string> left;
        for (const std::string& file : ListFiles(windows_))
            if (file.find("~vs") != std::string::npos) left.push_back(file);
        return left;
    }

    TempDir root_;
    std::string disk_;
    std::string prefix_;
    std::string windows_;
};

const char kDone[] = "Setup is complete.\\n\\nWould you like to run Display control panel right now?";

}  // namespace

TEST_F(InstallRun, ExampleStyleDiskInstallsEverything) {
    RunResult run = RunInProcess(disk_, prefix_);
    std::vector<std::string> expected = {
        R"({"event":"status","control":1001,"text":""})",
        R"({"event":"status","control":1002,"text":""})",
        R"({"event":"status","control":1001,"text":"Copy : a:\\card.in_"})",
        R"({"event":"status","control":1002,"text":"To : c:\\windows\\inf\\oemsetup.inf"})",
        R"({"event":"progress","position":25})",
        R"({"event":"status","control":1001,"text":"Copy : a:\\card.dr_"})",
        R"({"event":"status","control":1002,"text":"To : c:\\windows\\system\\card.drv"})",
        R"({"event":"progress","position":76})",
        R"({"event":"status","control":1001,"text":"Copy : a:\\win\\card.vx_"})",
        R"({"event":"status","control":1002,"text":"To : c:\\windows\\system\\card.vxd"})",
        R"({"event":"progress","position":102})",
        R"({"event":"status","control":1001,"text":"Copy : a:\\readme.txt"})",
        R"({"event":"status","control":1002,"text":"To : c:\\windows\\system\\readme.txt"})",
        R"({"event":"progress","position":128})",
        R"({"event":"status","control":1001,"text":""})",
        R"({"event":"status","control":1002,"text":""})",
        std::string(R"({"event":"message","caption":"Vorel Test 3D","text":")") + kDone +
            R"(","buttons":"yesno","icon":"none","answer":"no"})",
    };
    EXPECT_EQ(expected, run.lines);

    EXPECT_EQ(kInf, ReadFile(windows_ + "/INF/oemsetup.inf"));
    EXPECT_EQ(DriverBytes(), ReadFile(windows_ + "/SYSTEM/card.drv"));
    EXPECT_EQ(std::string(100, 'v'), ReadFile(windows_ + "/SYSTEM/CARD.VXd"));  // the name keeps its case
    EXPECT_EQ("Vorel readme\r\n", ReadFile(windows_ + "/SYSTEM/readme.txt"));
    EXPECT_EQ((std::vector<std::string>{"INF/oemsetup.inf", "SYSTEM/CARD.VXd", "SYSTEM/card.drv",
                                        "SYSTEM/readme.txt", "system.ini"}),
              ListFiles(windows_));
    EXPECT_EQ("[boot.description]\r\ndisplay.drv=Vorel Test 3D\r\n", ReadFile(windows_ + "/system.ini"));

    EXPECT_EQ("\"4.0\"", Reg(kClass + "0000", "Ver"));
    EXPECT_EQ("\"card.drv\"", Reg(kClass + "0000\\DEFAULT", "drv"));
    EXPECT_EQ("hex:03,12", Reg(kClass + "0000\\DEFAULT", "CHIPID"));
    EXPECT_EQ("\"Display\\\\0000\"", Reg("HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1A2B&DEV_0C0D", "Driver"));
    EXPECT_EQ("hex:00,00,00,10", Reg("HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1A2B&DEV_0C0D", "ConfigFlags"));
    EXPECT_EQ("\"abc\"", Reg("HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\xyz", ""));
    EXPECT_EQ("\"1.0\"", Reg("HKEY_LOCAL_MACHINE\\Software\\Vorel", "Version"));
    EXPECT_EQ("", Reg(kClass + "0000", "Lower"));  // "hkr" is no root keyword
    std::string reg = ReadFile(prefix_ + "/registry.reg");
    EXPECT_NE(std::string::npos, reg.find("[" + kClass + "0000\\MODES\\8\\640,480]\r\n"));
    EXPECT_EQ(std::string::npos, reg.find("NotAKey"));  // three fields create no key
    EXPECT_EQ(0u, reg.find("REGEDIT4\r\n"));

    // A second run takes the next free instance and replaces the files.
    run = RunInProcess(disk_, prefix_);
    EXPECT_EQ("\"4.0\"", Reg(kClass + "0001", "Ver"));
    EXPECT_EQ("\"Display\\\\0001\"", Reg("HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1A2B&DEV_0C0D", "Driver"));
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(InstallRun, MissingSetupFileStillEndsNormally) {
    unlink((disk_ + "/setup.dat").c_str());
    RunResult run = RunProgram(disk_, prefix_);
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ((std::vector<std::string>{"Not enough memory to process Setup Information file.",
                                        "Can't find section: [Prev.DelReg]", kDone}),
              run.MessageTexts());
    EXPECT_NE(std::string::npos, run.Events("message").back().find("\"caption\":\"\""));
    // Nothing after the copy step is written: no boot entry naming no driver,
    // no empty display instance.
    EXPECT_FALSE(FileExists(windows_ + "/system.ini"));
    EXPECT_FALSE(FileExists(prefix_ + "/registry.reg"));
    EXPECT_FALSE(FileExists(windows_ + "/SYSTEM/card.drv"));
}

TEST_F(InstallRun, MissingSectionsAreReported) {
    SetSetup("[WindowsDir]", "[Windows]");
    SetSetup("[Driver.AddReg]", "[Driver.AddRegs]");
    RunResult run = RunInProcess(disk_, prefix_);
    EXPECT_EQ((std::vector<std::string>{"Can't find section: [WindowsDir]", "Can't find section: [Driver.AddReg]",
                                        kDone}),
              run.MessageTexts());
    EXPECT_FALSE(FileExists(windows_ + "/SYSTEM/card.drv"));  // [SystemDir] is not worked on either
    EXPECT_EQ("", Reg(kClass + "0000", "Ver"));
    EXPECT_EQ("hex:03,12", Reg(kClass + "0000\\DEFAULT", "CHIPID"));  // the hardware step still runs
}

TEST_F(InstallRun, DiskettePromptsRepeatUntilCancelled) {
    unlink((disk_ + "/readme.txt").c_str());
    unlink((disk_ + "/card.in_").c_str());
    RunResult run = RunInProcess(disk_, prefix_, "cancel,ok,cancel");
    const std::string prompt1 = R"({"event":"message","caption":"Error","text":"Please insert the diskette labeled Disk 1 into A:","buttons":"okcancel","icon":"none","answer":"cancel"})";
    const std::string prompt2 = R"({"event":"message","caption":"Error","text":"Please insert the diskette labeled Disk 2 into A:","buttons":"okcancel","icon":"none","answer":)";
    std::vector<std::string> messages = run.Events("message");
    ASSERT_EQ(4u, messages.size());
    EXPECT_EQ(prompt1, messages[0]);
    EXPECT_EQ(prompt2 + "\"ok\"}", messages[1]);
    EXPECT_EQ(prompt2 + "\"cancel\"}", messages[2]);
    // Cancelling in [WindowsDir] skips only that section.
    EXPECT_EQ(DriverBytes(), ReadFile(windows_ + "/SYSTEM/card.drv"));
    EXPECT_FALSE(FileExists(windows_ + "/INF/oemsetup.inf"));
}

TEST_F(InstallRun, FailedCopiesAreReportedAndKeepTheOldFile) {
    WriteFile(windows_ + "/SYSTEM/card.drv", "old driver");
    WriteFile(windows_ + "/SYSTEM/readme.txt", "old readme");
    WriteFile(disk_ + "/card.dr_", MakeSzdd(DriverBytes(), 5000));    // states more than it holds
    WriteFile(disk_ + "/win/CARD.VX_", std::string("SZDD\x88\xF0\x27\x33\x41", 9));  // header cut short
    HostFailOperation(kHostReplaceFile, 2);  // the replace of readme.txt (the INF is the first)
    RunResult run = RunInProcess(disk_, prefix_);
    EXPECT_EQ((std::vector<std::string>{"Can't copy file: c:\\\\windows\\\\system\\\\card.drv",
                                        "Can't copy file: c:\\\\windows\\\\system\\\\card.vxd",
                                        "Can't copy file: c:\\\\windows\\\\system\\\\readme.txt", kDone}),
              run.MessageTexts());
    EXPECT_NE(std::string::npos, run.Events("message")[0].find("\"icon\":\"error\""));
    EXPECT_EQ("old driver", ReadFile(windows_ + "/SYSTEM/card.drv"));
    EXPECT_EQ("old readme", ReadFile(windows_ + "/SYSTEM/readme.txt"));
    EXPECT_FALSE(FileExists(windows_ + "/SYSTEM/CARD.VXd"));
    EXPECT_TRUE(Leftovers().empty());
    // Failed files add nothing to the progress: only the INF counted.
    EXPECT_EQ(R"({"event":"progress","position":25})", run.Events("progress").back());
    EXPECT_EQ(kInf, ReadFile(windows_ + "/INF/oemsetup.inf"));
}

TEST_F(InstallRun, NamesFromTheDiskStayInTheirDirectory) {
    WriteFile(root_ / "outside.dr_", "must not be read");
    SetSetup("OemsetupInf=oemsetup.inf", "OemsetupInf=..\\..\\evil.inf");
    WriteFile(disk_ + "/a:b.dr_", "colon");
    SetSetup("1,card.dr_\r\n", "1,card.dr_\r\n1,..\\..\\outside.dr_\r\n1,\r\n1,a:b.dr_\r\n1,sub\\\r\n");
    rmdir((windows_ + "/INF").c_str());
    RunResult run = RunInProcess(disk_, prefix_, "ok,cancel");
    EXPECT_EQ(kInf, ReadFile(windows_ + "/INF/evil.inf"));  // only the name is used; the inf directory is made anew
    std::vector<std::string> texts = run.MessageTexts();
    ASSERT_EQ(3u, texts.size());
    // ".." stops at A:'s root, where there is no such file.
    EXPECT_EQ("Please insert the diskette labeled Disk 1 into A:", texts[0]);
    EXPECT_EQ("Please insert the diskette labeled Disk 1 into A:", texts[1]);
    EXPECT_EQ(kDone, texts[2]);
    EXPECT_EQ(DriverBytes(), ReadFile(windows_ + "/SYSTEM/card.drv"));

    SetSetup("1,..\\..\\outside.dr_\r\n", "");
    SetSetup("OemsetupInf=..\\..\\evil.inf", "OemsetupInf=..");
    run = RunInProcess(disk_, prefix_);
    EXPECT_EQ((std::vector<std::string>{"Can't copy file: c:\\\\windows\\\\inf\\\\..",
                                        "Missing file name in section [SystemDir]",
                                        "Can't copy file: c:\\\\windows\\\\system\\\\a:b.drv",
                                        "Can't copy file: c:\\\\windows\\\\system\\\\", kDone}),
              run.MessageTexts());
    std::vector<std::string> expected = {"INF/evil.inf", "SYSTEM/CARD.VXd", "SYSTEM/card.drv", "SYSTEM/readme.txt",
                                         "system.ini"};
    EXPECT_EQ(expected, ListFiles(windows_));
}

TEST_F(InstallRun, DriverInfWithoutOemName) {
    SetSetup("OemsetupInf=oemsetup.inf\r\n", "");
    RunInProcess(disk_, prefix_);
    EXPECT_EQ(kInf, ReadFile(windows_ + "/INF/card.inf"));
}

TEST_F(InstallRun, OverlongFieldsAreRefusedAndTheRunGoesOn) {
    const std::string longName = std::string(128, 'n');
    SetSetup("2=Disk 2", "2=" + std::string(213, 'L'));
    SetSetup("OemsetupInf=oemsetup.inf", "OemsetupInf=" + longName);
    unlink((disk_ + "/readme.txt").c_str());
    SetSetup("1,card.dr_\r\n", "1,card.dr_\r\n1,x\\" + longName + ".dr_\r\n1," + std::string(260, 'p') + "\r\n");
    SetSetup("HKR,,Ver,,4.0\r\n", "HKR,,Ver,,4.0\r\nHKR,," + longName + ",,v\r\nHKR,,Long,," +
                                      std::string(300, 'w') + "\r\nHKR,,After,,yes\r\n");
    RunResult run = RunInProcess(disk_, prefix_);
    std::vector<std::string> texts = run.MessageTexts();
    ASSERT_EQ(7u, texts.size());
    EXPECT_EQ("File name too long in section [WindowsDir]: nnnnnnnnnnnn", texts[0].substr(0, 56));
    texts.erase(texts.begin());
    // A path the LZ service could not open (128 bytes or more) is refused
    // before any diskette prompt.
    EXPECT_EQ("Path too long in section [SystemDir]: x\\\\" + longName.substr(0, 10), texts[0].substr(0, 51));
    EXPECT_EQ("Line too long in section [SystemDir]: 1,ppp", texts[1].substr(0, 43));
    EXPECT_EQ("Diskette label too long for disk 2", texts[2]);
    EXPECT_EQ("Value name too long in section [Driver.AddReg]: HKR,,nnn", texts[3].substr(0, 56));
    EXPECT_EQ("Line too long in section [Driver.AddReg]: HKR,,Long,,www", texts[4].substr(0, 56));
    EXPECT_LT(texts[4].size(), 256u);
    EXPECT_EQ("\"yes\"", Reg(kClass + "0000", "After"));
    EXPECT_EQ(DriverBytes(), ReadFile(windows_ + "/SYSTEM/card.drv"));
}

TEST_F(InstallRun, InstancesAndHardwareKeys) {
    // Existing instances are skipped: 0000 and 0001 exist, 0002 is new.
    std::string seed = "REGEDIT4\r\n\r\n[" + kClass + "0000]\r\n\"Ver\"=\"3.1\"\r\n\r\n[" + kClass + "0001]\r\n";
    WriteFile(prefix_ + "/registry.reg", seed);
    SetSetup("PCIBUS=VEN_1A2B&DEV_0C0D\r\n", "PCIBUS=\r\n");
    SetSetup("ConfigFlags=00000010\r\n", "");
    SetSetup("CHIPID=0312\r\n", "");
    RunInProcess(disk_, prefix_);
    EXPECT_EQ("\"4.0\"", Reg(kClass + "0002", "Ver"));
    EXPECT_EQ("\"3.1\"", Reg(kClass + "0000", "Ver"));
    EXPECT_EQ("hex:", Reg(kClass + "0002\\DEFAULT", "CHIPID"));  // absent: empty, not left-over bytes
    EXPECT_EQ(std::string::npos, ReadFile(prefix_ + "/registry.reg").find("Enum"));
}

TEST_F(InstallRun, NoFreeInstanceSkipsTheRegistry) {
    std::string seed = "REGEDIT4\r\n";
    for (int i = 0; i < 9999; ++i) {
        char key[16];
        std::snprintf(key, sizeof key, "%04d", i);
        seed += "\r\n[" + kClass + key + "]\r\n";
    }
    WriteFile(prefix_ + "/registry.reg", seed);
    RunResult run = RunInProcess(disk_, prefix_);
    EXPECT_EQ((std::vector<std::string>{"Can't find a free display instance.", kDone}), run.MessageTexts());
    std::string reg = ReadFile(prefix_ + "/registry.reg");
    EXPECT_EQ(std::string::npos, reg.find("CHIPID"));
    EXPECT_EQ(std::string::npos, reg.find("Vorel"));
    EXPECT_EQ("[boot.description]\r\ndisplay.drv=Vorel Test 3D\r\n", ReadFile(windows_ + "/system.ini"));
}

TEST_F(InstallRun, DisplayPanelLaunch) {
    // A stand-in for Wine records how it was started.
    std::string bin = root_ / "bin";
    WriteFile(bin + "/wine", "#!/bin/sh\necho \"$WINEPREFIX|$*\" > \"" + root_.path() + "/launched\"\n");
    chmod((bin + "/wine").c_str(), 0755);
    WriteFile(prefix_ + "/system.reg", "WINE REGISTRY Version 2\n");  // only a Wine prefix is handed to Wine
    RunResult run = RunProgram(disk_, prefix_, "yes", {"PATH=" + bin});
    EXPECT_EQ(R"({"event":"launch","command":"CONTROL.EXE DESK.CPL,,3","started":true})", run.lines.back());
    for (int i = 0; i < 100 && !FileExists(root_ / "launched"); ++i) usleep(20000);
    EXPECT_EQ(prefix_ + "|CONTROL.EXE DESK.CPL,,3\n", ReadFile(root_ / "launched"));

    run = RunProgram(disk_, prefix_, "yes,no", {"PATH=" + root_ / "nowhere"});
    ASSERT_GE(run.lines.size(), 2u);
    EXPECT_EQ(R"({"event":"launch","command":"CONTROL.EXE DESK.CPL,,3","started":false})",
              run.lines[run.lines.size() - 2]);
    EXPECT_EQ(R"({"event":"message","caption":"Warning","text":"Unable to launch the Display Control Panel","buttons":"ok","icon":"none","answer":"ok"})",
              run.lines.back());
    EXPECT_EQ(0, run.exitCode);
}

TEST_F(InstallRun, WithoutADisplayTheProgramSaysHowToRun) {
    RunResult run = RunProgram(disk_, prefix_, "", {"VSETUP_UI=", "DISPLAY=", "WAYLAND_DISPLAY="});
    EXPECT_EQ(0, run.exitCode);
    EXPECT_TRUE(run.lines.empty());
    EXPECT_FALSE(FileExists(windows_));
}

TEST_F(InstallRun, ProgressNeedsATotalAndNeverWraps) {
    // 4294968 KB is more than 32 bits of bytes: a wrapped total would make
    // the first file count thousands of percent.
    SetSetup("SizeInKB=8", "SizeInKB=4294968");
    RunResult run = RunInProcess(disk_, prefix_);
    ASSERT_EQ(4u, run.Events("progress").size());
    for (const std::string& event : run.Events("progress")) EXPECT_EQ(R"({"event":"progress","position":0})", event);

    SetSetup("SizeInKB=4294968\r\n", "");
    run = RunInProcess(disk_, prefix_);
    EXPECT_TRUE(run.Events("progress").empty());
    EXPECT_EQ(DriverBytes(), ReadFile(windows_ + "/SYSTEM/card.drv"));
}

TEST_F(InstallRun, OverlongSourceDirectoryIsRefused) {
    std::string deep = root_ / std::string(120, 'd') + "/" + std::string(120, 'e');
    WriteFile(deep + "/setup.dat", kSetupDat);
    WriteFile(deep + "/card.dr_", MakeSzdd(DriverBytes()));
    RunResult run = RunInProcess(deep, prefix_);
    std::vector<std::string> texts = run.MessageTexts();
    ASSERT_EQ(3u, texts.size());
    EXPECT_EQ("Setup can't read its files: the path of the directory it was started from is too long.", texts[0]);
    EXPECT_EQ("Can't find section: [Prev.DelReg]", texts[1]);
    EXPECT_FALSE(FileExists(windows_ + "/SYSTEM/card.drv"));
}
