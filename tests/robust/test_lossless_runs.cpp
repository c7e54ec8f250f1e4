// Whole runs of the vsetup program where a user's data is at stake and that
// golden scenarios cannot express: links, FIFOs, huge sparse files, owners,
// signals, concurrent runs, lost transcripts and the Wine launch.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/robust/robust_support.h"

namespace {

const std::string kDisk = std::string(VSETUP_SOURCE_DIR) + "/examples/disk1";
const std::string kClass = "hkey_local_machine\\system\\currentcontrolset\\services\\class\\display\\";

// Makes count directories named name inside each other below dir.
void MakeChain(int dir, const std::string& name, int count) {
    int fd = dup(dir);
    for (int i = 0; i < count; ++i) {
        mkdirat(fd, name.c_str(), 0755);
        int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        ASSERT_GE(next, 0);
        fd = next;
    }
    close(fd);
}

// Removes the directory name of dir and everything in it, however deep: by
// descriptors, as paths below it grow longer than a path may be.
void RemoveDeep(int dir, const char* name) {
    int fd = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd >= 0) {
        DIR* listing = fdopendir(fd);
        while (struct dirent* entry = listing ? readdir(listing) : nullptr) {
            std::string child = entry->d_name;
            if (child == "." || child == "..") continue;
            if (unlinkat(fd, child.c_str(), 0) != 0) RemoveDeep(fd, child.c_str());  // a directory
        }
        if (listing) closedir(listing);
    }
    unlinkat(dir, name, AT_REMOVEDIR);
}

std::string Repeat(const std::string& part, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += (i ? "/" : "") + part;
    return out;
}

TEST(LosslessRuns, APrefixThatCannotBeResolvedStopsStartUp) {
    // prefix -> a/b, a -> 15 levels of long names, b -> 10 more: every link
    // is short, the resolved path is longer than a path may be.
    TempDir root;
    const std::string d(200, 'd');
    const std::string e(200, 'e');
    int fd = open(root.path().c_str(), O_RDONLY | O_DIRECTORY);
    MakeChain(fd, d, 15);
    ASSERT_EQ(0, symlink(Repeat(d, 15).c_str(), (root / "a").c_str()));
    int bottom = openat(fd, Repeat(d, 15).c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(bottom, 0);
    MakeChain(bottom, e, 10);
    ASSERT_EQ(0, symlinkat(Repeat(e, 10).c_str(), bottom, "b"));
    close(bottom);
    close(fd);
    ASSERT_EQ(0, symlink("a/b", (root / "prefix").c_str()));
    struct stat st;
    ASSERT_EQ(0, stat((root / "prefix").c_str(), &st));  // it does lead to a directory

    ChildOptions options;
    options.expectedExit = 1;
    RunResult run = RunVsetup(kDisk, root / "prefix", options);
    EXPECT_TRUE(run.lines.empty());
    EXPECT_FALSE(FileExists("/registry.reg"));
    EXPECT_FALSE(FileExists("/drive_c"));
    int top = open(root.path().c_str(), O_RDONLY | O_DIRECTORY);
    RemoveDeep(top, d.c_str());
    close(top);
}

TEST(LosslessRuns, ConcurrentRunsTakeTurnsAndLoseNoWrite) {
    TempDir root;
    const std::string prefix = root / "prefix";
    std::vector<RunResult> runs(6);
    std::vector<std::thread> threads;
    for (RunResult& run : runs) threads.emplace_back([&] { run = RunProgram(kDisk, prefix); });
    for (std::thread& thread : threads) thread.join();
    for (const RunResult& run : runs) EXPECT_EQ(0, run.exitCode);
    RegEntries entries;
    ASSERT_TRUE(LoadRegistry(prefix + "/registry.reg", &entries));
    for (int i = 0; i < 6; ++i) EXPECT_EQ("\"4.0\"", entries[kClass + "000" + std::to_string(i)]["ver"]) << i;
    EXPECT_FALSE(FileExists(prefix + "/vsetup.journal"));
}

const char kSetupDat[] =
    "[Product]\r\nProductName=Vorel Test 3D\r\nDriverInf=card.inf\r\nOemsetupInf=oemsetup.inf\r\n"
    "[Source Media Descriptions]\r\n1=Disk 1\r\n"
    "[Extra]\r\nCHIPID=0312\r\n"
    "[WindowsDir]\r\n1,readme.txt\r\n"
    "[SystemDir]\r\n1,card.drv\r\n1,card.cpl\r\n"
    "[Prev.DelReg]\r\n"
    "[Driver.AddReg]\r\nHKR,,Ver,,4.0\r\n";

std::string Done() { return "Setup is complete.\\n\\nWould you like to run Display control panel right now?"; }

// A small disk and an empty prefix; a run that blocks is stopped by an alarm.
struct OddFiles {
    OddFiles() {
        chmod(root.path().c_str(), 0755);
        WriteFile(disk + "/setup.dat", kSetupDat);
        WriteFile(disk + "/readme.txt", "readme");
        WriteFile(disk + "/card.drv", "driver");
        WriteFile(disk + "/card.cpl", "panel");
        WriteFile(root / "secret", "the host's secret");
        mkdir(prefix.c_str(), 0755);
    }
    RunResult Run(int expected_exit = 0) {
        RunResult run = RunProgram(disk, prefix, "", {}, [] { alarm(20); });
        EXPECT_EQ(expected_exit, run.exitCode);
        return run;
    }
    void Replace(const std::string& path, const std::string& kind) {
        unlink(path.c_str());
        if (kind == "fifo") {
            ASSERT_EQ(0, mkfifo(path.c_str(), 0644));
        }
        if (kind == "link") {
            ASSERT_EQ(0, symlink((root / "secret").c_str(), path.c_str()));
        }
        if (kind == "huge") {
            WriteFile(path, "");
            ASSERT_EQ(0, truncate(path.c_str(), 100LL << 30));  // sparse: 100 GB that take no room
        }
    }
    TempDir root;
    std::string disk = root / "disk";
    std::string prefix = root / "prefix";
    std::string windows = prefix + "/drive_c/WINDOWS";
};

TEST(LosslessRuns, AnUnwritableRegistryIsReportedOnce) {
    if (UnprivilegedUid() < 0 && getuid() == 0) GTEST_SKIP();
    OddFiles odd;
    const std::string prefix = odd.prefix;
    const std::string seed = "REGEDIT4\r\n";
    WriteFile(prefix + "/registry.reg", seed);
    GiveToUnprivileged(prefix);
    chmod((prefix + "/registry.reg").c_str(), 0444);
    ChildOptions options;
    options.unprivileged = true;
    RunResult run = RunVsetup(odd.disk, prefix, options);
    std::vector<std::string> texts = run.MessageTexts();
    ASSERT_EQ(2u, texts.size());
    EXPECT_EQ("Can't write to the registry file " + prefix + "/registry.reg.", texts[0]);
    EXPECT_EQ(seed, ReadFile(prefix + "/registry.reg"));
}

TEST(LosslessRuns, OddFilesAreRefusedWithoutBlockingOrAborting) {
    const std::string cant_copy = "Can't copy file: c:\\\\windows\\\\system\\\\card.cpl";
    for (const char* kind : {"link", "fifo"}) {
        SCOPED_TRACE(kind);
        OddFiles odd;
        odd.Replace(odd.disk + "/card.cpl", kind);
        EXPECT_EQ((std::vector<std::string>{cant_copy, Done()}), odd.Run().MessageTexts());
        EXPECT_FALSE(FileExists(odd.windows + "/SYSTEM/card.cpl"));
        EXPECT_EQ("driver", ReadFile(odd.windows + "/SYSTEM/card.drv"));
    }
    for (const char* kind : {"fifo", "huge"}) {
        SCOPED_TRACE(kind);
        OddFiles odd;
        mkdir((odd.prefix + "/drive_c").c_str(), 0755);
        mkdir(odd.windows.c_str(), 0755);
        odd.Replace(odd.windows + "/system.ini", kind);
        EXPECT_EQ((std::vector<std::string>{"Can't write the display entry to system.ini.", Done()}),
                  odd.Run().MessageTexts());
        odd.Replace(odd.prefix + "/registry.reg", kind);
        EXPECT_TRUE(odd.Run(1).lines.empty());
        unlink((odd.prefix + "/registry.reg").c_str());
        odd.Replace(odd.disk + "/setup.dat", kind);
        std::vector<std::string> texts = odd.Run().MessageTexts();
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ("Not enough memory to process Setup Information file.", texts[0]);
        EXPECT_FALSE(FileExists(odd.prefix + "/registry.reg"));
    }
}

TEST(LosslessRuns, ReplacedFilesKeepTheirOwnerAndMode) {
    if (getuid() != 0) GTEST_SKIP() << "only a privileged run can take a user's files";
    OddFiles odd;
    RunProgram(odd.disk, odd.prefix);
    const std::string files[] = {odd.windows + "/system.ini", odd.windows + "/SYSTEM/card.drv",
                                 odd.prefix + "/registry.reg"};
    for (const std::string& file : files) {
        ASSERT_EQ(0, chown(file.c_str(), 65534, 65534));
        ASSERT_EQ(0, chmod(file.c_str(), 0640));
    }
    WriteFile(odd.disk + "/card.drv", "driver 2");
    odd.Run();
    for (const std::string& file : files) {
        struct stat st;
        ASSERT_EQ(0, stat(file.c_str(), &st));
        EXPECT_EQ(65534u, st.st_uid) << file;
        EXPECT_EQ(65534u, st.st_gid) << file;
        EXPECT_EQ(0640u, st.st_mode & 07777) << file;
    }
    EXPECT_EQ("driver 2", ReadFile(odd.windows + "/SYSTEM/card.drv"));
}

TEST(LosslessRuns, ATranscriptThatCannotBeWrittenNeverStopsTheInstallation) {
    const std::function<void()> sinks[] = {
        [] { dup2(open("/dev/full", O_WRONLY), 1); },
        [] {
            int reader_gone[2];
            if (pipe(reader_gone) != 0) _exit(126);
            close(reader_gone[0]);
            dup2(reader_gone[1], 1);
        },
    };
    for (const auto& sink : sinks) {
        OddFiles odd;
        RunResult run = RunProgram(odd.disk, odd.prefix, "", {}, sink);
        EXPECT_EQ(2, run.exitCode);
        EXPECT_EQ("panel", ReadFile(odd.windows + "/SYSTEM/card.cpl"));
        EXPECT_NE(std::string::npos, ReadFile(odd.windows + "/system.ini").find("display.drv=Vorel Test 3D"));
        EXPECT_FALSE(FileExists(odd.prefix + "/vsetup.journal"));
    }
}

TEST(LosslessRuns, ARelativeXdgDataHomeIsIgnored) {
    OddFiles odd;
    const std::string home = odd.root / "home";
    RunResult run = RunProgram(odd.disk, odd.prefix, "", {"HOME=" + home, "XDG_DATA_HOME=relative"},
                               [] { unsetenv("VSETUP_PREFIX"); });
    EXPECT_EQ(0, run.exitCode);
    EXPECT_TRUE(FileExists(home + "/.local/share/vsetup/prefix/registry.reg"));
    EXPECT_FALSE(FileExists(odd.disk + "/relative"));
}

// The temporary files of the installer (and the journal) left in a prefix.
std::vector<std::string> Leftovers(const std::string& prefix) {
    std::vector<std::string> left;
    for (const std::string& file : ListFiles(prefix)) {
        std::string name = file.substr(file.rfind('/') + 1);
        if (name.compare(0, 3, "~vs") == 0 || name[0] == '.' || name == "vsetup.journal") left.push_back(file);
    }
    return left;
}

TEST(LosslessRuns, SignalsAndKillsLeaveNoTemporaryBehind) {
    OddFiles counting;
    WriteFile(counting.prefix + "/drive_c/WINDOWS/system.ini", "[boot]\r\n");
    ChildOptions options;
    options.preload = ROBUST_SHIM;
    options.env = {"ROBUST_LOG=" + counting.root / "log", "ROBUST_NO_SYNC=1"};
    RunVsetup(counting.disk, counting.prefix, options);
    const size_t calls = SplitLines(ReadFile(counting.root / "log")).size();
    ASSERT_GT(calls, 10u);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
        for (size_t at = 1; at <= calls; ++at) {
            SCOPED_TRACE("signal " + std::to_string(signal_number) + " at call " + std::to_string(at));
            OddFiles odd;
            WriteFile(odd.prefix + "/drive_c/WINDOWS/system.ini", "[boot]\r\n");
            options.env = {"ROBUST_KILL_AT=" + std::to_string(at), "ROBUST_SIGNAL=" + std::to_string(signal_number),
                           "ROBUST_NO_SYNC=1"};
            options.expectedExit = 128 + signal_number;
            RunVsetup(odd.disk, odd.prefix, options);
            for (const std::string& file : Leftovers(odd.prefix))
                EXPECT_TRUE(signal_number == SIGKILL || file == "vsetup.journal") << file;
            // The next run removes what a killed one left.
            odd.Run();
            EXPECT_EQ(std::vector<std::string>(), Leftovers(odd.prefix));
        }
    }
}

TEST(LosslessRuns, WineGetsOnlyAWinePrefixAndRunsDetached) {
    // The stand-in records its standard input, its session and its process.
    OddFiles odd;
    const std::string record = odd.root / "launched";
    WriteFile(odd.root / "bin/wine",
              "#!/bin/sh\necho \"$(readlink /proc/$$/fd/0) $(cut -d' ' -f6 /proc/$$/stat)\" $$ > " + record +
                  ".tmp && mv " + record + ".tmp " + record + "\n");
    chmod((odd.root / "bin/wine").c_str(), 0755);
    const std::vector<std::string> path = {"PATH=" + odd.root / "bin" + ":/usr/bin:/bin"};
    RunResult run = RunProgram(odd.disk, odd.prefix, "yes", path);
    EXPECT_NE(std::string::npos, run.lines.back().find("Unable to launch the Display Control Panel"));
    usleep(200000);
    EXPECT_FALSE(FileExists(record));

    WriteFile(odd.prefix + "/system.reg", "WINE REGISTRY Version 2\n");
    RunProgram(odd.disk, odd.prefix, "yes", path);
    for (int i = 0; i < 100 && !FileExists(record); ++i) usleep(20000);
    std::istringstream seen(ReadFile(record));
    std::string input, session, process;
    seen >> input >> session >> process;
    EXPECT_EQ("/dev/null", input);
    EXPECT_EQ(process, session);  // it leads a session of its own
}

}  // namespace
