// Whole runs of the vsetup program that golden scenarios cannot express: a
// prefix whose path cannot be resolved, and the Wine launch. (Where the
// default prefix goes is shown by the golden scenario
// lossless-relative-xdg-data-home-ignored.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace {

const std::string kDisk = std::string(VSETUP_SOURCE_DIR) + "/examples/disk1";

std::string Repeat(const std::string& part, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += (i ? "/" : "") + part;
    return out;
}

TEST(LosslessRuns, APrefixThatCannotBeResolvedStopsStartUp) {
    // prefix -> a/b, a -> 15 levels of long names, b -> 10 more: each is
    // made from the level above it, the resolved path is longer than a path
    // may be.
    TempDir root;
    const std::string levels = Repeat(std::string(200, 'd'), 15);
    const std::string more = Repeat(std::string(200, 'e'), 10);
    std::filesystem::create_directories(root / levels);
    const std::filesystem::path here = std::filesystem::current_path();
    std::filesystem::current_path(root / levels);
    std::filesystem::create_directories(more);
    ASSERT_EQ(0, symlink(more.c_str(), "b"));
    ASSERT_EQ(0, symlink(levels.c_str(), (root / "a").c_str()));
    ASSERT_EQ(0, symlink("a/b", (root / "prefix").c_str()));
    struct stat st;
    ASSERT_EQ(0, stat((root / "prefix").c_str(), &st));  // it does lead to a directory

    RunResult run = RunProgram(kDisk, root / "prefix");
    EXPECT_EQ(1, run.exitCode);
    EXPECT_TRUE(run.lines.empty());
    EXPECT_FALSE(FileExists("/registry.reg"));
    EXPECT_FALSE(FileExists("/drive_c"));
    std::filesystem::remove_all(more.substr(0, 200));  // from here, before the scratch tree goes
    std::filesystem::current_path(here);
}

// A copy of a small disk and an empty prefix.
struct Scratch {
    Scratch() {
        std::filesystem::copy(VSETUP_SOURCE_DIR "/tests/disks/plain", disk, std::filesystem::copy_options::recursive);
        mkdir(prefix.c_str(), 0755);
    }
    TempDir root;
    std::string disk = root / "disk";
    std::string prefix = root / "prefix";
};

TEST(LosslessRuns, TheDisplayPanelStartsDetachedInAWinePrefixOnly) {
    // The stand-in for Wine records its prefix, arguments, standard input,
    // session and process.
    Scratch odd;
    const std::string record = odd.root / "launched";
    WriteFile(odd.root / "bin/wine",
              "#!/bin/sh\necho \"$WINEPREFIX|$*|$(readlink /proc/$$/fd/0)|$(cut -d' ' -f6 "
              "/proc/$$/stat)|$$\" > " +
                  record + ".tmp && mv " + record + ".tmp " + record + "\n");
    chmod((odd.root / "bin/wine").c_str(), 0755);
    const std::vector<std::string> path = {"PATH=" + odd.root / "bin" + ":/usr/bin:/bin"};
    RunResult run = RunProgram(odd.disk, odd.prefix, "yes", path);
    EXPECT_NE(std::string::npos, run.lines.back().find("Unable to launch the Display Control Panel"));
    usleep(200000);
    EXPECT_FALSE(FileExists(record));  // not a Wine prefix: Wine is not asked

    WriteFile(odd.prefix + "/system.reg", "WINE REGISTRY Version 2\n");
    run = RunProgram(odd.disk, odd.prefix, "yes", path);
    EXPECT_EQ(R"({"event":"launch","command":"CONTROL.EXE DESK.CPL,,3","started":true})", run.lines.back());
    for (int i = 0; i < 100 && !FileExists(record); ++i) usleep(20000);
    std::vector<std::string> seen;
    std::istringstream fields(ReadFile(record));
    for (std::string field; std::getline(fields, field, '|');) seen.push_back(field);
    ASSERT_EQ(5u, seen.size());
    EXPECT_EQ(odd.prefix, seen[0]);
    EXPECT_EQ("CONTROL.EXE DESK.CPL,,3", seen[1]);
    EXPECT_EQ("/dev/null", seen[2]);
    EXPECT_EQ(seen[4], seen[3] + "\n");  // it leads a session of its own

    run = RunProgram(odd.disk, odd.prefix, "yes,no", {"PATH=" + odd.root / "nowhere"});
    ASSERT_GE(run.lines.size(), 2u);
    EXPECT_EQ(R"({"event":"launch","command":"CONTROL.EXE DESK.CPL,,3","started":false})",
              run.lines[run.lines.size() - 2]);
    EXPECT_EQ(
        R"({"event":"message","caption":"Warning","text":"Unable to launch the Display Control Panel","buttons":"ok","icon":"none","answer":"ok"})",
        run.lines.back());
    EXPECT_EQ(0, run.exitCode);
}

}  // namespace
