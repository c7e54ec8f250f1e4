// Whole runs of the vsetup program in batch mode: a disk of many files
// against a copier that makes each file durable on its own (the yardstick)
// and against the least an installation of those files can do (the lower
// bound), and the start of a run with a large registry against one with
// none.
//
// These run on the build directory's disk: an installation is as durable as
// the disk makes it, and the yardstick and the bound pay for their syncs.
#include <cstdio>
#include <stdexcept>

#include "bench/bench.h"

namespace {

struct InstallRun {
    double seconds = 0;
    std::string transcript;
};

InstallRun RunVsetup(const Options& options, const std::string& disk, const std::string& prefix) {
    Command command;
    command.argv = {options.vsetup};
    command.env = {"VSETUP_UI=batch", "VSETUP_PREFIX=" + prefix, "VSETUP_ANSWERS=no"};
    command.cwd = disk;
    ProcessResult result = RunProcess(command);
    if (result.status != 0) throw std::runtime_error("vsetup failed: " + result.output);
    return InstallRun{result.seconds, result.output};
}

// Checks the files a run put in windowsDir and systemDir (half and half,
// as the disk's lists have them) against the originals.
void CheckInstalled(const InputSet& set, const std::string& windowsDir, const std::string& systemDir,
                    const std::string& who, Report* report) {
    size_t half = set.names.size() / 2;
    for (size_t i = 0; i < set.names.size(); ++i) {
        std::string path = (i < half ? windowsDir : systemDir) + "/" + set.names[i];
        if (!Exists(path) || ReadWhole(path) != ReadWhole(set.plain[i])) {
            report->Wrong(who + ": " + set.names[i] + " is not installed as it should be");
            return;
        }
    }
}

void CheckTranscript(const InstallRun& run, const std::string& who, Report* report) {
    if (run.transcript.find("\"caption\":\"Error\"") != std::string::npos)
        report->Wrong(who + " reported an error: " + run.transcript.substr(0, 400));
}

// Runs mtools commands that must succeed; the time they took.
double RunMtools(const std::vector<std::vector<std::string>>& commands) {
    double seconds = 0;
    for (const std::vector<std::string>& argv : commands) {
        Command command;
        command.argv = argv;
        command.env = {"MTOOLS_SKIP_CHECK=1"};
        ProcessResult result = RunProcess(command);
        if (result.status != 0) throw std::runtime_error(argv[0] + " failed: " + result.output);
        seconds += result.seconds;
    }
    return seconds;
}

// The same disk into a 64 MiB FAT16 disk image with WINDOWS\SYSTEM on it,
// against the least that takes: the expanded files put into the same empty
// image by mcopy (one run per directory) and the image synced.
void BenchImageInstall(const Options& options, const Inputs& inputs, const std::string& dir, const std::string& section,
                       Report* report) {
    const std::string image = dir + "/disk.img";
    const std::string back = dir + "/back";
    auto fresh = [&]() {
        std::remove(image.c_str());
        std::remove((image + ".registry.reg").c_str());
        RunMtools({{"mformat", "-C", "-i", image, "-T", "131072", "-h", "16", "-s", "63", "::"},
                   {"mmd", "-i", image, "::/WINDOWS", "::/WINDOWS/SYSTEM"}});
        SyncAll();
    };
    const size_t half = inputs.files.plain.size() / 2;
    std::vector<std::string> toWindows = {"mcopy", "-i", image};
    std::vector<std::string> toSystem = toWindows;
    for (size_t i = 0; i < inputs.files.plain.size(); ++i)
        (i < half ? toWindows : toSystem).push_back(inputs.files.plain[i]);
    toWindows.push_back("::/WINDOWS/");
    toSystem.push_back("::/WINDOWS/SYSTEM/");

    std::vector<double> times, bounds;
    for (int round = 0; round < options.rounds; ++round) {
        fresh();
        InstallRun run = RunVsetup(options, inputs.disk, image);
        times.push_back(run.seconds);
        if (round == 0) {
            CheckTranscript(run, "vsetup into a disk image", report);
            RemoveTree(back);
            MakeDirs(back);
            RunMtools({{"mcopy", "-s", "-i", image, "::/WINDOWS", back}});
            CheckInstalled(inputs.files, back + "/WINDOWS", back + "/WINDOWS/SYSTEM", "vsetup into a disk image",
                           report);
        }
        fresh();
        Command sync;
        sync.argv = {"sync", image};
        bounds.push_back(RunMtools({toWindows, toSystem}) + RunProcess(sync).seconds);
    }
    const std::string imageSection = section + ", into a disk image";
    report->Row(imageSection, "lower bound: mcopy of the expanded files, sync", Duration(Median(bounds)));
    report->Judge(imageSection, "vsetup, batch run into a FAT16 disk image", Duration(Median(times)),
                  Median(times) / Median(bounds), "{} the lower bound's time", 2.5, false);
}

}  // namespace

void BenchInstall(const Options& options, const Inputs& inputs, Report* report) {
    const std::string dir = options.workDir + "/install";
    const std::string prefix = dir + "/prefix";
    const std::string lower = dir + "/lower";
    MakeDirs(dir);

    // The lower bound's list: each compressed file, its directory, its name.
    std::string manifest;
    size_t half = inputs.files.names.size() / 2;
    for (size_t i = 0; i < inputs.files.names.size(); ++i) {
        manifest += inputs.files.packed[i] + "\t" + lower + (i < half ? "/WINDOWS" : "/WINDOWS/SYSTEM") + "\t" +
                    inputs.files.names[i] + "\n";
    }
    const std::string manifestPath = dir + "/lower.list";
    WriteWhole(manifestPath, manifest);

    // The yardstick (each file on its own) and the lower bound (one sync).
    auto copier = [&](bool oneSync, bool check) {
        RemoveTree(lower);
        SyncAll();
        Command command;
        command.argv = {options.lowerBound, manifestPath};
        if (oneSync) command.argv.insert(command.argv.begin() + 1, "--one-sync");
        ProcessResult result = RunProcess(command);
        if (result.status != 0) throw std::runtime_error("vsetup_lower_bound failed: " + result.output);
        if (check)
            CheckInstalled(inputs.files, lower + "/WINDOWS", lower + "/WINDOWS/SYSTEM",
                           oneSync ? "the lower bound" : "the yardstick", report);
        return result.seconds;
    };
    std::vector<double> installs, yardsticks, bounds;
    for (int round = 0; round < options.rounds; ++round) {
        RemoveTree(prefix);
        SyncAll();
        InstallRun run = RunVsetup(options, inputs.disk, prefix);
        installs.push_back(run.seconds);
        if (round == 0) {
            CheckTranscript(run, "vsetup", report);
            CheckInstalled(inputs.files, prefix + "/drive_c/WINDOWS", prefix + "/drive_c/WINDOWS/SYSTEM", "vsetup",
                           report);
        }
        yardsticks.push_back(copier(false, round == 0));
        bounds.push_back(copier(true, round == 0));
    }
    const std::string section = "Installation, " + inputs.files.name;
    const double install = Median(installs);
    report->Row(section, "yardstick: per file a temporary, fsync, rename, directory fsync",
                Duration(Median(yardsticks)));
    report->Row(section, "lower bound: the same bytes written in place, one syncfs", Duration(Median(bounds)));
    report->Judge(section, "vsetup, batch run", Duration(install), install / Median(yardsticks),
                  "{} the yardstick's time", 0.6, false);
    report->Row(section, "vsetup, batch run, against the lower bound", Duration(install),
                Worded("{} the lower bound's time", install / Median(bounds)));
    if (HaveProgram("mformat")) BenchImageInstall(options, inputs, dir, section, report);
    RemoveTree(dir);
}

void BenchStartup(const Options& options, const Inputs& inputs, double storeLoadSeconds, Report* report) {
    const int large = options.quick ? 20000 : 100000;
    const std::string dir = options.workDir + "/startup";
    const std::string prefix = dir + "/prefix";
    const std::string seed = MakeRegistryExport(large, 0);

    std::vector<double> times[2];
    for (int round = 0; round < options.rounds; ++round) {
        for (int seeded = 0; seeded < 2; ++seeded) {
            RemoveTree(prefix);
            MakeDirs(prefix);
            if (seeded) WriteWhole(prefix + "/registry.reg", seed);
            SyncAll();
            InstallRun run = RunVsetup(options, inputs.oneDisk, prefix);
            times[seeded].push_back(run.seconds);
            if (round == 0) {
                CheckTranscript(run, "vsetup with a one-file disk", report);
                std::string registry = ReadWhole(prefix + "/registry.reg");
                if (registry.find("\"DevLoader\"=\"*vdd\"") == std::string::npos)
                    report->Wrong("the one-file run wrote no registry entries");
                if (seeded && registry.size() < seed.size())
                    report->Wrong("the one-file run lost part of the seeded registry");
            }
        }
    }
    RemoveTree(dir);
    const std::string section = "Start-up, one-file disk";
    double empty = Median(times[0]);
    double full = Median(times[1]);
    std::string largeText = std::to_string(large / 1000) + ",000";
    report->Row(section, "batch run, empty store", Duration(empty));
    report->Row(section, "loading the " + largeText + "-key store (from above)", Duration(storeLoadSeconds));
    report->Judge(section, "batch run, store of " + largeText + " keys", Duration(full),
                  full / (empty + storeLoadSeconds), "{} (empty store + load)", 1.5, false);
}
