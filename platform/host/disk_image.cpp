#include "platform/host/disk_image.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "platform/host/byte_order.h"
#include "platform/host/host_ansi.h"
#include "platform/host/host_io.h"
#include "platform/host/image_forms.h"
#include "platform/host/mtools_run.h"
#include "platform/host/profile_engine.h"

namespace {

const size_t kSector = 512;

// A file or directory of the partition, as mtools lists it.
struct Entry {
    std::string path;  // as the image spells it, without "::/"
    bool dir = false;
    bool readOnly = false;
    long long clusters = 0;
};

struct ImageState {
    bool active = false;
    int lockFd = -1;
    std::string image;     // the image file
    HostMtools mtools;     // reaches the partition
    std::string staging;   // the staging prefix
    std::string registry;  // the registry beside the image
    long long offset = 0;  // of the partition in the image
    long long clusterSize = 0;
    // What the partition holds, by lower-case path ("windows/system.ini").
    std::map<std::string, Entry> survey;
    // Files of the image copied into the staging prefix, by their path
    // below drive_c, with the bytes they had.
    std::map<std::string, std::string> extracted;
    std::string registryBefore;
};
ImageState g_image;

// Runs an mtools command on the partition. true when it exits 0; *output
// receives its standard output.
bool Mtools(std::vector<std::string> args, std::string* output = nullptr, bool quiet = false) {
    return g_image.mtools.Run(std::move(args), output, quiet);
}

// The partition's free bytes as mtools counts them, or -1.
long long FreeBytes() {
    std::string listing;
    if (!Mtools({"mdir", "-a", "::/"}, &listing)) return -1;
    size_t at = listing.rfind(" bytes free");
    if (at == std::string::npos) return -1;
    size_t start = listing.rfind('\n', at);
    std::string digits;
    for (size_t i = start == std::string::npos ? 0 : start + 1; i < at; ++i)
        if (listing[i] >= '0' && listing[i] <= '9') digits += listing[i];
    return digits.empty() ? -1 : std::stoll(digits);
}

bool MakeDirs(const std::string& path) {
    std::string sofar = path.substr(0, path.find_first_not_of('/'));
    size_t start = sofar.size();
    while (start < path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (!sofar.empty() && sofar.back() != '/') sofar += '/';
        sofar += path.substr(start, end - start);
        if (mkdir(sofar.c_str(), 0755) != 0 && errno != EEXIST) return false;
        start = end + 1;
    }
    return true;
}

// Every file and directory below root, as paths relative to it.
void Walk(const std::string& root, const std::string& relative, std::vector<std::string>* files,
          std::vector<std::string>* dirs) {
    DIR* dir = opendir((root + (relative.empty() ? "" : "/" + relative)).c_str());
    if (!dir) return;
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::string child = relative.empty() ? name : relative + "/" + name;
        struct stat st;
        if (lstat((root + "/" + child).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            dirs->push_back(child);
            Walk(root, child, files, dirs);
        } else if (S_ISREG(st.st_mode)) {
            files->push_back(child);
        }
    }
}

void RemoveTree(const std::string& root) {
    std::vector<std::string> files, dirs;
    Walk(root, "", &files, &dirs);
    for (const std::string& file : files) unlink((root + "/" + file).c_str());
    for (auto it = dirs.rbegin(); it != dirs.rend(); ++it) rmdir((root + "/" + *it).c_str());
    rmdir(root.c_str());
}

// Every line of text.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// A path of the partition as Windows writes it: "C:\\WINDOWS\\SYSTEM.INI".
std::string DosPath(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return "C:\\" + path;
}

// Lists the partition: every file and directory, its read-only attribute
// and the clusters a file takes. false when mtools cannot read it.
bool Survey(std::map<std::string, Entry>* survey) {
    std::string names, attributes, usage;
    if (!Mtools({"mdir", "-/", "-b", "-a", "::/"}, &names)) return false;
    survey->clear();
    bool anyFile = false;
    for (std::string line : Lines(names)) {  // "::/WINDOWS/", "::/WINDOWS/SYSTEM.INI"
        if (line.compare(0, 3, "::/") != 0) continue;
        line.erase(0, 3);
        bool dir = !line.empty() && line.back() == '/';
        if (dir) line.pop_back();
        if (line.empty()) continue;
        Entry& entry = (*survey)[HostLower(line)];
        entry.path = line;
        entry.dir = dir;
        if (!dir) anyFile = true;
    }
    // mattrib and mdu fail on a partition of directories only: there is no
    // file whose attributes and clusters they could list then.
    if (anyFile && (!Mtools({"mattrib", "-/", "::/"}, &attributes) || !Mtools({"mdu", "-a", "::/"}, &usage)))
        return false;
    for (const std::string& line : Lines(attributes)) {  // "  A    R     ::/WINDOWS/SYSTEM.INI"
        size_t at = line.find("::/");
        auto found = at == std::string::npos ? survey->end() : survey->find(HostLower(line.substr(at + 3)));
        if (found != survey->end()) found->second.readOnly = line.find('R') < at;
    }
    for (const std::string& line : Lines(usage)) {  // "::/WINDOWS/SYSTEM.INI 1"
        size_t space = line.rfind(' ');
        if (line.compare(0, 3, "::/") != 0 || space == std::string::npos) continue;
        auto found = survey->find(HostLower(line.substr(3, space - 3)));
        if (found != survey->end() && !found->second.dir) found->second.clusters = std::atoll(line.c_str() + space + 1);
    }
    return true;
}

const Entry* Surveyed(const std::string& path) {
    auto found = g_image.survey.find(HostLower(path));
    return found == g_image.survey.end() ? nullptr : &found->second;
}

const size_t kNoLimit = static_cast<size_t>(-1);

// The staging prefix goes when the process ends, whatever stopped the run;
// a commit has removed it already.
void DropStaging() {
    if (!g_image.staging.empty()) RemoveTree(g_image.staging);
    g_image.staging.clear();
}

}  // namespace

bool HostImageActive() { return g_image.active; }

bool HostImageOpen(const std::string& image, std::string* staging, std::string* error) {
    // Windows does not write a read-only file, whoever asks: root, who may
    // open it for writing, does not write this one either.
    struct stat st;
    if (stat(image.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0) {
        *error = "the disk image " + image + " is read-only";
        return false;
    }
    int opened = open(image.c_str(), O_RDWR | O_CLOEXEC);
    // Clear of the descriptor number mtools gets it on.
    int fd = opened < 0 ? -1 : fcntl(opened, F_DUPFD_CLOEXEC, kHostMtoolsFd + 1);
    int code = errno;
    if (opened >= 0) close(opened);
    if (fd < 0) {
        *error = "cannot open the disk image " + image + ": " + std::strerror(code);
        return false;
    }
    // A second run on the same image waits here for the first to end.
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    ImagePartition partition;
    std::string why;
    if (fstat(fd, &st) != 0 || !HostLocateImagePartition(fd, st.st_size, &partition, &why)) {
        close(fd);
        *error = "the disk image " + image + " " + (why.empty() ? "cannot be read" : why);
        return false;
    }
    // Without /proc the image is named to mtools by its path, which must
    // then hold no "@@".
    HostMtools mtools(fd, image, partition.offset);
    if (mtools.NamesImageByPath() && image.find("@@") != std::string::npos) {
        close(fd);
        *error = "the disk image " + image + " has \"@@\" in its path, which mtools reads as an offset; rename it";
        return false;
    }
    g_image.lockFd = fd;
    g_image.image = image;
    g_image.offset = partition.offset;
    g_image.mtools = mtools;
    g_image.clusterSize = partition.clusterSize;
    g_image.registry = image + ".registry.reg";

    // mtools fails on an empty partition as when it cannot read one: either
    // way there is no WINDOWS directory to install into.
    if (!Survey(&g_image.survey)) g_image.survey.clear();
    const Entry* windows = Surveyed("WINDOWS");
    if (!windows || !windows->dir) {
        *error = "the disk image " + image + " has no WINDOWS directory on its C: partition";
        return false;
    }
    // The staging prefix is scratch (what counts is written into the image
    // afterwards): in memory when the system has a memory file system, so
    // its syncs cost nothing.
    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp && *tmp ? tmp : access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    // One staging prefix per image, named after it: a run that was killed
    // left its own behind, and holding the image's lock this run is the only
    // one that can be using it.
    char* real = realpath(image.c_str(), nullptr);
    const std::string identity = real ? real : image;
    std::free(real);
    unsigned long long hash = 14695981039346656037ULL;
    for (char c : identity) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%016llx", hash);
    const std::string name = base + "/vsetup-image-" + std::to_string(getuid()) + "-" + suffix;
    struct stat old;
    if (lstat(name.c_str(), &old) == 0) {
        if (!S_ISDIR(old.st_mode) || old.st_uid != getuid()) {
            *error = name + " is in the way of the staging directory for the disk image: it is not this user's";
            return false;
        }
        RemoveTree(name);
    }
    if (mkdir(name.c_str(), 0700) != 0 || !MakeDirs(name + "/drive_c/WINDOWS/SYSTEM")) {
        RemoveTree(name);
        *error = "cannot make the staging directory " + name + " for the disk image";
        return false;
    }
    g_image.staging = name;
    static bool dropping = false;
    if (!dropping) dropping = std::atexit(DropStaging) == 0;

    // The files of the image that the run reads: the boot entry's file, and
    // the system's own registry when it has one.
    for (const std::string file : {"WINDOWS/SYSTEM.INI", "WINDOWS/SYSTEM.DAT"}) {
        const Entry* entry = Surveyed(file);
        if (!entry) continue;
        std::string host = g_image.staging + "/drive_c/" + file;
        std::string data;
        if (entry->dir || !Mtools({"mcopy", "-n", "::/" + entry->path, host}, nullptr, true) ||
            !HostReadWholeFile(host, &data, nullptr, kNoLimit)) {
            *error = "cannot read " + DosPath(entry->path) + " of the disk image " + image;
            DropStaging();
            return false;
        }
        g_image.extracted[file] = data;
    }
    bool missing = false;
    if (HostReadWholeFile(g_image.registry, &g_image.registryBefore, &missing)) {
        if (!HostReplaceFileWhole(g_image.staging + "/registry.reg", g_image.registryBefore)) {
            *error = "cannot copy the registry " + g_image.registry + " into the staging directory";
            DropStaging();
            return false;
        }
    } else if (!missing) {
        *error = "cannot read the registry " + g_image.registry;
        DropStaging();
        return false;
    }
    g_image.active = true;
    *staging = g_image.staging;
    return true;
}

void HostImageNameIn(std::string* text) {
    if (g_image.staging.empty()) return;
    for (size_t at = text->find(g_image.staging); at != std::string::npos; at = text->find(g_image.staging, at)) {
        size_t end = text->find_first_of(" :;,'\"\n", at + g_image.staging.size());
        if (end == std::string::npos) end = text->size();
        std::string rest = text->substr(at + g_image.staging.size(), end - at - g_image.staging.size());
        std::string named = g_image.image;
        if (rest == "/registry.reg") {
            named = g_image.registry;
        } else if (rest.compare(0, 9, "/drive_c/") == 0) {
            named = DosPath(rest.substr(9)) + " in the disk image " + g_image.image;
        }
        text->replace(at, end - at, named);
        at += named.size();
    }
}

namespace {

bool WriteBack(std::string* error);

}  // namespace

bool HostImageCommit(bool registry_written, std::string* error) {
    if (!g_image.active) return true;
    bool written = false;
    if (!registry_written) {
        *error = "the registry could not be written, so nothing of the run goes into the disk image " +
                 g_image.image + "; the disk image was not changed";
    } else {
        written = WriteBack(error);
    }
    DropStaging();
    g_image.active = false;
    return written;
}

namespace {

bool WriteAt(int fd, long long offset, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = pwrite(fd, bytes.data() + done, bytes.size() - done, offset + static_cast<long long>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// What the write-back changes in the partition, kept so that a failure
// halfway can put it back: the sectors before the data area (boot sector,
// FATs, the FAT12/16 root directory), the clusters of each directory that
// gets or loses an entry, and those of each file it removes or replaces
// (once freed, a later file may be written into them). Every other cluster
// it writes was free before, and the FATs put back free it again.
struct Undo {
    std::vector<std::pair<long long, std::string>> ranges;

    bool Save(long long at, long long size) {
        std::string bytes(static_cast<size_t>(size), '\0');
        if (!HostReadAt(g_image.lockFd, at, reinterpret_cast<unsigned char*>(&bytes[0]), bytes.size())) return false;
        ranges.emplace_back(at, std::move(bytes));
        return true;
    }
    bool Restore() const {
        bool ok = true;
        for (auto it = ranges.rbegin(); it != ranges.rend(); ++it) ok = WriteAt(g_image.lockFd, it->first, it->second) && ok;
        return HostFsync(g_image.lockFd) && ok;
    }
};

bool SaveUndo(const std::vector<std::string>& paths, Undo* undo) {
    unsigned char boot[kSector];
    if (!HostReadAt(g_image.lockFd, g_image.offset, boot, kSector)) return false;
    long long bytesPerSector = HostGetLe16(boot + 11);
    long long fatSectors = HostGetLe16(boot + 22) != 0 ? HostGetLe16(boot + 22) : static_cast<long long>(HostGetLe32(boot + 36));
    long long rootBytes = (HostGetLe16(boot + 17) * 32LL + bytesPerSector - 1) / bytesPerSector * bytesPerSector;
    long long dataStart = (HostGetLe16(boot + 14) + boot[16] * fatSectors) * bytesPerSector + rootBytes;
    if (!undo->Save(g_image.offset, dataStart)) return false;
    std::vector<std::string> args = {"mshowfat"};
    for (const std::string& path : paths) args.push_back("::/" + path);
    std::string chains;
    if (args.size() > 1 && !Mtools(args, &chains)) return false;
    // "::/WINDOWS <5-7> <12>": the clusters of each, run by run.
    for (size_t at = chains.find('<'); at != std::string::npos; at = chains.find('<', at + 1)) {
        char* end = nullptr;
        long long first = std::strtoll(chains.c_str() + at + 1, &end, 10);
        long long last = *end == '-' ? std::strtoll(end + 1, &end, 10) : first;
        if (*end != '>' || first < 2 || last < first) return false;
        if (!undo->Save(g_image.offset + dataStart + (first - 2) * g_image.clusterSize,
                        (last - first + 1) * g_image.clusterSize))
            return false;
    }
    return true;
}

// DOS and Windows take these names, with any extension, for devices;
// mtools refuses to make a file of some of them.
bool IsDeviceName(const std::string& name) {
    std::string base = HostLower(name.substr(0, name.find('.')));
    if (base == "con" || base == "prn" || base == "aux" || base == "nul") return true;
    return base.size() == 4 && (base.compare(0, 3, "com") == 0 || base.compare(0, 3, "lpt") == 0) &&
           base[3] >= '1' && base[3] <= '9';
}

std::string Parent(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

std::string LastName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// What stops a file or directory from going to path in the partition, or "".
std::string InTheWay(const std::string& path, bool dir) {
    const std::string windows = DosPath(path);
    for (std::string part = path; !part.empty(); part = Parent(part)) {
        if (IsDeviceName(LastName(part))) return windows + ": " + LastName(part) + " is the name of a device";
        const Entry* entry = Surveyed(part);
        if (part != path && entry && !entry->dir) return windows + ": " + DosPath(entry->path) + " is a file";
    }
    const Entry* entry = Surveyed(path);
    if (entry && entry->dir && !dir) return windows + " is a directory";
    if (entry && !entry->dir && dir) return windows + " is a file";
    // The system's own registry files are written whatever their attribute,
    // as Windows writes them.
    bool registry = HostEqualNoCase(path.c_str(), "WINDOWS/SYSTEM.DAT") || HostEqualNoCase(path.c_str(), "WINDOWS/SYSTEM.VS0");
    if (entry && entry->readOnly && !registry) return windows + " is read-only";
    return "";
}

// The registry beside the image, written and synced under a temporary name
// before the image is changed, so that nothing is left to fail but the
// rename at the end.
bool PrepareRegistry(const std::string& data, std::string* temp) {
    int fd = HostCreateTemporary(HostDirectoryOf(g_image.registry) + "/." + LastName(g_image.registry) + ".", temp);
    if (fd < 0) return false;
    struct stat st;
    bool like = stat(g_image.registry.c_str(), &st) == 0;
    bool ok = (like ? HostTakeOwnership(fd, st) : fchmod(fd, 0644) == 0) && HostWriteAll(fd, data.data(), data.size()) &&
              HostFsync(fd);
    if (close(fd) != 0) ok = false;
    if (!ok) {
        unlink(temp->c_str());
        HostSetCurrentTemporary(nullptr);
        temp->clear();
    }
    return ok;
}

// Those of files (paths below root) that the image holds with the same
// bytes: copied out of the image directory by directory and compared.
std::vector<std::string> SameInImage(const std::vector<std::string>& files, const std::string& root) {
    std::map<std::string, std::vector<std::string>> byDir;
    for (const std::string& file : files) {
        const Entry* entry = Surveyed(file);
        if (entry && !entry->dir) byDir[Parent(file)].push_back(entry->path);
    }
    std::vector<std::string> same;
    for (const auto& group : byDir) {
        const std::string out = g_image.staging + "/before";
        RemoveTree(out);
        std::vector<std::string> args = {"mcopy", "-n"};
        for (const std::string& path : group.second) args.push_back("::/" + path);
        args.push_back(out);
        if (mkdir(out.c_str(), 0700) != 0 || !Mtools(args, nullptr, true)) continue;
        for (const std::string& path : group.second) {
            const std::string file = group.first + "/" + LastName(path);
            std::string ours, theirs;
            auto staged = std::find_if(files.begin(), files.end(),
                                       [&](const std::string& f) { return HostEqualNoCase(f.c_str(), file.c_str()); });
            if (HostReadWholeFile(out + "/" + LastName(path), &theirs, nullptr, kNoLimit) &&
                HostReadWholeFile(root + "/" + *staged, &ours, nullptr, kNoLimit) && ours == theirs)
                same.push_back(*staged);
        }
    }
    RemoveTree(g_image.staging + "/before");
    return same;
}

bool WriteBack(std::string* error) {
    const std::string unchanged = "; the disk image was not changed";
    const std::string root = g_image.staging + "/drive_c";
    std::vector<std::string> files, dirs, changed, newDirs;
    Walk(root, "", &files, &dirs);
    std::string systemIni, systemDat;
    std::map<std::string, long long> sizes;
    for (const std::string& file : files) {
        // No size limit here: a file goes in whatever its size, as into a
        // directory prefix.
        std::string data;
        auto before = g_image.extracted.find(file);
        struct stat st;
        if (before != g_image.extracted.end() ? !HostReadWholeFile(root + "/" + file, &data, nullptr, kNoLimit)
                                              : stat((root + "/" + file).c_str(), &st) != 0) {
            *error = "cannot read " + root + "/" + file + unchanged;
            return false;
        }
        if (before != g_image.extracted.end() && before->second == data) continue;
        sizes[file] = before != g_image.extracted.end() ? static_cast<long long>(data.size()) : st.st_size;
        if (HostEqualNoCase(file.c_str(), "WINDOWS/SYSTEM.INI")) {
            systemIni = file;
        } else if (HostEqualNoCase(file.c_str(), "WINDOWS/SYSTEM.DAT")) {
            systemDat = file;
        } else {
            changed.push_back(file);
        }
    }
    // A file the image holds already as the run made it stays (a killed
    // run wrote it): what is there counts, and needs no room again.
    std::vector<std::string> same = SameInImage(changed, root);
    auto kept = std::remove_if(changed.begin(), changed.end(), [&](const std::string& file) {
        return std::find(same.begin(), same.end(), file) != same.end();
    });
    changed.erase(kept, changed.end());
    // The boot entry goes in last but for the registry, which names the new
    // driver only once everything else is there.
    if (!systemIni.empty()) changed.push_back(systemIni);
    if (!systemDat.empty()) changed.push_back(systemDat);

    // Everything that can be known to fail is found before the first write.
    std::string why;
    for (const std::string& dir : dirs) {
        if (why.empty()) why = InTheWay(dir, true);
        if (!Surveyed(dir)) newDirs.push_back(dir);
    }
    for (size_t i = 0; why.empty() && i < changed.size(); ++i) why = InTheWay(changed[i], false);
    if (!why.empty()) {
        *error = "cannot write into the disk image " + g_image.image + ": " + why + unchanged;
        return false;
    }

    // Directory by directory: a file new to the disk is copied under its
    // name (until then it is absent, its old state), all of the directory's
    // in one mtools run; a file that replaces one is copied under a
    // temporary name that then takes the old one's. SYSTEM.INI comes last.
    std::vector<std::pair<std::string, std::vector<std::string>>> byDir;
    for (const std::string& file : changed) {
        if (byDir.empty() || byDir.back().first != Parent(file)) byDir.push_back({Parent(file), {}});
        byDir.back().second.push_back(LastName(file));
    }
    // The room that takes, in clusters: directories that grow (every new
    // name, and a temporary name per replaced file, counted as if no
    // directory had a free entry), and the files in the order they go in,
    // each replaced one freeing the old one's clusters once it has taken
    // its name. Temporary files a killed run left behind go first.
    auto clustersOf = [](long long bytes) { return (bytes + g_image.clusterSize - 1) / g_image.clusterSize; };
    std::map<std::string, long long> entries;
    for (const std::string& dir : newDirs) {
        entries[HostLower(Parent(dir))] += HostFatNameEntries(LastName(dir));
        entries[HostLower(dir)] += 2;  // "." and ".."
    }
    for (const std::string& file : changed)
        entries[HostLower(Parent(file))] += Surveyed(file) ? 1 : HostFatNameEntries(LastName(file));
    long long used = 0;
    for (const auto& dir : entries) used += std::max(clustersOf(dir.second * 32), Surveyed(dir.first) ? 0LL : 1LL);
    std::set<std::string> leftovers;
    std::vector<std::string> freed;  // files whose clusters the write-back frees
    for (const auto& entry : g_image.survey) {
        const std::string name = LastName(entry.first);
        if (!entries.count(Parent(entry.first)) || entry.second.dir || name.size() != 12 ||
            name.compare(0, 3, "vsi") != 0 || name.compare(8, 4, ".tmp") != 0)
            continue;
        used -= entry.second.clusters;
        leftovers.insert(Parent(entry.second.path));
        freed.push_back(entry.second.path);
    }
    long long peak = used;
    for (const auto& group : byDir) {
        for (const std::string& name : group.second) {
            const std::string file = group.first + "/" + name;
            if (!Surveyed(file)) used += clustersOf(sizes[file]);
        }
        peak = std::max(peak, used);
        for (const std::string& name : group.second) {
            const std::string file = group.first + "/" + name;
            const Entry* old = Surveyed(file);
            if (!old) continue;
            peak = std::max(peak, used + clustersOf(sizes[file]));
            used += clustersOf(sizes[file]) - old->clusters;
        }
    }
    long long free = FreeBytes();
    if (free < 0) {
        *error = "cannot read the free space of " + g_image.image + unchanged;
        return false;
    }
    if (peak * g_image.clusterSize > free) {
        *error = "the C: partition of " + g_image.image + " is too full for the installed files: " +
                 std::to_string(peak * g_image.clusterSize - free) + " bytes short" + unchanged;
        return false;
    }
    std::string registry, registryTemp;
    if (HostReadWholeFile(g_image.staging + "/registry.reg", &registry, nullptr, kNoLimit) &&
        registry != g_image.registryBefore && !PrepareRegistry(registry, &registryTemp)) {
        *error = "cannot write the registry " + g_image.registry + ": " + std::strerror(errno) + unchanged;
        return false;
    }

    // Every directory whose entries change (those that get files, those that
    // get new directories), and the files whose clusters it frees (replaced
    // files, leftover temporary files), which later files may take.
    std::vector<std::string> touched = freed;
    for (const auto& dir : entries) {
        const Entry* entry = Surveyed(dir.first);
        if (entry || dir.first.empty()) touched.push_back(entry ? entry->path : "");
    }
    for (const std::string& file : changed)
        if (Surveyed(file)) touched.push_back(Surveyed(file)->path);
    Undo undo;
    bool saved = SaveUndo(touched, &undo);
    auto fail = [&](const std::string& what) {
        bool back = undo.Restore();
        if (!registryTemp.empty()) {
            unlink(registryTemp.c_str());
            HostSetCurrentTemporary(nullptr);
        }
        *error = what + (back ? "; the disk image is as it was" : "; the disk image could not be put back as it was");
        return false;
    };
    if (!saved) {
        undo.ranges.clear();
        return fail("cannot read the disk image " + g_image.image);
    }

    for (const std::string& dir : leftovers)
        if (!Mtools({"mdel", "::/" + dir + "/VSI?????.TMP"}, nullptr, true))
            return fail("cannot remove the temporary files of an earlier run from the disk image " + g_image.image);
    for (const std::string& dir : newDirs)
        if (!Mtools({"mmd", "::/" + dir}))
            return fail("cannot make the directory " + dir + " in the disk image " + g_image.image);
    unsigned serial = 0;
    for (const auto& group : byDir) {
        const std::string dir = "::/" + group.first + "/";
        std::vector<std::string> fresh = {"mcopy"};
        std::vector<std::string> replaced;
        for (const std::string& name : group.second) {
            if (Surveyed(group.first + "/" + name)) {
                replaced.push_back(name);
            } else {
                fresh.push_back(root + "/" + group.first + "/" + name);
            }
        }
        fresh.push_back(dir);
        bool ok = fresh.size() == 2 || Mtools(fresh);
        for (size_t i = 0; ok && i < replaced.size(); ++i) {
            char temp[16];
            std::snprintf(temp, sizeof temp, "VSI%05u.TMP", serial++);
            // The new file keeps the old one's read-only, hidden and system
            // attributes (SYSTEM.DAT has all three).
            std::string attributes, keep;
            ok = Mtools({"mattrib", dir + replaced[i]}, &attributes, true);
            size_t drive = attributes.find("::");
            for (char flag : {'R', 'S', 'H'})
                if (attributes.find(flag) < drive) keep += std::string(" +") + static_cast<char>(std::tolower(flag));
            ok = ok && Mtools({"mcopy", "-o", root + "/" + group.first + "/" + replaced[i], dir + temp}) &&
                 Mtools({"mmove", "-D", "o", dir + temp, dir + replaced[i]});
            for (size_t at = 0; ok && at < keep.size(); at += 3)
                ok = Mtools({"mattrib", keep.substr(at + 1, 2), dir + replaced[i]});
        }
        if (!ok) return fail("cannot write the files of " + group.first + " into the disk image " + g_image.image);
    }
    // The files are on the disk before the registry names them.
    if (!HostFsync(g_image.lockFd))
        return fail("cannot write the disk image " + g_image.image + " to the disk: " + std::strerror(errno));
    // The registry last: until it names the new driver, the system runs
    // with its old one.
    if (!registryTemp.empty()) {
        if (rename(registryTemp.c_str(), g_image.registry.c_str()) != 0)
            return fail("cannot write the registry " + g_image.registry + ": " + std::strerror(errno));
        HostSetCurrentTemporary(nullptr);
        HostSyncDirectoryOf(g_image.registry);
    }
    return true;
}

}  // namespace

namespace {

// Whether mcopy stores name in one directory entry: an 8.3 name of the
// characters a short name allows, each part in one case (the entry's case
// flags keep a lower-case part). A byte above 127 counts as needing a long
// name, which may count an entry too many but never one too few.
bool IsShortName(const std::string& name) {
    size_t dot = name.find('.');
    std::string base = name.substr(0, dot);
    std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
    if (base.empty() || base.size() > 8 || ext.size() > 3 || (dot != std::string::npos && ext.empty()) ||
        ext.find('.') != std::string::npos)
        return false;
    for (const std::string& part : {base, ext}) {
        bool lower = false;
        bool upper = false;
        for (char c : part) {
            unsigned char u = static_cast<unsigned char>(c);
            if (u >= 'a' && u <= 'z') {
                lower = true;
            } else if (u >= 'A' && u <= 'Z') {
                upper = true;
            } else if (!(u >= '0' && u <= '9') && !std::strchr("$%'-_@~`!(){}^#&", c)) {
                return false;
            }
        }
        if (lower && upper) return false;
    }
    return true;
}

}  // namespace

int HostFatNameEntries(const std::string& name) {
    return IsShortName(name) ? 1 : 1 + static_cast<int>((name.size() + 12) / 13);
}
