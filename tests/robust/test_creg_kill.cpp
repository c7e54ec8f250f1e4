// An installation into a Windows system's own SYSTEM.DAT, killed at every
// point of its file output (see kill_shim.c): SYSTEM.DAT is always the old
// file or the complete run's new one, byte for byte, and what the next start
// finds (the file with its journal replayed) holds everything that a flush had
// made durable before the kill, and nothing the complete run does not write.
// A complete run afterwards finishes the job with a file both readers load.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/creg_support.h"
#include "tests/test_support.h"

namespace {

// Runs vsetup with the kill shim preloaded (before a sanitized program's
// runtime, which only passes calls on) and the shim's settings.
RunResult Shimmed(const std::string& disk, const std::string& prefix, std::vector<std::string> env) {
    const char* asan = std::getenv("ASAN_OPTIONS");
    env.push_back("LD_PRELOAD=" ROBUST_SHIM);
    env.push_back("ROBUST_NO_SYNC=1");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan && *asan ? std::string(asan) + ":" : "") +
                  "verify_asan_link_order=0");
    return RunProgram(disk, prefix, "", env);
}

std::string Missing(const std::set<std::string>& part, const std::set<std::string>& whole) {
    for (const std::string& entry : part) {
        if (!whole.count(entry)) return entry;
    }
    return "";
}

class CregKillPoints : public ::testing::Test {
protected:
    void SetUp() override {
        disk_ = root_ / "disk";
        std::filesystem::copy(VSETUP_SOURCE_DIR "/examples/disk1", disk_, std::filesystem::copy_options::recursive);
        ASSERT_TRUE(GenerateHive(root_ / "SYSTEM.DAT"));
        original_ = ReadFile(root_ / "SYSTEM.DAT");
    }

    std::string MakePrefix(const std::string& name) {
        std::string prefix = root_ / name;
        std::filesystem::remove_all(prefix);
        WriteFile(prefix + "/drive_c/WINDOWS/SYSTEM.DAT", original_);
        mkdir((prefix + "/dosdevices").c_str(), 0755);
        symlink(disk_.c_str(), (prefix + "/dosdevices/a:").c_str());
        return prefix;
    }

    TempDir root_;
    std::string disk_;
    std::string original_;
};

TEST_F(CregKillPoints, KilledAnywhereLeavesAWholeRegistryAndKeepsEveryFlush) {
    const std::set<std::string> seeded = HiveEntries(root_ / "SYSTEM.DAT");
    std::string log = root_ / "calls.log";
    std::string snapshots = root_ / "snapshots";
    mkdir(snapshots.c_str(), 0755);
    std::string complete = MakePrefix("complete");
    RunResult run = Shimmed(disk_, complete, {"ROBUST_LOG=" + log, "ROBUST_SNAPSHOT=" + snapshots});
    ASSERT_EQ(1u, run.MessageTexts().size());
    EXPECT_FALSE(FileExists(complete + "/registry.reg"));
    const std::string after = ReadFile(complete + "/drive_c/WINDOWS/SYSTEM.DAT");
    EXPECT_EQ(original_, ReadFile(complete + "/drive_c/WINDOWS/SYSTEM.VS0"));
    Oracle(complete + "/drive_c/WINDOWS/SYSTEM.DAT");
    const std::set<std::string> done = HiveEntries(complete + "/drive_c/WINDOWS/SYSTEM.DAT");
    ASSERT_EQ("", Missing(seeded, done));

    // Each call of the complete run ("<n> <call> <path>..."); for each
    // journal sync, what it made durable: the old file with the journal as it
    // then was.
    std::vector<std::string> calls = SplitLines(ReadFile(log));
    std::map<long, std::set<std::string>> flushed;
    for (const std::string& call : calls) {
        std::string snapshot = snapshots + "/" + call.substr(0, call.find(' '));
        if (!FileExists(snapshot)) continue;
        TempDir replay;
        WriteFile(replay / "SYSTEM.DAT", original_);
        WriteFile(replay / "SYSTEM.VSJ", ReadFile(snapshot));
        flushed[std::stol(call)] = HiveEntries(replay / "SYSTEM.DAT");
    }
    ASSERT_GE(flushed.size(), 5u);
    ASSERT_EQ("", Missing(flushed.rbegin()->second, done));

    int kills = 0, oldFile = 0, journal = 0, replacement = 0;
    for (const std::string& call : calls) {
        const long number = std::stol(call);
        const bool isWrite = call.find(" write ") != std::string::npos;
        for (int tear = 0; tear <= (isWrite ? 1 : 0); ++tear) {
            SCOPED_TRACE("killed at call " + call + (tear ? " halfway" : ""));
            std::string prefix = MakePrefix("killed");
            std::string dat = prefix + "/drive_c/WINDOWS/SYSTEM.DAT";
            EXPECT_EQ(128 + 9, Shimmed(disk_, prefix,
                                       {"ROBUST_KILL_AT=" + std::to_string(number),
                                        std::string("ROBUST_TEAR=") + (tear ? "1" : "0")})
                                   .exitCode);
            const std::string left = ReadFile(dat);
            EXPECT_TRUE(left == original_ || left == after) << "SYSTEM.DAT is neither the old file nor the new one";
            if (left == original_) ++oldFile;

            std::set<std::string> found = HiveEntries(dat);
            EXPECT_EQ("", Missing(found, done));
            EXPECT_EQ("", Missing(seeded, found));
            auto last = flushed.lower_bound(number);
            if (last != flushed.begin()) {
                EXPECT_EQ("", Missing(std::prev(last)->second, found));
            }

            EXPECT_EQ(1u, Shimmed(disk_, prefix, {}).MessageTexts().size());
            EXPECT_FALSE(FileExists(prefix + "/drive_c/WINDOWS/SYSTEM.VSJ"));
            EXPECT_EQ("", Missing(seeded, HiveEntries(dat)));
            if (kills % 10 == 0) Oracle(dat);
            if (HasFailure()) return;
            ++kills;
            if (call.find("SYSTEM.VSJ") != std::string::npos) ++journal;
            if (call.find("SYSTEM.VST") != std::string::npos) ++replacement;
        }
    }
    std::printf(
        "[ kill points ] SYSTEM.DAT: %zu calls, %d kills, %d in the journal, %d in the replacement, %d left "
        "the old file\n",
        calls.size(), kills, journal, replacement, oldFile);
    EXPECT_GT(journal, 0);
    EXPECT_GT(replacement, 0);
    EXPECT_LT(oldFile, kills);
}

}  // namespace
