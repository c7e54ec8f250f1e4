// LZ expansion: the installer's LZ service against what a user would
// otherwise expand SZDD files with, on the same files in the same run.
//
// Every expander reads the compressed files from, and writes the expanded
// ones to, the memory file system, so that the rows compare the expanders and
// not the disk (on it the service's own fsync would dominate; a row shows it
// for information). Each time covers opening both files, the expansion and
// closing them.
#include <fcntl.h>
#include <mspack.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>

#include "bench/bench.h"
#include "platform/host/lz_expand.h"

namespace {

struct Expander {
    std::string name;
    bool ours;  // the project's own: its failure is a wrong result, a peer's only a note
    // Expands sources[i] to destinations[i]; returns the seconds it took, or
    // -1 when the expander is not available.
    std::function<double(const std::vector<std::string>& sources, const std::vector<std::string>& destinations)> run;
    bool bigInput = true;    // also run on the large file
    bool once = false;        // too slow to repeat: one round only
    bool fromPlain = false;  // reads the expanded files, not the compressed ones
};

double RunService(const std::vector<std::string>& sources, const std::vector<std::string>& destinations) {
    double start = Now();
    for (size_t i = 0; i < sources.size(); ++i) {
        int in = open(sources[i].c_str(), O_RDONLY | O_CLOEXEC);
        int out = open(destinations[i].c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        long long result = HostLzCopy(in, out);
        close(in);
        close(out);
        if (result < 0) throw std::runtime_error("HostLzCopy failed on " + sources[i]);
    }
    return Now() - start;
}

double RunMemory(const std::vector<std::string>& sources, const std::vector<std::string>& destinations) {
    std::vector<std::string> data;
    for (const std::string& source : sources) data.push_back(ReadWhole(source));
    std::vector<std::vector<unsigned char>> out(sources.size());
    double start = Now();
    for (size_t i = 0; i < data.size(); ++i) {
        long long result =
            HostLzExpandMemory(reinterpret_cast<const unsigned char*>(data[i].data()), data[i].size(), &out[i]);
        if (result < 0) throw std::runtime_error("HostLzExpandMemory failed on " + sources[i]);
    }
    double seconds = Now() - start;
    for (size_t i = 0; i < out.size(); ++i) WriteWhole(destinations[i], std::string(out[i].begin(), out[i].end()));
    return seconds;
}

double RunMspack(const std::vector<std::string>& sources, const std::vector<std::string>& destinations) {
    double start = Now();
    msszdd_decompressor* decompressor = mspack_create_szdd_decompressor(nullptr);
    if (!decompressor) throw std::runtime_error("libmspack: no SZDD decompressor");
    for (size_t i = 0; i < sources.size(); ++i) {
        msszddd_header* header = decompressor->open(decompressor, sources[i].c_str());
        int error = header ? decompressor->extract(decompressor, header, destinations[i].c_str())
                           : decompressor->last_error(decompressor);
        if (header) decompressor->close(decompressor, header);
        if (error != MSPACK_ERR_OK) throw std::runtime_error("libmspack failed on " + sources[i]);
    }
    mspack_destroy_szdd_decompressor(decompressor);
    return Now() - start;
}

double RunCopy(const std::vector<std::string>& sources, const std::vector<std::string>& destinations) {
    double start = Now();
    for (size_t i = 0; i < sources.size(); ++i) CopyPlain(sources[i], destinations[i]);
    return Now() - start;
}

double RunMsexpand(const std::vector<std::string>& sources, const std::vector<std::string>& destinations) {
    if (!HaveProgram("msexpand")) return -1;
    double seconds = 0;
    for (size_t i = 0; i < sources.size(); ++i) {
        Command command;
        command.argv = {"msexpand"};
        command.stdinPath = sources[i];
        command.stdoutPath = destinations[i];
        ProcessResult result = RunProcess(command);
        if (result.status != 0) throw std::runtime_error("msexpand failed on " + sources[i]);
        seconds += result.seconds;
    }
    return seconds;
}

std::vector<std::string> WineEnvironment(const Options& options) {
    return {"WINEPREFIX=" + options.winePrefix, "WINEDEBUG=-all",
            "WINEDLLOVERRIDES=mscoree,mshtml=", "WINEARCH=win32"};
}

double RunWine(const Options& options, const std::vector<std::string>& sources,
               const std::vector<std::string>& destinations) {
    if (options.lz32Exe.empty() || !HaveProgram("wine")) return -1;
    std::string list;
    for (size_t i = 0; i < sources.size(); ++i) list += sources[i] + "\t" + destinations[i] + "\n";
    std::string listPath = options.ramDir + "/wine.list";
    WriteWhole(listPath, list);
    Command command;
    command.argv = {"wine", options.lz32Exe, listPath};
    command.env = WineEnvironment(options);
    ProcessResult result = RunProcess(command);
    int files = 0;
    long long bytes = 0;
    double seconds = 0;
    if (result.status != 0 || std::sscanf(result.output.c_str(), "%d %lld %lf", &files, &bytes, &seconds) != 3 ||
        files != static_cast<int>(sources.size()))
        throw std::runtime_error("the LZ32 program failed: " + result.output);
    return seconds;
}

// Wine's first start in a new prefix takes many seconds; it is done before
// anything is timed.
bool PrepareWine(const Options& options) {
    if (options.lz32Exe.empty() || !HaveProgram("wine")) return false;
    Command command;
    command.argv = {"wine", "wineboot", "-i"};
    command.env = WineEnvironment(options);
    command.stdoutPath = "-";
    return RunProcess(command).status == 0;
}

bool SameAs(const std::string& path, const std::string& expected) {
    return Exists(path) && ReadWhole(path) == expected;
}

}  // namespace

void BenchExpansion(const Options& options, const Inputs& inputs, Report* report) {
    bool wine = PrepareWine(options);
    if (!wine) report->Note("Wine or the LZ32 program is missing: no Wine row.");

    std::vector<Expander> expanders = {
        {"HostLzCopy (vsetup)", true, RunService},
        {"libmspack 0.11, default I/O", false, RunMspack},
        {"Wine LZ32 LZCopy", false, [&](const auto& s, const auto& d) { return wine ? RunWine(options, s, d) : -1; }},
        {"msexpand", false, RunMsexpand, false, true},
        {"plain read+write copy of the expanded bytes", false, RunCopy, true, false, true},
        {"HostLzExpandMemory (vsetup), memory to memory", true, RunMemory},
    };
    std::map<std::string, bool> broken;  // peers that failed once are left out

    for (const InputSet* set : {&inputs.big, &inputs.files}) {
        const std::string section = "Expansion, " + set->name;
        // The compressed files are first copied to memory, where every
        // expander reads them.
        std::string inDir = options.ramDir + "/expand-in";
        RemoveTree(inDir);
        MakeDirs(inDir);
        std::vector<std::string> sources;
        for (size_t i = 0; i < set->packed.size(); ++i) {
            sources.push_back(inDir + "/" + set->names[i] + "_");
            CopyPlain(set->packed[i], sources.back());
        }
        // So are the expanded files, for the plain copy.
        std::string plainDir = options.ramDir + "/expand-plain";
        RemoveTree(plainDir);
        MakeDirs(plainDir);
        std::vector<std::string> expected, plain;
        for (size_t i = 0; i < set->plain.size(); ++i) {
            expected.push_back(ReadWhole(set->plain[i]));
            plain.push_back(plainDir + "/" + set->names[i]);
            WriteWhole(plain.back(), expected.back());
        }

        std::map<std::string, std::vector<double>> times;
        for (int round = 0; round < options.rounds; ++round) {
            for (const Expander& expander : expanders) {
                if ((!expander.bigInput && set == &inputs.big) || (expander.once && round > 0) ||
                    broken[expander.name])
                    continue;
                std::string outDir = options.ramDir + "/expand-out";
                RemoveTree(outDir);
                MakeDirs(outDir);
                std::vector<std::string> destinations;
                for (const std::string& name : set->names) destinations.push_back(outDir + "/" + name);
                double seconds = -1;
                try {
                    seconds = expander.run(expander.fromPlain ? plain : sources, destinations);
                } catch (const std::exception& error) {
                    if (expander.ours) throw;
                    report->Note(expander.name + " could not run, so it has no row: " + error.what());
                    broken[expander.name] = true;
                    times.erase(expander.name);
                }
                if (seconds < 0) continue;
                times[expander.name].push_back(seconds);
                if (round == 0) {
                    for (size_t i = 0; i < destinations.size(); ++i) {
                        if (!SameAs(destinations[i], expected[i]))
                            report->Wrong(expander.name + " on " + set->name + ": " + set->names[i] +
                                          " differs from the original");
                    }
                }
            }
        }

        auto rate = [&](const std::string& name) {
            auto it = times.find(name);
            return it == times.end() ? 0.0 : static_cast<double>(set->bytes) / Median(it->second);
        };
        double service = rate(expanders[0].name);
        report->Row(section, expanders[0].name, Rate(service, 1));
        for (size_t e = 1; e < expanders.size(); ++e) {
            const std::string& name = expanders[e].name;
            if (times.find(name) == times.end()) continue;
            double peer = rate(name);
            if (name.rfind("libmspack", 0) == 0)
                report->Judge(section, name, Rate(peer, 1), service / peer, "vsetup {} as fast", 5, true);
            else if (name.rfind("Wine", 0) == 0)
                report->Judge(section, name, Rate(peer, 1), service / peer, "vsetup {} as fast", 3, true);
            else
                report->Row(section, name, Rate(peer, 1), Worded("vsetup {} as fast", service / peer));
        }

        // The service as the installer uses it: onto the disk, each file
        // synchronised before it counts as written.
        std::string diskDir = options.workDir + "/expand-disk";
        std::vector<double> diskTimes;
        for (int round = 0; round < options.rounds; ++round) {
            RemoveTree(diskDir);
            MakeDirs(diskDir);
            std::vector<std::string> destinations;
            for (const std::string& name : set->names) destinations.push_back(diskDir + "/" + name);
            SyncAll();
            diskTimes.push_back(RunService(sources, destinations));
        }
        RemoveTree(diskDir);
        double onDisk = static_cast<double>(set->bytes) / Median(diskTimes);
        report->Row(section, "HostLzCopy onto the disk, fsync included", Rate(onDisk, 1),
                    Worded("{} the rate in memory", onDisk / service));
        RemoveTree(inDir);
        RemoveTree(plainDir);
    }
    RemoveTree(options.ramDir + "/expand-out");
}
