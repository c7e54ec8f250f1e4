// Hostile driver disks, each installed end to end by the vsetup program:
// names that climb out of their directory, fields one byte over every limit,
// control bytes and broken line ends, a huge setup.dat, a compressed file
// claiming 4 GB, and a prefix whose directories are links to elsewhere.
// Whatever the disk holds, nothing outside the prefix changes (a sibling
// directory that drive D: maps, and the disk itself), the prefix holds files
// only in the Windows tree and registry.reg, and the run ends normally.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "tests/robust/robust_support.h"

using namespace std::string_literals;

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
    "1,card.in_\r\n"
    "1,readme.txt\r\n"
    "[SystemDir]\r\n"
    "1,card.dr_\r\n"
    "[Prev.DelReg]\r\n"
    "[Driver.AddReg]\r\n"
    "HKR,,Ver,,4.0\r\n"
    "HKLM,Software\\Vorel,Version,,1.0\r\n";

const char kInf[] = "[Version]\r\nSignature=\"$CHICAGO$\"\r\nClass=DISPLAY\r\n";
const std::string kClass = "hkey_local_machine\\system\\currentcontrolset\\services\\class\\display\\0000";
const char kDone[] = "Setup is complete.\\n\\nWould you like to run Display control panel right now?";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    if (at == std::string::npos) ADD_FAILURE() << "no " << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

std::string CantCopy(const std::string& where) { return "Can't copy file: c:\\\\windows\\\\" + where; }

class HostileDisk : public ::testing::Test {
protected:
    void SetUp() override {
        disk_ = root_ / "disk";
        prefix_ = root_ / "prefix";
        outside_ = root_ / "outside";
        windows_ = prefix_ + "/drive_c/WINDOWS";
        WriteFile(disk_ + "/card.in_", MakeSzdd(kInf));
        WriteFile(disk_ + "/card.dr_", MakeSzdd("driver bytes"));
        WriteFile(disk_ + "/readme.txt", "Vorel readme\r\n");
        // What a climbing name would reach: files named like the ones
        // installed, in a directory that drive D: maps.
        WriteFile(outside_ + "/passwd", "root:x:0:0\n");
        WriteFile(outside_ + "/system.ini", "[boot]\r\n");
        WriteFile(outside_ + "/card.drv", "not the driver");
        WriteFile(outside_ + "/registry.reg", "REGEDIT4\r\n");
        WriteFile(outside_ + "/inf/oemsetup.inf", "outside");
        mkdir((outside_ + "/win").c_str(), 0755);
        mkdir((outside_ + "/sys").c_str(), 0755);
        mkdir(prefix_.c_str(), 0755);
        mkdir((prefix_ + "/dosdevices").c_str(), 0755);
        symlink(disk_.c_str(), (prefix_ + "/dosdevices/a:").c_str());
        symlink(outside_.c_str(), (prefix_ + "/dosdevices/d:").c_str());
    }

    // Runs the installer from disk_ (or a directory in it) on setup_dat
    // and checks what every hostile run must keep.
    RunResult Install(const std::string& setup_dat, const std::string& answers = "",
                      const std::string& from = "") {
        std::string start = from.empty() ? disk_ : from;
        WriteFile(start + "/setup.dat", setup_dat);
        std::map<std::string, std::string> outside = SnapshotTree(outside_);
        std::map<std::string, std::string> disk = SnapshotTree(disk_);
        ChildOptions options;
        options.answers = answers;
        RunResult run = RunVsetup(start, prefix_, options);
        EXPECT_TRUE(outside == SnapshotTree(outside_)) << "a file outside the prefix changed";
        EXPECT_TRUE(disk == SnapshotTree(disk_)) << "the disk changed";
        for (const std::string& file : ListFiles(prefix_)) {
            bool allowed = file.compare(0, 15, "drive_c/WINDOWS") == 0 || file == "registry.reg" ||
                           file.compare(0, 11, "dosdevices/") == 0;
            EXPECT_TRUE(allowed) << "written into the prefix: " << file;
            EXPECT_EQ(std::string::npos, file.find("~vs")) << "left behind: " << file;
        }
        if (!run.lines.empty()) {
            EXPECT_NE(std::string::npos, run.lines.back().find("Setup is complete"));
        }
        return run;
    }

    RegEntries Registry() {
        RegEntries entries;
        EXPECT_TRUE(LoadRegistry(prefix_ + "/registry.reg", &entries));
        return entries;
    }

    std::vector<std::string> WindowsFiles() { return ListFiles(windows_); }

    TempDir root_;
    std::string disk_;
    std::string prefix_;
    std::string outside_;
    std::string windows_;
};

}  // namespace

TEST_F(HostileDisk, NamesThatClimbOutKeepOnlyTheirLastPart) {
    // Each source is looked for below A:'s root, where ".." stops; only the
    // last part of its name is installed.
    WriteFile(disk_ + "/outside/evil.in_", MakeSzdd("evil"));
    WriteFile(disk_ + "/D:/passwd", "disk passwd");
    WriteFile(disk_ + "/escape.txt", "escape");
    WriteFile(disk_ + "/etc/hostname", "disk hostname");
    std::string setup = Replace(kSetupDat, "1,readme.txt\r\n",
                                "1,readme.txt\r\n"
                                "1,..\\..\\..\\outside\\evil.in_\r\n"
                                "1,D:\\passwd\r\n"
                                "1,C:\\WINDOWS\\..\\..\\..\\escape.txt\r\n"
                                "1,/etc/hostname\r\n"
                                "1,\\..\\escape.txt\r\n"
                                "1,..\r\n"
                                "1,sub\\..\r\n");
    setup = Replace(setup, "DriverInf=card.inf", "DriverInf=..\\..\\card.inf");
    RunResult run = Install(setup);
    EXPECT_EQ((std::vector<std::string>{CantCopy(".."), CantCopy(".."), kDone}), run.MessageTexts());
    EXPECT_EQ((std::vector<std::string>{"SYSTEM/card.drv", "card.inf", "escape.txt", "evil.inf", "hostname",
                                        "passwd", "readme.txt", "system.ini"}),
              WindowsFiles());
    EXPECT_EQ("disk passwd", ReadFile(windows_ + "/passwd"));

    // The OEM name of the driver's INF: only its last part, in the inf
    // directory; a drive letter alone is no name.
    for (const char* oem : {"D:\\evil.inf", "..\\..\\..\\..\\outside\\inf\\oemsetup.inf", "\\\\server\\share\\x.inf",
                                   "D:..\\win\\y.inf", "C:/WINDOWS/../../z.inf"}) {
        Install(Replace(kSetupDat, "OemsetupInf=oemsetup.inf", std::string("OemsetupInf=") + oem));
    }
    RunResult drive = Install(Replace(kSetupDat, "OemsetupInf=oemsetup.inf", "OemsetupInf=D:"));
    EXPECT_EQ((std::vector<std::string>{CantCopy("inf\\\\d:"), kDone}), drive.MessageTexts());
    std::vector<std::string> files = WindowsFiles();
    std::vector<std::string> infs;
    std::copy_if(files.begin(), files.end(), std::back_inserter(infs),
                 [](const std::string& f) { return f.compare(0, 4, "INF/") == 0; });
    EXPECT_EQ((std::vector<std::string>{"INF/evil.inf", "INF/oemsetup.inf", "INF/x.inf", "INF/y.inf", "INF/z.inf"}),
              infs);
    EXPECT_EQ(kInf, ReadFile(windows_ + "/INF/oemsetup.inf"));
}

TEST_F(HostileDisk, EveryFieldOneByteOverItsLimitIsRefused) {
    // Each limit holds with the field exactly at it and refuses one byte
    // more. Paths the LZ service opens hold at most 127 bytes: a source
    // path "A:\" + 124, a destination "C:\WINDOWS\SYSTEM\" + 109.
    const std::string source127 = std::string(10, 'p') + "\\" + std::string(113, 'q');
    const std::string source128 = std::string(11, 'p') + "\\" + std::string(113, 'q');
    const std::string name109 = std::string(105, 'n') + ".txt";
    const std::string name110 = std::string(106, 'm') + ".txt";
    WriteFile(disk_ + "/" + std::string(10, 'p') + "/" + std::string(113, 'q'), "long source");
    WriteFile(disk_ + "/" + name109, "long name");
    WriteFile(disk_ + "/" + name110, "longer name");
    const std::string line255 = "1,readme.txt" + std::string(241, ' ') + "\r\n";  // with its line end
    const std::string line256 = "1,card.in_" + std::string(244, ' ') + "\r\n";
    std::string setup = Replace(kSetupDat, "1,card.in_\r\n1,readme.txt\r\n",
                                line255 + line256 + "1," + source127 + "\r\n1," + source128 + "\r\n");
    setup = Replace(setup, "1,card.dr_\r\n",
                    "1," + name109 + "\r\n1," + name110 + "\r\n2,card.dr_\r\n2,missing.dr_\r\n1,missing.txt\r\n");
    const std::string label212 = std::string(212, 'L');
    setup = Replace(setup, "1=Disk 1", "1=" + label212);
    setup = Replace(setup, "2=Disk 2", "2=" + std::string(213, 'M'));
    const std::string value127 = std::string(127, 'v');
    setup = Replace(setup, "HKR,,Ver,,4.0\r\n",
                    "HKR,,Ver,,4.0\r\nHKR,," + value127 + ",,ok\r\nHKR,," + std::string(128, 'w') + ",,no\r\n");
    setup = Replace(setup, "PCIBUS=VEN_1A2B&DEV_0C0D", "PCIBUS=" + std::string(247, 'B'));
    RunResult run = Install(setup, "cancel");
    std::vector<std::string> texts = run.MessageTexts();
    ASSERT_EQ(8u, texts.size());
    EXPECT_EQ("Line too long in section [WindowsDir]: 1,card.in_", texts[0].substr(0, 49));
    EXPECT_EQ("Path too long in section [WindowsDir]: ppppppppppp\\\\q", texts[1].substr(0, 53));
    EXPECT_EQ("Path too long in section [SystemDir]: mmm", texts[2].substr(0, 41));
    EXPECT_EQ("Diskette label too long for disk 2", texts[3]);
    EXPECT_EQ("Please insert the diskette labeled " + label212 + " into A:", texts[4]);
    EXPECT_EQ("Value name too long in section [Driver.AddReg]: HKR,,www", texts[5].substr(0, 56));
    EXPECT_EQ("Path too long in section [Extra]: BBB", texts[6].substr(0, 37));
    EXPECT_EQ(kDone, texts[7]);
    for (const std::string& text : texts) EXPECT_LT(text.size(), 256u);
    EXPECT_EQ("Vorel readme\r\n", ReadFile(windows_ + "/readme.txt"));
    EXPECT_EQ("long source", ReadFile(windows_ + "/" + std::string(113, 'q')));
    EXPECT_EQ("long name", ReadFile(windows_ + "/SYSTEM/" + name109));
    EXPECT_EQ("driver bytes", ReadFile(windows_ + "/SYSTEM/card.drv"));
    RegEntries registry = Registry();
    EXPECT_EQ("\"ok\"", registry[kClass][value127]);
    EXPECT_EQ(0u, registry[kClass].count(std::string(127, 'w')));

    // The OEM name of the INF: a name part over 127 bytes, and a path in the
    // inf directory over 127 bytes ("C:\WINDOWS\inf\" + 112 fits).
    const std::map<size_t, std::string> oem = {{112, kDone},
                                               {113, "Path too long in section [WindowsDir]: oooo"},
                                               {128, "File name too long in section [WindowsDir]: oooo"}};
    for (const auto& expected : oem) {
        run = Install(Replace(kSetupDat, "OemsetupInf=oemsetup.inf", "OemsetupInf=" + std::string(expected.first, 'o')));
        EXPECT_EQ(expected.second, run.MessageTexts()[0].substr(0, expected.second.size()));
    }
    EXPECT_EQ(kInf, ReadFile(windows_ + "/INF/" + std::string(112, 'o')));

    // The start-up directory: 245 characters leave room for "\setup.dat",
    // 246 do not (and no file can be copied from so deep).
    std::string base = disk_ + "/" + std::string(100, 'd') + "/" + std::string(100, 'e');
    std::string at245 = base + "/" + std::string(40, 'f');  // A:\ + 100 + 1 + 100 + 1 + 40
    std::string at246 = base + "/" + std::string(41, 'f');
    std::string simple = Replace(Replace(kSetupDat, "1,card.in_\r\n", ""), "1,card.dr_\r\n", "");
    simple = Replace(simple, "ProductName=Vorel Test 3D", "ProductName=Deep");
    run = Install(simple, "", at245);
    EXPECT_EQ((std::vector<std::string>{"Path too long in section [WindowsDir]: readme.txt", kDone}),
              run.MessageTexts());
    EXPECT_NE(std::string::npos, run.lines.back().find("\"caption\":\"Deep\""));  // setup.dat was read
    run = Install(simple, "", at246);
    EXPECT_EQ("Setup can't read its files: the path of the directory it was started from is too long.",
              run.MessageTexts()[0]);
    EXPECT_NE(std::string::npos, run.lines.back().find("\"caption\":\"\""));
}

TEST_F(HostileDisk, ControlBytesAndLineEnds) {
    // LF alone ends lines as CR LF does.
    std::string lf;
    for (char c : std::string(kSetupDat)) {
        if (c != '\r') lf += c;
    }
    RunResult run = Install(lf);
    EXPECT_EQ(std::vector<std::string>{kDone}, run.MessageTexts());
    EXPECT_EQ("driver bytes", ReadFile(windows_ + "/SYSTEM/card.drv"));
    EXPECT_EQ("\"1.0\"", Registry()["hkey_local_machine\\software\\vorel"]["version"]);

    // CR alone ends no line: the whole file is one line without sections.
    std::string cr = lf;
    std::replace(cr.begin(), cr.end(), '\n', '\r');
    run = Install(cr);
    EXPECT_EQ((std::vector<std::string>{"Can't find section: [WindowsDir]", "Can't find section: [Prev.DelReg]",
                                        kDone}),
              run.MessageTexts());

    // 0x1A ends the list text; the profile reader goes on past it.
    std::string eof = Replace(kSetupDat, "[SystemDir]", std::string("\x1A", 1) + "[SystemDir]");
    run = Install(eof);
    EXPECT_EQ((std::vector<std::string>{"Can't find section: [SystemDir]", "Can't find section: [Prev.DelReg]",
                                        kDone}),
              run.MessageTexts());

    // Zero bytes end a line's text where they stand.
    std::string zeros = Replace(kSetupDat, "1,readme.txt\r\n", "1,readme.txt\0../../x\r\n\0\0\r\n"s);
    zeros = Replace(zeros, "HKR,,Ver,,4.0", "HKR,,Ver,,4.\0\x1A" "1"s);
    zeros = Replace(zeros, "ProductName=Vorel", "ProductName=Vo\0rel"s);
    zeros = Replace(zeros, "[Source Media", "\0[Source Media"s);
    WriteFile(windows_ + "/readme.txt", "old");
    run = Install(zeros);
    EXPECT_EQ(std::vector<std::string>{kDone}, run.MessageTexts());
    EXPECT_NE(std::string::npos, run.lines.back().find("\"caption\":\"Vo\""));
    EXPECT_EQ("Vorel readme\r\n", ReadFile(windows_ + "/readme.txt"));
    // Runs above took instances 0000 to 0002; the text ends at 0x1A.
    RegEntries registry = Registry();
    EXPECT_EQ("\"4.\"", registry[kClass.substr(0, kClass.size() - 1) + "3"]["ver"]);
}

TEST_F(HostileDisk, TenMegabytesInOneLine) {
    std::string huge(10 * 1024 * 1024, '1');
    RunResult run = Install(huge);
    EXPECT_EQ((std::vector<std::string>{"Can't find section: [WindowsDir]", "Can't find section: [Prev.DelReg]",
                                        kDone}),
              run.MessageTexts());

    // The same line inside a copy list is refused and the list goes on.
    run = Install(Replace(kSetupDat, "[WindowsDir]\r\n", "[WindowsDir]\r\n" + huge + "\r\n"));
    std::vector<std::string> texts = run.MessageTexts();
    ASSERT_EQ(2u, texts.size());
    EXPECT_EQ("Line too long in section [WindowsDir]: 1111", texts[0].substr(0, 43));
    EXPECT_EQ("Vorel readme\r\n", ReadFile(windows_ + "/readme.txt"));
}

TEST_F(HostileDisk, CompressedFileClaimingFourGigabytes) {
    WriteFile(windows_ + "/SYSTEM/card.drv", "old driver");
    WriteFile(disk_ + "/card.dr_", MakeSzdd(std::string(5000, 'd'), 0xFFFFFFFFLL));
    RunResult run = Install(kSetupDat);
    EXPECT_EQ((std::vector<std::string>{CantCopy("system\\\\card.drv"), kDone}), run.MessageTexts());
    EXPECT_EQ("old driver", ReadFile(windows_ + "/SYSTEM/card.drv"));
}

TEST_F(HostileDisk, LinksInThePrefixAreNotWrittenThrough) {
    // The System and inf directories, system.ini and an installed file are
    // links to outside the prefix: each write there is refused and reported.
    std::system(("mkdir -p '" + windows_ + "'").c_str());
    symlink((outside_ + "/sys").c_str(), (windows_ + "/SYSTEM").c_str());
    symlink((outside_ + "/inf").c_str(), (windows_ + "/INF").c_str());
    symlink((outside_ + "/system.ini").c_str(), (windows_ + "/system.ini").c_str());
    RunResult run = Install(kSetupDat);
    EXPECT_EQ((std::vector<std::string>{CantCopy("inf\\\\oemsetup.inf"), CantCopy("system\\\\card.drv"),
                                        "Can't write the display entry to system.ini.", kDone}),
              run.MessageTexts());
    EXPECT_EQ("Vorel readme\r\n", ReadFile(windows_ + "/readme.txt"));

    unlink((windows_ + "/SYSTEM").c_str());
    mkdir((windows_ + "/SYSTEM").c_str(), 0755);
    symlink((outside_ + "/card.drv").c_str(), (windows_ + "/SYSTEM/card.drv").c_str());
    run = Install(kSetupDat);
    EXPECT_EQ(CantCopy("system\\\\card.drv"), run.MessageTexts()[1]);

    // The Windows directory itself leads outside: nothing is created there
    // and every write is reported.
    std::system(("rm -rf '" + windows_ + "' '" + prefix_ + "/registry.reg'").c_str());
    symlink((outside_ + "/win").c_str(), windows_.c_str());
    run = Install(kSetupDat);
    EXPECT_EQ((std::vector<std::string>{CantCopy("inf\\\\oemsetup.inf"), CantCopy("readme.txt"),
                                        CantCopy("system\\\\card.drv"), "Can't write the display entry to system.ini.",
                                        kDone}),
              run.MessageTexts());
    EXPECT_EQ("\"4.0\"", Registry()[kClass]["ver"]);

    // registry.reg is written in place: as a link it stops the program
    // before anything is written.
    std::system(("rm -f '" + prefix_ + "/registry.reg'").c_str());
    symlink((outside_ + "/registry.reg").c_str(), (prefix_ + "/registry.reg").c_str());
    std::map<std::string, std::string> outside = SnapshotTree(outside_);
    ChildOptions refused;
    refused.expectedExit = 1;
    run = RunVsetup(disk_, prefix_, refused);
    EXPECT_TRUE(run.lines.empty());
    EXPECT_TRUE(outside == SnapshotTree(outside_));
}
