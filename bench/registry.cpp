// The registry store at scale: loading an export, finding a free display
// instance among thousands, and applying a registry list, each with a small
// and a large store. The stores live in the memory file system, so that what
// shows is the store's own cost and not the disk's fsync (each flush syncs).
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "bench/bench.h"
#include "installer/core/setup_state.h"
#include "platform/host/registry_store.h"
#include "platform/platform.h"
#include "installer/steps/reg_install.h"
#include "installer/setupinfo/setup_text.h"

namespace {

const char kDisplayClass[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Display";

std::string Hex8(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

// Writes the store file of prefix and opens the platform on it.
void StartOn(const std::string& prefix, const std::string& registry) {
    RemoveTree(prefix);
    MakeDirs(prefix);
    WriteWhole(prefix + "/registry.reg", registry);
    setenv("VSETUP_PREFIX", prefix.c_str(), 1);
    if (!PlatStartup()) throw std::runtime_error(std::string("PlatStartup: ") + PlatStartupError());
    g_setup = SetupState{};
}

// A [Driver.AddReg] section of count lines: values under the display
// instance and under HKLM, and bare keys.
std::string AddRegSection(int count) {
    std::string text = "[Driver.AddReg]\r\n";
    for (int i = 0; i < count; ++i) {
        std::string n = std::to_string(i);
        switch (i % 10) {
        case 9:
            text += "HKR,\"MODES\\" + n + "\\640,480\"\r\n";
            break;
        case 6:
        case 7:
        case 8:
            text += "HKLM,Software\\Vorel\\Bench\\Key" + std::to_string(i % 97) + ",Value" + n + ",," + n + "\r\n";
            break;
        default:
            text += "HKR,DEFAULT\\Group" + std::to_string(i % 50) + ",Value" + n + ",,\"text " + n + "\"\r\n";
        }
    }
    return text;
}

}  // namespace

std::string MakeRegistryExport(int keyCount, int instances) {
    std::string out = "REGEDIT4\r\n";
    int keys = 0;
    auto section = [&](const std::string& path) {
        out += "\r\n[" + path + "]\r\n";
        ++keys;
    };
    if (instances > 0) {
        for (const char* parent : {"HKEY_LOCAL_MACHINE\\System", "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet",
                                   "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services",
                                   "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class"})
            section(parent);
        section(kDisplayClass);
        out += "@=\"Display adapters\"\r\n\"Icon\"=\"-1\"\r\n";
        for (int i = 0; i < instances; ++i) {
            char number[16];
            std::snprintf(number, sizeof number, "%04d", i);
            section(std::string(kDisplayClass) + "\\" + number);
            out += "\"DriverDesc\"=\"Display adapter " + std::string(number) +
                   "\"\r\n\"DevLoader\"=\"*vdd\"\r\n\"Ver\"=\"4.0\"\r\n";
        }
    }
    if (keys < keyCount) section("HKEY_LOCAL_MACHINE\\SOFTWARE");
    std::string vendor, product;
    for (int i = 0; keys < keyCount; ++i) {
        std::string v = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor" + std::to_string(i / 1000);
        std::string p = v + "\\Product" + std::to_string(i / 50 % 20);
        if (v != vendor) {
            section(vendor = v);
            out += "@=\"Vendor " + std::to_string(i / 1000) + "\"\r\n";
        }
        if (keys < keyCount && p != product) section(product = p);
        if (keys >= keyCount) break;
        section(p + "\\Item" + std::to_string(i));
        uint32_t x = static_cast<uint32_t>(i) * 2654435761u;
        switch (i % 5) {
        case 0:
            out += "@=\"Item " + std::to_string(i) + "\"\r\n\"Path\"=\"C:\\\\WINDOWS\\\\SYSTEM\\\\item" +
                   std::to_string(i) + ".dll\"\r\n";
            break;
        case 1:
            out += "\"Count\"=dword:" + Hex8(x) + "\r\n";
            break;
        case 2:
            out += "\"Data\"=hex:" + Hex8(x).substr(0, 2) + ",00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e\r\n";
            break;
        case 3:
            break;
        default:
            out += "\"Name\"=\"Setting " + std::to_string(i) + "\"\r\n\"Flags\"=dword:" + Hex8(x >> 8) +
                   "\r\n\"Text\"=\"A \\\"quoted\\\" word and a \\\\ backslash\"\r\n";
        }
    }
    return out;
}

double BenchRegistry(const Options& options, Report* report) {
    const int large = options.quick ? 20000 : 100000;
    const std::string largeText = std::to_string(large / 1000) + ",000 keys";
    const std::string dir = options.ramDir + "/registry";
    MakeDirs(dir);

    // Loading a whole export, against copying the same file.
    double largeLoad = 0;
    for (int keys : {1000, large}) {
        std::string path = dir + "/export.reg";
        std::string copy = dir + "/copy.reg";
        std::string text = MakeRegistryExport(keys, 0);
        WriteWhole(path, text);
        std::vector<double> loadTimes, copyTimes;
        for (int round = 0; round < options.rounds; ++round) {
            RegistryStore store;
            std::string error;
            double start = Now();
            if (!store.Open(path, &error)) throw std::runtime_error(error);
            loadTimes.push_back(Now() - start);
            if (round == 0 && store.Serialize().size() < text.size() / 2)
                report->Wrong("the store lost keys of the " + std::to_string(keys) + "-key export");
            start = Now();
            CopyPlain(path, copy);
            copyTimes.push_back(Now() - start);
        }
        double load = Median(loadTimes);
        double copyRate = static_cast<double>(text.size()) / Median(copyTimes);
        double loadRate = static_cast<double>(text.size()) / load;
        std::string what = keys == 1000 ? "1,000 keys" : largeText;
        report->Row("Registry load, " + what, "plain read+write copy of the file",
                    Rate(copyRate, 1) + " (" + std::to_string(text.size() / 1000) + " kB)");
        report->Judge("Registry load, " + what, "RegistryStore::Open", Rate(loadRate, 1) + ", " + Duration(load),
                      loadRate / copyRate, "{} the copy's rate", 0.1, true);
        if (keys == large) largeLoad = load;
    }

    // FindFreeInstance over 9,999 taken instances: in a store of just those,
    // and among many other keys.
    std::vector<double> find[2];
    for (int largeStore = 0; largeStore < 2; ++largeStore) {
        StartOn(dir + "/find", MakeRegistryExport(largeStore ? large : 9999 + 5, 9999));
        for (int round = 0; round < options.rounds; ++round) {
            g_setup = SetupState{};
            double start = Now();
            FindFreeInstance();
            find[largeStore].push_back(Now() - start);
            if (!g_setup.noFreeInstance) report->Wrong("FindFreeInstance found a free instance among 9,999 taken");
        }
        PlatShutdown();
    }
    report->Row("FindFreeInstance, 9,999 taken", "store of the instances only", Duration(Median(find[0])));
    report->Judge("FindFreeInstance, 9,999 taken", "store of " + largeText, Duration(Median(find[1])),
                  Median(find[1]) / Median(find[0]), "{} the small store's time", 1.5, false);

    // A registry list of 1,000 lines, each line flushed.
    const int lines = 1000;
    std::string section = AddRegSection(lines);
    std::vector<double> apply[2];
    for (int largeStore = 0; largeStore < 2; ++largeStore) {
        std::string registry = MakeRegistryExport(largeStore ? large : 1000, 0);
        for (int round = 0; round < options.rounds; ++round) {
            StartOn(dir + "/addreg", registry);
            std::strcpy(g_setup.instanceText, "0000");
            LoadSetupTextFromMemory(section.data(), section.size());
            long position = FindSection(g_setupText.bytes, g_setupText.length, "[Driver.AddReg]");
            double start = Now();
            ApplyRegSection(g_setupText.bytes, position);
            apply[largeStore].push_back((Now() - start) / lines);
            ReleaseSetupText();
            PlatShutdown();
            if (round == 0) {
                RegistryStore check;
                std::string error;
                check.Open(dir + "/addreg/registry.reg", &error);
                uint32_t type = 0;
                std::string data;
                if (!check.GetValue(std::string(kDisplayClass) + "\\0000\\DEFAULT\\Group0", "Value0", &type, &data) ||
                    data != "text 0")
                    report->Wrong("a [Driver.AddReg] value did not reach the store");
            }
        }
    }
    report->Row("[Driver.AddReg], 1,000 lines", "per line, store of 1,000 keys", Duration(Median(apply[0])));
    report->Judge("[Driver.AddReg], 1,000 lines", "per line, store of " + largeText, Duration(Median(apply[1])),
                  Median(apply[1]) / Median(apply[0]), "{} the small store's time", 2, false);
    RemoveTree(dir);
    return largeLoad;
}
