// The benchmark suite's driver (bench/run.sh builds it and passes the paths):
//
//   vsetup_bench --source DIR --build DIR --vsetup PATH --lower-bound PATH
//                [--lz32 PATH] [--docs FILE] [--quick] [--rounds N]
//                [--only expand,registry,install,startup,creg,qemu]
//
// Prints one table of results (and puts it in --docs between its markers).
// Exits 1 when some output was wrong or a case could not run; a missed speed
// target is reported in the table, never by the exit code.
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <string>

#include "bench/bench.h"

// bench/image_qemu.cpp: the installation into a qcow2 disk image.
void BenchQemuImage(const Options& options, const Inputs& inputs, Report* report);

namespace {

const char kBegin[] = "<!-- results:begin (bench/run.sh writes what follows) -->";
const char kEnd[] = "<!-- results:end -->";

std::string Machine() {
    std::string model;
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    utsname name;
    uname(&name);
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    char date[32];
    std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d", std::gmtime(&now));
    return std::string(date) + ", " + model + " (" + std::to_string(cores) + " cores), Linux " + name.release;
}

// Puts the table between the markers of the document, keeping the rest.
void WriteDocs(const std::string& path, const std::string& table) {
    std::string text;
    if (Exists(path)) text = ReadWhole(path);
    size_t begin = text.find(kBegin);
    size_t end = text.find(kEnd);
    std::string block = std::string(kBegin) + "\n\n" + table + "\n" + kEnd;
    if (begin == std::string::npos || end == std::string::npos || end < begin) {
        if (!text.empty() && text.back() != '\n') text += '\n';
        text += (text.empty() ? "" : "\n") + block + "\n";
    } else {
        text.replace(begin, end + std::strlen(kEnd) - begin, block);
    }
    WriteWhole(path, text);
}

bool Wanted(const std::string& only, const char* part) {
    return only.empty() || ("," + only + ",").find(std::string(",") + part + ",") != std::string::npos;
}

int Usage() {
    std::fputs(
        "usage: vsetup_bench --source DIR --build DIR --vsetup PATH --lower-bound PATH\n"
        "                    [--lz32 PATH] [--docs FILE] [--quick] [--rounds N] [--only LIST]\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string build, only;
    bool roundsGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (arg == "--quick")
            options.quick = true;
        else if (arg == "--source")
            options.sourceDir = value();
        else if (arg == "--build")
            build = value();
        else if (arg == "--vsetup")
            options.vsetup = value();
        else if (arg == "--lower-bound")
            options.lowerBound = value();
        else if (arg == "--lz32")
            options.lz32Exe = value();
        else if (arg == "--docs")
            options.docs = value();
        else if (arg == "--only")
            only = value();
        else if (arg == "--rounds")
            options.rounds = std::atoi(value().c_str()), roundsGiven = true;
        else
            return Usage();
    }
    if (options.sourceDir.empty() || build.empty() || options.vsetup.empty() || options.lowerBound.empty())
        return Usage();
    if (options.quick && !roundsGiven) options.rounds = 1;
    if (options.rounds < 1) return Usage();

    options.dataDir = build + (options.quick ? "/data-quick" : "/data");
    options.workDir = build + "/work";
    options.winePrefix = build + "/wine-prefix";
    // Scratch space in memory when the machine has it.
    std::string ramPattern = "/dev/shm/vsetup-bench.XXXXXX";
    struct stat st;
    if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && mkdtemp(&ramPattern[0])) {
        options.ramDir = ramPattern;
    } else {
        options.ramDir = build + "/ram";
    }

    Report report;
    int status = 0;
    try {
        RemoveTree(options.workDir);
        MakeDirs(options.workDir);
        MakeDirs(options.ramDir);
        Inputs inputs = PrepareInputs(options, &report);
        if (Wanted(only, "expand")) BenchExpansion(options, inputs, &report);
        double load = 0;
        if (Wanted(only, "registry") || Wanted(only, "startup")) load = BenchRegistry(options, &report);
        if (Wanted(only, "install")) BenchInstall(options, inputs, &report);
        if (Wanted(only, "startup")) BenchStartup(options, inputs, load, &report);
        if (Wanted(only, "creg")) BenchCreg(options, &report);
        if (Wanted(only, "qemu") && HaveProgram("qemu-img")) BenchQemuImage(options, inputs, &report);
    } catch (const std::exception& error) {
        report.Wrong(std::string("the benchmark could not run: ") + error.what());
    }
    RemoveTree(options.ramDir);
    RemoveTree(options.workDir);

    report.Note("Medians of " + std::to_string(options.rounds) + (options.rounds == 1 ? " round" : " rounds") +
                "; MB = 10^6 bytes (expanded bytes for expansion). Measured " + Machine() + ".");
    std::string heading = options.quick ? "## Results (quick run: small inputs, not for judging speed)" : "## Results";
    std::string table = report.Markdown(heading);
    std::fputs(table.c_str(), stdout);
    if (!options.docs.empty() && !options.quick) WriteDocs(options.docs, table);
    if (report.Missed() > 0)
        std::fprintf(stderr, "%d speed target(s) missed (reported above; not a failure).\n", report.Missed());
    if (report.Failed()) status = 1;
    return status;
}
