#include "platform/host/disk_image.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/host/host_ansi.h"
#include "platform/host/host_io.h"
#include "platform/host/image_forms.h"
#include "platform/host/image_state.h"
#include "platform/host/image_undo.h"

namespace host_image {

ImageState g_image;

bool Mtools(std::vector<std::string> args, std::string* output, bool quiet) {
    return g_image.mtools.Run(std::move(args), output, quiet);
}

const Entry* Surveyed(const std::string& path) {
    auto found = g_image.survey.find(HostLower(path));
    return found == g_image.survey.end() ? nullptr : &found->second;
}

bool IsRegistryInImage(const std::string& path) {
    for (const HostImageRegistryFile& file : g_image.registryFiles)
        if (file.role != HostImageRegistryFile::kBesideImage && HostEqualNoCase(path, file.name)) return true;
    return false;
}

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

std::string Parent(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

std::string LastName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::string DosPath(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return "C:\\" + path;
}

}  // namespace host_image

namespace {

using namespace host_image;

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

// The staging prefix goes when the process ends, whatever stopped the run;
// a commit has removed it already.
void DropStaging() {
    if (!g_image.staging.empty()) RemoveTree(g_image.staging);
    g_image.staging.clear();
}

bool MakeStaging(const std::string& image, std::string* error);

// Through QEMU: the raw copy in the staging prefix, the partition located
// in it and its boot sector, FATs and root directory read.
bool OpenThroughQemu(const HostQemuForm& form, ImagePartition* partition, std::string* why) {
    if (!MakeStaging(g_image.image, why) || !g_image.qemu.Open(g_image.image, form, g_image.staging + "/disk.raw", why))
        return false;
    HostQemuImage* qemu = &g_image.qemu;
    // The partition table and, where a partition begins at sector 63 as on
    // older disks, its boot sector, in one read.
    if (!qemu->Fetch({{0, 64 * 1024}}, why)) return false;
    auto read = [qemu, why](long long at, unsigned char* buffer, size_t size) {
        return qemu->Fetch({{at, static_cast<long long>(size)}}, why) && HostReadAt(qemu->RawFd(), at, buffer, size);
    };
    return HostLocateInDisk(read, qemu->DiskSize(), partition, why) &&
           g_image.qemu.SetPartition(partition->offset, why);
}

// Opens the image, waits for its lock and finds its partition: g_image
// then holds them.
bool OpenLocked(const std::string& image, std::string* error) {
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
    // What a write-back that was cut off kept goes back first.
    if (!RecoverUndo(fd, image, error)) {
        close(fd);
        return false;
    }
    g_image.lockFd = fd;
    g_image.image = image;
    ImagePartition partition;
    HostQemuForm form;
    std::string why;
    bool located = fstat(fd, &st) == 0 && HostLocateImagePartition(fd, st.st_size, &partition, &form, &why) &&
                   (form.format.empty() || OpenThroughQemu(form, &partition, &why));
    g_image.diskFd = g_image.qemu.IsOpen() ? g_image.qemu.RawFd() : fd;
    unsigned char boot[kSector];
    if (located && !HostReadAt(g_image.diskFd, partition.offset, boot, kSector)) located = false;
    // Without /proc the image is named to mtools by its path, which must
    // then hold no "@@".
    HostMtools mtools(g_image.diskFd, g_image.qemu.IsOpen() ? g_image.staging + "/disk.raw" : image, partition.offset);
    if (located && mtools.NamesImageByPath() && image.find("@@") != std::string::npos) {
        located = false;
        why = "has \"@@\" in its path, which mtools reads as an offset; rename it";
    }
    if (!located) {
        g_image.qemu.Close();
        close(fd);
        *error = "the disk image " + image + " " + (why.empty() ? "cannot be read" : why);
        return false;
    }
    g_image.offset = partition.offset;
    g_image.mtools = mtools;
    g_image.layout = HostFatLayoutOf(boot);
    return true;
}

// Makes the staging prefix of the image anew, once.
bool MakeStaging(const std::string& image, std::string* error) {
    if (!g_image.staging.empty()) return true;
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
    return true;
}

// Copies the files the run reads into the staging prefix: from the image
// the boot entry's file and the system's own registry when it has one, and
// the registry files kept beside the image.
bool StageFiles(std::string* error) {
    std::vector<std::string> read = {"WINDOWS/SYSTEM.INI"};
    for (const HostImageRegistryFile& file : g_image.registryFiles)
        if (file.role == HostImageRegistryFile::kInImage) read.push_back(file.name);
    for (const std::string& file : read) {
        const Entry* entry = Surveyed(file);
        if (!entry) continue;
        std::string host = g_image.staging + "/drive_c/" + file;
        std::string data;
        std::vector<HostDiskRange> ranges;
        if (entry->dir || !ClusterRanges({entry->path}, &ranges) || !Fetch(ranges, error) ||
            !Mtools({"mcopy", "-n", "::/" + entry->path, host}, nullptr, true) ||
            !HostReadWholeFile(host, &data, nullptr, kNoLimit)) {
            *error = "cannot read " + DosPath(entry->path) + " of the disk image " + g_image.image;
            return false;
        }
        g_image.extracted[file] = data;
    }
    for (BesideFile& file : g_image.beside) {
        bool missing = false;
        if (HostReadWholeFile(file.host, &file.before, &missing)) {
            if (!HostReplaceFileWhole(g_image.staging + "/" + file.name, file.before)) {
                *error = "cannot copy the registry " + file.host + " into the staging directory";
                return false;
            }
        } else if (!missing) {
            *error = "cannot read the registry " + file.host;
            return false;
        }
    }
    return true;
}

}  // namespace

bool HostImageActive() { return g_image.active; }

bool HostImageOpen(const std::string& image, const std::vector<HostImageRegistryFile>& registryFiles,
                   std::string* staging, std::string* error) {
    if (!OpenLocked(image, error) || !(g_image.qemu.IsOpen() ? FetchDirectories(error) : true)) {
        DropStaging();
        return false;
    }
    g_image.registryFiles = registryFiles;
    for (const HostImageRegistryFile& file : registryFiles)
        if (file.role == HostImageRegistryFile::kBesideImage)
            g_image.beside.push_back({file.name, image + "." + file.name, ""});
    RemoveBesideTemporaries();

    // mtools fails on an empty partition as when it cannot read one: either
    // way there is no WINDOWS directory to install into.
    if (!Survey(&g_image.survey)) g_image.survey.clear();
    const Entry* windows = Surveyed("WINDOWS");
    if (!windows || !windows->dir) {
        *error = "the disk image " + image + " has no WINDOWS directory on its C: partition";
        return false;
    }
    if (!MakeStaging(image, error)) return false;
    if (!StageFiles(error)) {
        DropStaging();
        return false;
    }
    g_image.active = true;
    if (g_image.qemu.IsOpen()) g_image.qemu.Rest();
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
        if (rest.compare(0, 9, "/drive_c/") == 0)
            named = DosPath(rest.substr(9)) + " in the disk image " + g_image.image;
        for (const BesideFile& file : g_image.beside)
            if (rest == "/" + file.name) named = file.host;
        text->replace(at, end - at, named);
        at += named.size();
    }
}

bool HostImageCommit(bool registryWritten, std::string* error) {
    if (!g_image.active) return true;
    bool written = false;
    if (!registryWritten) {
        *error = "the registry could not be written, so nothing of the run goes into the disk image " + g_image.image +
                 "; the disk image was not changed";
    } else {
        written = WriteBack(error);
    }
    DropStaging();
    g_image.active = false;
    return written;
}

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
