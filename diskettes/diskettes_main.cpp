// vsetup-diskettes: makes one 1.44 MB diskette image per disk that a driver
// disk's setup.dat uses, with mtools, after reading setup.dat the way the
// installer will.
//
//   vsetup-diskettes [--check] [--exe VSETUP.EXE] DISKDIR [OUTDIR]
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "diskettes/setup_check.h"
#include "platform/host/disk_image.h"
#include "platform/host/host_ansi.h"
#include "platform/host/mtools_run.h"
#include "platform/host/profile_engine.h"

namespace {

const char kProgram[] = "vsetup-diskettes";
// A 1.44 MB diskette as mformat -f 1440 lays it out: 2880 sectors of 512
// bytes, one boot sector, two FATs of 9 sectors and 14 sectors of root
// directory leave 2847 clusters of one sector.
const long long kClusterSize = 512;
const long long kDataClusters = 2847;
const off_t kImageSize = 2880 * 512;
const int kRootEntries = 224;
const int kEntriesPerCluster = 16;  // of 32 bytes each
const int kLabelLength = 11;

struct Placed {
    std::string hostPath;
    std::string imagePath;  // "win/vorelx.dl_"
    long long size;
};

void Usage() {
    std::fprintf(stderr,
                 "usage: %s [--check] [--exe VSETUP.EXE] DISKDIR [OUTDIR]\n"
                 "  Writes OUTDIR/disk<N>.img, one 1.44 MB diskette image per disk that DISKDIR/setup.dat\n"
                 "  uses. --check only lists the lines of setup.dat the installer would refuse, skip or\n"
                 "  read differently, and exits 0 when there are none, 1 otherwise.\n",
                 kProgram);
}

// The host path of name (backslash-separated) under dir, each component
// matched without regard to case by the installer's Windows-1252 rules;
// empty when missing. It may be anything: Refusal tells whether it goes onto
// a diskette.
std::string FindNoCase(const std::string& dir, const std::string& name) {
    std::string path = dir;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('\\', start);
        std::string part = name.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? name.size() + 1 : end + 1;
        if (part.empty()) continue;
        std::string exact = path + "/" + part;
        struct stat info;
        if (stat(exact.c_str(), &info) == 0) {
            path = exact;
            continue;
        }
        DIR* listing = opendir(path.c_str());
        if (!listing) return "";
        std::string found;
        while (dirent* entry = readdir(listing)) {
            if (HostEqualNoCase(entry->d_name, part)) {
                found = path + "/" + entry->d_name;
                break;
            }
        }
        closedir(listing);
        if (found.empty()) return "";
        path = found;
    }
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? path : "";
}

// Why path, found in the disk directory diskDir (diskReal with its links
// resolved), stays off the diskettes as the installer would not read it: a
// link leading off the directory would put a file of this host on them, and
// only a regular file is copied. Empty when it goes; *real is then its path
// with the links resolved, which is what mcopy reads.
std::string Refusal(const std::string& diskDir, const std::string& diskReal, const std::string& path,
                    std::string* real) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved) return std::strerror(errno);
    std::string target = resolved;
    std::free(resolved);
    if (diskReal != "/" && target.compare(0, diskReal.size() + 1, diskReal + "/") != 0)
        return "it is a link leading off " + diskDir;
    struct stat info;
    if (stat(target.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return "it is not a regular file";
    *real = target;
    return "";
}

long long FileSize(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

long long Clusters(long long bytes) { return (bytes + kClusterSize - 1) / kClusterSize; }

// How much of a 1.44 MB diskette a disk's files take: data clusters (their
// own and those of the subdirectories that hold them) and entries of the
// root directory, whose size is fixed.
struct DiskSpace {
    long long clusters = 0;
    int rootEntries = 0;
};

DiskSpace DiskUsage(const std::vector<Placed>& files, bool labelled) {
    // Directory (lower case, "" for the root) -> its entries by lower-case name.
    std::map<std::string, std::map<std::string, int>> dirs;
    DiskSpace usage;
    for (const Placed& file : files) {
        usage.clusters += Clusters(file.size);
        std::string dir;
        size_t start = 0;
        while (start <= file.imagePath.size()) {
            size_t slash = file.imagePath.find('/', start);
            if (slash == std::string::npos) slash = file.imagePath.size();
            std::string name = file.imagePath.substr(start, slash - start);
            dirs[dir][HostLower(name)] = HostFatNameEntries(name);
            dir += "/" + HostLower(name);
            start = slash + 1;
        }
    }
    for (const auto& dir : dirs) {
        int entries = 0;
        for (const auto& name : dir.second) entries += name.second;
        if (dir.first.empty()) {
            usage.rootEntries = entries + (labelled ? 1 : 0);
        } else {  // "." and ".." besides the names, in whole clusters
            usage.clusters += (2 + entries + kEntriesPerCluster - 1) / kEntriesPerCluster;
        }
    }
    return usage;
}

// Runs an mtools command on the image; true when it exits 0.
bool Run(const HostMtools& mtools, const std::vector<std::string>& args) {
    int cannot = 0;
    if (mtools.Run(args, nullptr, false, &cannot)) return true;
    if (cannot != 0)
        std::fprintf(stderr, "%s: can't run %s (Debian package mtools): %s\n", kProgram, args[0].c_str(),
                     std::strerror(cannot));
    return false;
}

// The volume label a FAT boot sector can carry: upper case, at most 11
// characters, none of the characters FAT forbids in names.
std::string VolumeLabel(const std::string& label) {
    std::string out;
    for (char c : label) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || std::strchr("\"*+,./:;<=>?[\\]|", c)) u = '_';
        out += static_cast<char>(std::toupper(u));
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    if (out.size() > static_cast<size_t>(kLabelLength)) out.resize(kLabelLength);
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

// A fixed serial number per label, so the same disk gives the same image.
std::string Serial(const std::string& label, char disk) {
    unsigned long hash = 2166136261u;
    for (char c : label + disk) hash = ((hash ^ static_cast<unsigned char>(c)) * 16777619u) & 0xFFFFFFFFu;
    char text[9];
    std::snprintf(text, sizeof text, "%08lX", hash);
    return text;
}

// Writes the image under a private temporary name in the directory of path,
// created afresh so that nothing already there (a link, a FIFO, a device) is
// ever opened, and renamed to path when complete. mtools reaches the image
// through its open descriptor (by that name only on a system without /proc).
bool WriteImage(const std::string& path, const std::string& label, char disk, const std::vector<Placed>& files) {
    size_t base = path.rfind('/') + 1;  // 0 without a directory
    std::string temporary = path.substr(0, base) + "." + path.substr(base) + ".XXXXXX";
    int fd = mkstemp(&temporary[0]);
    if (fd < 0) return false;
    mode_t mask = umask(0);
    umask(mask);
    struct stat madeFile = {};
    bool ok = fchmod(fd, 0666 & ~mask) == 0 && ftruncate(fd, kImageSize) == 0 && fstat(fd, &madeFile) == 0;
    const HostMtools mtools(fd, temporary, -1);
    std::vector<std::string> format = {"mformat", "-f", "1440", "-N", Serial(label, disk)};
    if (label.empty()) {
        format.push_back("::");
    } else {
        format.insert(format.end(), {"-v", label, "::"});
    }
    ok = ok && Run(mtools, format);
    std::set<std::string> made;
    for (const Placed& file : files) {
        if (!ok) break;
        for (size_t slash = file.imagePath.find('/'); ok && slash != std::string::npos;
             slash = file.imagePath.find('/', slash + 1)) {
            std::string dir = file.imagePath.substr(0, slash);
            if (made.insert(HostLower(dir)).second) ok = Run(mtools, {"mmd", "::/" + dir});
        }
        if (ok) ok = Run(mtools, {"mcopy", "-m", "-D", "o", file.hostPath, "::/" + file.imagePath});
    }
    ok = close(fd) == 0 && ok;
    // The name goes only while it is still the file made here.
    struct stat named;
    bool ours =
        lstat(temporary.c_str(), &named) == 0 && named.st_dev == madeFile.st_dev && named.st_ino == madeFile.st_ino;
    if (ok && ours && std::rename(temporary.c_str(), path.c_str()) == 0) return true;
    if (ours) unlink(temporary.c_str());
    return false;
}

// The disk directory as given, and with its links resolved.
struct DiskDir {
    std::string path;
    std::string real;
};

// Prints the findings. The exit code when the run ends here, else -1.
int ReportFindings(const SetupCheck& check, bool checkOnly) {
    int failing = 0;
    for (const Finding& finding : check.findings) {
        if (finding.fails) ++failing;
        if (finding.line > 0) {
            std::printf("setup.dat:%d: %s: \"%s\": %s\n", finding.line, finding.fails ? "error" : "warning",
                        finding.text.c_str(), finding.what.c_str());
        } else {
            std::printf("setup.dat: %s: %s\n", finding.fails ? "error" : "warning", finding.what.c_str());
        }
    }
    std::fflush(stdout);
    if (checkOnly) return check.findings.empty() ? 0 : 1;
    if (failing) {
        std::fprintf(stderr, "%s: setup.dat has %d line%s that would make the installation fail; no image written\n",
                     kProgram, failing, failing == 1 ? "" : "s");
        return 1;
    }
    return -1;
}

// Finds each disk's files in the disk directory, disk 1 with the installer
// and setup.dat besides its own. false, after saying why, when one is
// missing or is not read.
bool PlaceFiles(const DiskDir& disk, const std::string& setupPath, std::string exe, const SetupCheck& check,
                std::map<char, std::vector<Placed>>* placed) {
    bool ok = true;
    std::string why;
    if (exe.empty() && !(exe = FindNoCase(disk.path, "VSETUP.EXE")).empty() &&
        !(why = Refusal(disk.path, disk.real, exe, &exe)).empty()) {
        std::fprintf(stderr, "%s: %s is not read: %s\n", kProgram, exe.c_str(), why.c_str());
        ok = false;
    } else if (exe.empty() || FileSize(exe) < 0) {
        std::fprintf(stderr, "%s: VSETUP.EXE is missing from %s\n", kProgram,
                     exe.empty() ? disk.path.c_str() : exe.c_str());
        ok = false;
    }
    (*placed)['1'] = {{setupPath, "setup.dat", FileSize(setupPath)}, {exe, "VSETUP.EXE", FileSize(exe)}};
    for (const auto& listed : check.disks) {
        std::set<std::string> seen;
        for (const DiskFile& file : listed.second) {
            std::string imagePath = file.listedName;
            for (char& c : imagePath)
                if (c == '\\') c = '/';
            if (!seen.insert(HostLower(imagePath)).second) continue;
            std::string host = FindNoCase(disk.path, file.listedName);
            if (host.empty()) {
                std::fprintf(stderr, "%s: setup.dat:%d: %s is missing from %s\n", kProgram, file.line,
                             file.listedName.c_str(), disk.path.c_str());
                ok = false;
                continue;
            }
            if (!(why = Refusal(disk.path, disk.real, host, &host)).empty()) {
                std::fprintf(stderr, "%s: setup.dat:%d: %s is not read: %s\n", kProgram, file.line, host.c_str(),
                             why.c_str());
                ok = false;
                continue;
            }
            (*placed)[listed.first].push_back({host, imagePath, FileSize(host)});
        }
    }
    return ok;
}

// Gives each disk its volume label ("" for none). false, after saying why, when a disk's
// files do not fit on a diskette.
bool FitDisks(const std::map<char, std::vector<Placed>>& placed, const SetupCheck& check,
              std::map<char, std::string>* labels) {
    bool ok = true;
    for (const auto& disk : placed) {
        auto known = check.labels.find(disk.first);
        if (known != check.labels.end()) (*labels)[disk.first] = VolumeLabel(known->second);
        DiskSpace usage = DiskUsage(disk.second, !(*labels)[disk.first].empty());
        if (usage.clusters > kDataClusters) {
            std::fprintf(stderr, "%s: disk %c's files do not fit on a 1.44 MB diskette: %lld bytes too many\n",
                         kProgram, disk.first, (usage.clusters - kDataClusters) * kClusterSize);
            ok = false;
        }
        if (usage.rootEntries > kRootEntries) {
            std::fprintf(stderr,
                         "%s: disk %c's files do not fit in the root directory of a 1.44 MB diskette: %d entries "
                         "too many of its %d (the volume label takes one, a long file name more than one)\n",
                         kProgram, disk.first, usage.rootEntries - kRootEntries, kRootEntries);
            ok = false;
        }
    }
    return ok;
}

// Writes OUTDIR/disk<N>.img for each disk. The exit code.
int WriteImages(const std::string& outDir, const std::map<char, std::vector<Placed>>& placed, const SetupCheck& check,
                const std::map<char, std::string>& labels) {
    if (mkdir(outDir.c_str(), 0777) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "%s: can't make %s: %s\n", kProgram, outDir.c_str(), std::strerror(errno));
        return 1;
    }
    std::map<std::string, char> labelOwners;
    for (const auto& disk : placed) {
        auto known = check.labels.find(disk.first);
        const std::string& label = labels.at(disk.first);  // every disk has one, "" for none
        if (known != check.labels.end() && label != known->second)
            std::printf("disk %c: the label \"%s\" becomes the volume label \"%s\"%s\n", disk.first,
                        known->second.c_str(), label.c_str(),
                        known->second.size() > static_cast<size_t>(kLabelLength) ? " (cut to 11 characters)" : "");
        if (!label.empty() && !labelOwners.emplace(label, disk.first).second)
            std::printf("disk %c: the volume label \"%s\" is the same as disk %c's\n", disk.first, label.c_str(),
                        labelOwners[label]);
        std::string path = outDir + "/disk" + disk.first + ".img";
        if (!WriteImage(path, label, disk.first, disk.second)) {
            std::fprintf(stderr, "%s: can't write %s\n", kProgram, path.c_str());
            return 1;
        }
        std::printf("%s: disk %c, %zu files\n", path.c_str(), disk.first, disk.second.size());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool checkOnly = false;
    std::string exe;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--check") {
            checkOnly = true;
        } else if (arg == "--exe" && i + 1 < argc) {
            exe = argv[++i];
        } else if (arg == "--help" || arg == "-h") {
            Usage();
            return 0;
        } else if (!arg.empty() && arg[0] == '-') {
            Usage();
            return 2;
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.empty() || positional.size() > 2 || (!checkOnly && positional.size() != 2)) {
        Usage();
        return 2;
    }
    DiskDir disk;
    disk.path = positional[0];
    char* resolved = realpath(disk.path.c_str(), nullptr);
    disk.real = resolved ? resolved : "";
    std::free(resolved);
    std::string setupPath = FindNoCase(disk.path, "setup.dat");
    std::string why;
    if (!setupPath.empty() && !(why = Refusal(disk.path, disk.real, setupPath, &setupPath)).empty()) {
        std::fprintf(stderr, "%s: %s is not read: %s\n", kProgram, setupPath.c_str(), why.c_str());
        return 1;
    }
    std::string data;
    if (setupPath.empty() || !HostReadWholeFile(setupPath, &data, nullptr)) {
        std::fprintf(stderr, "%s: %s holds no readable setup.dat\n", kProgram, disk.path.c_str());
        return 1;
    }

    SetupCheck check = CheckSetupDat(data);
    int code = ReportFindings(check, checkOnly);
    if (code >= 0) return code;
    std::map<char, std::vector<Placed>> placed;
    bool placedAll = PlaceFiles(disk, setupPath, exe, check, &placed);
    std::map<char, std::string> labels;
    if (!FitDisks(placed, check, &labels) || !placedAll) return 1;
    return WriteImages(positional[1], placed, check, labels);
}
