// SYSTEM.DAT, the Windows system's own registry: loading against copying the
// file, one flushed [Driver.AddReg] line with a small and a large file, and a
// whole installation of the example disk into a large SYSTEM.DAT against the
// same installation into a registry.reg that holds the same keys.
//
// The hives come from tools/creg-gen.py (kept in the data directory between
// runs). The per-line case runs in memory, as the registry.reg one does; the
// whole installations run on the build directory's disk, syncs and all.
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "bench/bench.h"
#include "installer/core/setup_state.h"
#include "platform/host/creg_store.h"
#include "platform/platform.h"
#include "installer/steps/reg_install.h"
#include "installer/setupinfo/setup_text.h"

namespace {

const char kInstance[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Display\\0002";

// The generator's "big" hive of about size bytes, and the same tree as
// REGEDIT4 text when reg is given.
std::string Hive(const Options& options, size_t size, bool withReg) {
    std::string path = options.dataDir + "/creg-" + std::to_string(size) + ".dat";
    std::string reg = options.dataDir + "/creg-" + std::to_string(size) + ".reg";
    if (!Exists(path) || (withReg && !Exists(reg))) {
        MakeDirs(options.dataDir);
        Command command;
        command.argv = {"python3", options.sourceDir + "/tools/creg-gen.py", "big", std::to_string(size), path, reg};
        if (RunProcess(command).status != 0) throw std::runtime_error("tools/creg-gen.py failed");
    }
    return path;
}

std::string Kilobytes(size_t bytes) { return std::to_string(bytes / 1024) + " KiB"; }

void PrepareCregPrefix(const std::string& prefix, const std::string& hive) {
    RemoveTree(prefix);
    MakeDirs(prefix + "/drive_c/WINDOWS");
    CopyPlain(hive, prefix + "/drive_c/WINDOWS/SYSTEM.DAT");
}

}  // namespace

void BenchCreg(const Options& options, Report* report) {
    const size_t large = options.quick ? 1u << 20 : 8650000u;  // a little over 8 MiB
    const size_t small = 65536;
    const std::string dir = options.ramDir + "/creg";
    MakeDirs(dir);
    const std::string largeHive = Hive(options, large, true);
    const std::string smallHive = Hive(options, small, false);
    const size_t largeBytes = ReadWhole(largeHive).size();
    const size_t smallBytes = ReadWhole(smallHive).size();
    const std::string largeText = Kilobytes(largeBytes) + " SYSTEM.DAT";

    // Loading: reading, checking and indexing the whole file.
    std::vector<double> loads, copies;
    for (int round = 0; round < options.rounds; ++round) {
        CregStore store;
        std::string error;
        double start = Now();
        if (!store.Open(largeHive, &error)) throw std::runtime_error(error);
        loads.push_back(Now() - start);
        if (round == 0 && !store.KeyExists("HKEY_LOCAL_MACHINE\\SOFTWARE\\Bulk\\Group000\\Item00000"))
            report->Wrong("the store lost keys of the generated SYSTEM.DAT");
        start = Now();
        CopyPlain(largeHive, dir + "/copy.dat");
        copies.push_back(Now() - start);
    }
    double copyRate = static_cast<double>(largeBytes) / Median(copies);
    double loadRate = static_cast<double>(largeBytes) / Median(loads);
    report->Row("SYSTEM.DAT load, " + Kilobytes(largeBytes), "plain read+write copy of the file", Rate(copyRate, 1));
    report->Judge("SYSTEM.DAT load, " + Kilobytes(largeBytes), "CregStore::Open",
                  Rate(loadRate, 1) + ", " + Duration(Median(loads)), loadRate / copyRate, "{} the copy's rate", 0.1,
                  true);

    // One flushed [Driver.AddReg] line: 1,000 lines, each flushed.
    const int lines = 1000;
    std::string section = "[Driver.AddReg]\r\n";
    for (int i = 0; i < lines; ++i)
        section += "HKR,DEFAULT\\Group" + std::to_string(i % 50) + ",Value" + std::to_string(i) + ",,\"text " +
                   std::to_string(i) + "\"\r\n";
    std::vector<double> apply[2];
    for (int big = 0; big < 2; ++big) {
        for (int round = 0; round < options.rounds; ++round) {
            const std::string prefix = dir + "/addreg";
            PrepareCregPrefix(prefix, big ? largeHive : smallHive);
            setenv("VSETUP_PREFIX", prefix.c_str(), 1);
            if (!PlatStartup()) throw std::runtime_error(std::string("PlatStartup: ") + PlatStartupError());
            g_setup = SetupState{};
            std::strcpy(g_setup.instanceText, "0002");
            LoadSetupTextFromMemory(section.data(), section.size());
            long position = FindSection(g_setupText.bytes, g_setupText.length, "[Driver.AddReg]");
            double start = Now();
            ApplyRegSection(g_setupText.bytes, position);
            apply[big].push_back((Now() - start) / lines);
            ReleaseSetupText();
            PlatShutdown();
            if (round == 0) {
                CregStore check;
                std::string error;
                uint32_t type = 0;
                std::string data;
                if (!check.Open(prefix + "/drive_c/WINDOWS/SYSTEM.DAT", &error) ||
                    !check.GetValue(std::string(kInstance) + "\\DEFAULT\\Group0", "Value0", &type, &data) ||
                    data != "text 0")
                    report->Wrong("a [Driver.AddReg] value did not reach SYSTEM.DAT");
            }
        }
    }
    const std::string lineSection = "SYSTEM.DAT [Driver.AddReg], 1,000 lines";
    report->Row(lineSection, "per line, " + Kilobytes(smallBytes) + " SYSTEM.DAT", Duration(Median(apply[0])));
    report->Judge(lineSection, "per line, " + largeText, Duration(Median(apply[1])),
                  Median(apply[1]) / Median(apply[0]), "{} the small file's time", 2, false);

    // The example disk, whole, into each kind of registry of the same keys.
    const std::string disk = options.sourceDir + "/examples/disk1";
    const std::string prefix = options.workDir + "/creg-install";
    const std::string regText = ReadWhole(options.dataDir + "/creg-" + std::to_string(large) + ".reg");
    std::vector<double> runs[2];
    for (int round = 0; round < options.rounds; ++round) {
        for (int creg = 0; creg < 2; ++creg) {
            if (creg) {
                PrepareCregPrefix(prefix, largeHive);
            } else {
                RemoveTree(prefix);
                MakeDirs(prefix);
                WriteWhole(prefix + "/registry.reg", regText);
            }
            SyncAll();
            Command command;
            command.argv = {options.vsetup};
            command.env = {"VSETUP_UI=batch", "VSETUP_PREFIX=" + prefix, "VSETUP_ANSWERS=no"};
            command.cwd = disk;
            ProcessResult result = RunProcess(command);
            if (result.status != 0 || result.output.find("\"caption\":\"Error\"") != std::string::npos)
                throw std::runtime_error("vsetup failed: " + result.output.substr(0, 400));
            runs[creg].push_back(result.seconds);
            if (round == 0 && creg) {
                CregStore check;
                std::string error;
                if (!check.Open(prefix + "/drive_c/WINDOWS/SYSTEM.DAT", &error) || !check.KeyExists(kInstance) ||
                    Exists(prefix + "/registry.reg"))
                    report->Wrong("the installation into SYSTEM.DAT did not write instance 0002 there");
            }
        }
    }
    RemoveTree(prefix);
    RemoveTree(dir);
    const std::string installSection = "Example disk into " + Kilobytes(largeBytes) + " of registry";
    report->Row(installSection, "batch run, registry.reg of the same keys", Duration(Median(runs[0])));
    report->Judge(installSection, "batch run, SYSTEM.DAT", Duration(Median(runs[1])),
                  Median(runs[1]) / Median(runs[0]), "{} the registry.reg run's time", 1.5, false);
}
