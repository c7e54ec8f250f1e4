// Installation runs that the golden scenarios (tests/golden) cannot state as
// data: a failure injected into the host backend, and a line of ten
// megabytes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/host/host_fault.h"
#include "tests/test_support.h"

namespace {

const std::string kCard = VSETUP_SOURCE_DIR "/tests/disks/card";
const char kDone[] = "Setup is complete.\\n\\nWould you like to run Display control panel right now?";

class InstallRun : public ::testing::Test {
protected:
    void SetUp() override {
        prefix_ = root_ / "prefix";
        windows_ = prefix_ + "/drive_c/WINDOWS";
        mkdir(prefix_.c_str(), 0755);
        mkdir((prefix_ + "/dosdevices").c_str(), 0755);
        symlink(kCard.c_str(), (prefix_ + "/dosdevices/a:").c_str());
    }
    void TearDown() override {
        for (int op = 0; op < kHostOperationCount; ++op) HostFailOperation(static_cast<HostOperation>(op), 0);
    }

    TempDir root_;
    std::string prefix_;
    std::string windows_;
};

}  // namespace

TEST_F(InstallRun, AFailedReplaceIsReportedAndKeepsTheOldFile) {
    WriteFile(windows_ + "/SYSTEM/readme.txt", "old readme");
    HostFailOperation(kHostReplaceFile, 4);  // the fourth file, readme.txt
    RunResult run = RunInProcess(kCard, prefix_);
    EXPECT_EQ((std::vector<std::string>{"Can't copy file: c:\\\\windows\\\\system\\\\readme.txt", kDone}),
              run.MessageTexts());
    EXPECT_EQ("old readme", ReadFile(windows_ + "/SYSTEM/readme.txt"));
    for (const std::string& file : ListFiles(windows_)) EXPECT_EQ(std::string::npos, file.find("~vs")) << file;
    EXPECT_EQ(R"({"event":"progress","position":102})", run.Events("progress").back());
}

TEST_F(InstallRun, TenMegabytesInOneLine) {
    // The line is refused with a message, and the list goes on after it.
    std::string disk = root_ / "disk";
    std::string setup = ReadFile(kCard + "/setup.dat");
    setup.insert(setup.find("1,card.in_"), std::string(10 * 1024 * 1024, '1') + "\r\n");
    WriteFile(disk + "/setup.dat", setup);
    WriteFile(disk + "/card.in_", ReadFile(kCard + "/card.in_"));
    RunResult run = RunInProcess(disk, prefix_, "cancel,cancel");
    std::vector<std::string> texts = run.MessageTexts();
    ASSERT_EQ(3u, texts.size());  // the line, a prompt for card.dr_ (cancelled), the end
    EXPECT_EQ("Line too long in section [WindowsDir]: 1111", texts[0].substr(0, 43));
    EXPECT_LT(texts[0].size(), 256u);
    EXPECT_EQ(ReadFile(VSETUP_SOURCE_DIR "/tests/golden/card-install/expect/prefix/drive_c/WINDOWS/INF/oemsetup.inf"),
              ReadFile(windows_ + "/INF/oemsetup.inf"));
}
