// Whole runs of the vsetup program where a user's data is at stake: a prefix
// that cannot be resolved, a seeded registry in other line-end forms, and a
// registry that cannot be written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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
}

TEST(LosslessRuns, ASeededRegistryInAnyLineEndFormKeepsEveryInstance) {
    // Another driver's instance, in a file with lone CRs and one with
    // CR CR LF: the installer takes the next free instance and leaves it.
    for (const std::string eol : {"\r", "\r\r\n"}) {
        TempDir root;
        const std::string prefix = root / "prefix";
        std::string seed = "REGEDIT4" + eol + eol;
        seed += "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Display\\0000]" + eol;
        seed += "\"DriverDesc\"=\"Other card\"" + eol + "\"Ver\"=\"3.1\"" + eol;
        WriteFile(prefix + "/registry.reg", seed);
        RunVsetup(kDisk, prefix, ChildOptions());
        RegEntries entries;
        ASSERT_TRUE(LoadRegistry(prefix + "/registry.reg", &entries));
        EXPECT_EQ("\"Other card\"", entries[kClass + "0000"]["driverdesc"]);
        EXPECT_EQ("\"3.1\"", entries[kClass + "0000"]["ver"]);
        EXPECT_EQ("\"4.0\"", entries[kClass + "0001"]["ver"]);
        EXPECT_EQ(seed, ReadFile(prefix + "/registry.reg.orig"));
    }
}

TEST(LosslessRuns, AnUnwritableRegistryIsReportedOnce) {
    if (UnprivilegedUid() < 0 && getuid() == 0) GTEST_SKIP();
    TempDir root;
    chmod(root.path().c_str(), 0755);
    const std::string prefix = root / "prefix";
    const std::string seed = "REGEDIT4\r\n";
    WriteFile(prefix + "/registry.reg", seed);
    GiveToUnprivileged(prefix);
    chmod((prefix + "/registry.reg").c_str(), 0444);
    ChildOptions options;
    options.unprivileged = true;
    RunResult run = RunVsetup(kDisk, prefix, options);
    std::vector<std::string> texts = run.MessageTexts();
    ASSERT_EQ(2u, texts.size());
    EXPECT_EQ("Can't write to the registry file " + prefix + "/registry.reg.", texts[0]);
    EXPECT_EQ(seed, ReadFile(prefix + "/registry.reg"));
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

}  // namespace
