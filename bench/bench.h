// The benchmark suite: the installer's expansion, installation, registry and
// start-up costs, each measured in the same run as what it is compared with.
// Only ratios from one run are judged; absolute times on a shared machine
// mean little.
#ifndef VSETUP_BENCH_BENCH_H
#define VSETUP_BENCH_BENCH_H

#include <cstdint>
#include <string>
#include <vector>

struct Options {
    bool quick = false;
    int rounds = 5;           // repetitions of each timed case; the median counts
    std::string sourceDir;   // the project's sources
    std::string dataDir;     // generated inputs, kept between runs
    std::string workDir;     // scratch space on the build directory's disk
    std::string ramDir;      // scratch space in memory (tmpfs), or workDir
    std::string vsetup;       // the vsetup program
    std::string lowerBound;  // the lower-bound installer
    std::string lz32Exe;     // the Win32 LZCopy program, "" when not built
    std::string winePrefix;  // Wine's prefix for it
    std::string docs;         // where the table goes, "" for nowhere
};

// ---- measuring

double Now();  // seconds on a monotonic clock
double Median(std::vector<double> values);

// ---- files

std::string ReadWhole(const std::string& path);
void WriteWhole(const std::string& path, const std::string& data);
bool Exists(const std::string& path);
void MakeDirs(const std::string& path);
void RemoveTree(const std::string& path);
// Copies a file the plain way (read and write in big blocks, no sync).
void CopyPlain(const std::string& from, const std::string& to);
// Writes everything the page cache holds to disk, so that one case's
// writeback does not land in the next case's time.
void SyncAll();

// ---- processes

struct ProcessResult {
    int status = -1;     // exit code, or -1 when it did not exit normally
    double seconds = 0;  // from start to exit
    std::string output;  // standard output, when captured
};

struct Command {
    std::vector<std::string> argv;
    std::vector<std::string> env;  // NAME=VALUE added to (or replacing in) ours
    std::string cwd;
    std::string stdinPath;   // "" for /dev/null
    std::string stdoutPath;  // "" to capture, "-" for /dev/null
};
ProcessResult RunProcess(const Command& command);
bool HaveProgram(const std::string& name);

// ---- the report

class Report {
public:
    // A measured case. ratio and target are text ("4.2x", "≥ 3x"); met is
    // "met", "missed" or "" (for information only).
    void Row(const std::string& section, const std::string& subject, const std::string& value,
             const std::string& ratio = "", const std::string& target = "", const std::string& met = "");
    // A ratio judged against a target: at least (higher is better) or at most.
    // In the wording of the ratio, "{}" stands for the ratio ("vsetup {} as
    // fast", "{} the lower bound's time").
    void Judge(const std::string& section, const std::string& subject, const std::string& value, double ratio,
               const std::string& wording, double limit, bool atLeast);
    // Wrong output: the run fails, whatever the speed.
    void Wrong(const std::string& what);
    void Note(const std::string& text);

    bool Failed() const { return !wrong_.empty(); }
    int Missed() const { return missed_; }
    std::string Markdown(const std::string& heading) const;
    void Print() const;

private:
    struct Line {
        std::string section, subject, value, ratio, target, met;
    };
    std::vector<Line> lines_;
    std::vector<std::string> wrong_;
    std::vector<std::string> notes_;
    int missed_ = 0;
};

std::string Rate(double bytes, double seconds);                // "612 MB/s", "1.31 GB/s"
std::string Duration(double seconds);                          // "0.52 s", "14.1 ms", "8.3 µs"
std::string Times(double ratio);                               // "3.2x"
std::string Worded(const std::string& wording, double ratio);  // "{}" in wording becomes Times(ratio)

// ---- inputs

// The expansion inputs: real binary content, compressed with mscompress.
struct InputSet {
    std::string name;                 // "64 MiB file", "300 files"
    std::vector<std::string> plain;   // the expanded bytes, one path per file
    std::vector<std::string> packed;  // the same, compressed, in the same order
    std::vector<std::string> names;   // installed names ("f000.dll")
    uint64_t bytes = 0;               // expanded bytes in all
};

struct Inputs {
    InputSet big;
    InputSet files;
    std::string disk;      // a driver disk holding files.packed and its setup.dat
    std::string oneDisk;  // a driver disk with one file
};
Inputs PrepareInputs(const Options& options, Report* report);

// ---- the benchmarks

void BenchExpansion(const Options& options, const Inputs& inputs, Report* report);
// Returns the median load time of the largest store, for the start-up case.
double BenchRegistry(const Options& options, Report* report);
void BenchInstall(const Options& options, const Inputs& inputs, Report* report);
void BenchStartup(const Options& options, const Inputs& inputs, double storeLoadSeconds, Report* report);
// SYSTEM.DAT: loading, one flushed line by file size, a whole installation.
void BenchCreg(const Options& options, Report* report);

// ---- registry text

// A REGEDIT4 export of about keyCount keys with a few values each, as a
// Windows 95 registry holds them. With instances > 0, the first keys are the
// display class instances 0000 onwards.
std::string MakeRegistryExport(int keyCount, int instances);

#endif
