// The vsetup program killed at every point of its file output: before each
// write, rename and sync, and halfway through each write. Whatever the
// moment, every installed file is its old content or its complete new
// content, system.ini is the old or the new file whole, and registry.reg
// loads with every entry whose flush had finished. A complete run afterwards
// repairs everything.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/robust/robust_support.h"

namespace {

const char kOldSystemIni[] =
    "[boot]\r\nshell=Explorer.exe\r\n\r\n[boot.description]\r\ndisplay.drv=Standard Display Adapter (VGA)\r\n"
    "\r\n[386Enh]\r\ndevice=*vdd\r\n";
const char kOldRegistry[] =
    "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Old]\r\n\"Keep\"=\"yes\"\r\n\"Bytes\"=hex:01,02\r\n";

// One counted call of the program: its number, what it was, the file.
struct Call {
    long number;
    std::string kind;  // write, pwrite, rename, fsync, fdatasync
    std::string path;
    std::string what;  // copy, registry, system.ini
};

std::vector<Call> ReadLog(const std::string& file) {
    std::vector<Call> calls;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        Call call;
        fields >> call.number >> call.kind >> call.path;
        std::string second;
        if (fields >> second) call.path += " " + second;
        if (call.path.find("registry.reg") != std::string::npos) {
            call.what = "registry";
        } else if (call.path.find("system.ini") != std::string::npos) {
            call.what = "system.ini";
        } else if (call.path.find("~vs") != std::string::npos) {
            call.what = "copy";
        } else {
            // A directory's sync completes the step before it.
            call.what = calls.empty() ? "copy" : calls.back().what;
        }
        calls.push_back(call);
    }
    return calls;
}

bool IsLeftover(const std::string& relative) {
    size_t slash = relative.rfind('/');
    std::string name = slash == std::string::npos ? relative : relative.substr(slash + 1);
    return name.compare(0, 3, "~vs") == 0 || name.compare(0, 12, ".system.ini.") == 0;
}

// Every file of the Windows tree with its content. Temporary files that a
// kill left behind are not installed files and are left out.
std::map<std::string, std::string> WindowsFiles(const std::string& prefix) {
    std::map<std::string, std::string> files;
    std::string windows = prefix + "/drive_c/WINDOWS";
    for (const std::string& file : ListFiles(windows)) {
        if (!IsLeftover(file)) files[file] = ReadFile(windows + "/" + file);
    }
    return files;
}

class KillPoints : public ::testing::Test {
protected:
    void SetUp() override {
        disk_ = root_ / "disk";
        CopyTree(std::string(VSETUP_SOURCE_DIR) + "/examples/disk1", disk_);
    }

    // A prefix that reads the disk as A:; an upgrade finds an earlier
    // driver, system.ini and registry there.
    std::string MakePrefix(const std::string& name, bool upgrade) {
        std::string prefix = root_ / name;
        std::string windows = prefix + "/drive_c/WINDOWS";
        mkdir(prefix.c_str(), 0755);
        mkdir((prefix + "/dosdevices").c_str(), 0755);
        symlink(disk_.c_str(), (prefix + "/dosdevices/a:").c_str());
        if (upgrade) {
            WriteFile(windows + "/system.ini", kOldSystemIni);
            WriteFile(windows + "/SYSTEM/vorel.drv", "old driver");
            WriteFile(windows + "/SYSTEM/vorelui.dll", "old ui");
            WriteFile(windows + "/INF/oemsetup.inf", "old inf");
            WriteFile(windows + "/readme.txt", "old readme");
            WriteFile(prefix + "/registry.reg", kOldRegistry);
        }
        return prefix;
    }

    void RemovePrefix(const std::string& prefix) {
        std::system(("rm -rf '" + prefix + "'").c_str());
    }

    // Kills the program at every counted call of a complete installation
    // and checks what it left; prints how many kill points each step had.
    void KillEverywhere(bool upgrade) {
        // The complete run: its calls, what each registry flush made
        // durable, and the end state every killed run is measured against.
        std::string log = root_ / "calls.log";
        std::string snapshots = root_ / "snapshots";
        mkdir(snapshots.c_str(), 0755);
        std::string complete = MakePrefix("complete", upgrade);
        std::map<std::string, std::string> before = WindowsFiles(complete);
        RegEntries seeded;
        ASSERT_TRUE(LoadRegistry(complete + "/registry.reg", &seeded));
        ChildOptions counting;
        counting.preload = ROBUST_SHIM;
        counting.env = {"ROBUST_LOG=" + log, "ROBUST_SNAPSHOT=" + snapshots, "ROBUST_NO_SYNC=1"};
        RunResult run = RunVsetup(disk_, complete, counting);
        ASSERT_EQ(1u, run.MessageTexts().size()) << ::testing::PrintToString(run.MessageTexts());  // "Setup is complete."
        std::vector<Call> calls = ReadLog(log);
        ASSERT_GT(calls.size(), 20u);
        std::map<std::string, std::string> after = WindowsFiles(complete);
        RegEntries done;
        ASSERT_TRUE(LoadRegistry(complete + "/registry.reg", &done));
        ASSERT_EQ("", MissingEntries(seeded, done));
        std::map<long, RegEntries> flushed;  // by the number of the fsync that made it durable
        for (const Call& call : calls) {
            if (FileExists(snapshots + "/" + std::to_string(call.number)))
                flushed[call.number] = RegistryFromText(ReadFile(snapshots + "/" + std::to_string(call.number)));
        }
        ASSERT_GE(flushed.size(), 10u);
        ASSERT_EQ("", MissingEntries(flushed.rbegin()->second, done));

        std::map<std::string, int> covered;
        int torn = 0;
        for (const Call& call : calls) {
            bool is_write = call.kind == "write" || call.kind == "pwrite";
            for (int tear = 0; tear <= (is_write ? 1 : 0); ++tear) {
                SCOPED_TRACE("killed at call " + std::to_string(call.number) + (tear ? " halfway" : "") + ": " +
                             call.kind + " " + call.path);
                std::string prefix = MakePrefix("killed", upgrade);
                ChildOptions options;
                options.preload = ROBUST_SHIM;
                options.env = {"ROBUST_KILL_AT=" + std::to_string(call.number),
                               std::string("ROBUST_TEAR=") + (tear ? "1" : "0"), "ROBUST_NO_SYNC=1"};
                options.expectedExit = 128 + 9;  // SIGKILL
                RunVsetup(disk_, prefix, options);
                CheckKilled(prefix, before, after, seeded, done, flushed, call.number);
                if (HasFailure()) return;

                // Starting again completes the installation.
                ChildOptions quick;
                quick.preload = ROBUST_SHIM;
                quick.env = {"ROBUST_NO_SYNC=1"};
                RunResult again = RunVsetup(disk_, prefix, quick);
                EXPECT_EQ(1u, again.MessageTexts().size());
                EXPECT_EQ(after, WindowsFiles(prefix));
                RegEntries repaired;
                EXPECT_TRUE(LoadRegistry(prefix + "/registry.reg", &repaired));
                EXPECT_EQ("", MissingEntries(seeded, repaired));
                RemovePrefix(prefix);
                if (HasFailure()) return;
                ++covered[call.what];
                torn += tear;
            }
        }
        std::printf("[ kill points ] %s: %zu calls, %d kills (copy %d, registry %d, system.ini %d; %d torn writes)\n",
                    upgrade ? "upgrade" : "fresh prefix", calls.size(),
                    covered["copy"] + covered["registry"] + covered["system.ini"], covered["copy"],
                    covered["registry"], covered["system.ini"], torn);
        EXPECT_GT(covered["copy"], 0);
        EXPECT_GT(covered["registry"], 0);
        EXPECT_GT(covered["system.ini"], 0);
    }

    void CheckKilled(const std::string& prefix, const std::map<std::string, std::string>& before,
                     const std::map<std::string, std::string>& after, const RegEntries& seeded,
                     const RegEntries& done, const std::map<long, RegEntries>& flushed, long kill_at) {
        // Each file is as it was or as the complete run left it.
        std::map<std::string, std::string> files = WindowsFiles(prefix);
        for (const auto& file : files) {
            auto old_file = before.find(file.first);
            auto new_file = after.find(file.first);
            bool is_old = old_file != before.end() && old_file->second == file.second;
            bool is_new = new_file != after.end() && new_file->second == file.second;
            EXPECT_TRUE(is_old || is_new) << file.first << " holds " << file.second.size() << " bytes of neither version";
        }
        for (const auto& file : before) EXPECT_TRUE(files.count(file.first)) << file.first << " was lost";

        // The registry loads, holds nothing the complete run does not, and
        // keeps everything flushed before the kill.
        RegEntries entries;
        ASSERT_TRUE(LoadRegistry(prefix + "/registry.reg", &entries));
        EXPECT_EQ("", MissingEntries(entries, done));
        EXPECT_EQ("", MissingEntries(seeded, entries));
        auto last = flushed.lower_bound(kill_at);
        if (last != flushed.begin()) {
            EXPECT_EQ("", MissingEntries(std::prev(last)->second, entries));
        }
    }

    TempDir root_;
    std::string disk_;
};

}  // namespace

TEST_F(KillPoints, UpgradeKilledAnywhereLosesNothing) { KillEverywhere(true); }

TEST_F(KillPoints, FreshInstallKilledAnywhereLosesNothing) { KillEverywhere(false); }
