#include "platform/host/disk_image.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "platform/host/host_ansi.h"
#include "platform/host/profile_engine.h"

namespace {

const size_t kSector = 512;
const char kConvertAdvice[] = "; convert it to a raw image first: qemu-img convert -O raw IMAGE IMAGE.img";

struct ImageState {
    bool active = false;
    int lockFd = -1;
    std::string image;     // the image file
    std::string mtools;    // "image@@offset", as mtools addresses the partition
    std::string staging;   // the staging prefix
    std::string registry;  // the registry beside the image
    long long clusterSize = 0;
    // Files of the image copied into the staging prefix, by their path
    // below drive_c, with the bytes they had.
    std::map<std::string, std::string> extracted;
    std::string registryBefore;
};
ImageState g_image;

unsigned Le16(const unsigned char* p) { return p[0] | (p[1] << 8); }
unsigned long Le32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<unsigned long>(p[3]) << 24);
}
unsigned long Be32(const unsigned char* p) {
    return (static_cast<unsigned long>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}

bool ReadAt(int fd, long long offset, unsigned char* buffer, size_t size) {
    size_t got = 0;
    while (got < size) {
        ssize_t n = pread(fd, buffer + got, size - got, offset + static_cast<long long>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// The cluster size when sector is the boot sector of a FAT12/16/32 volume,
// else 0.
long long FatClusterSize(const unsigned char* sector) {
    unsigned bytesPerSector = Le16(sector + 11);
    unsigned sectorsPerCluster = sector[13];
    bool sizes =
        (bytesPerSector == 512 || bytesPerSector == 1024 || bytesPerSector == 2048 || bytesPerSector == 4096) &&
        sectorsPerCluster != 0 && (sectorsPerCluster & (sectorsPerCluster - 1)) == 0;
    bool jump = sector[0] == 0xEB || sector[0] == 0xE9;
    bool fats = Le16(sector + 14) >= 1 && (sector[16] == 1 || sector[16] == 2);
    bool named = std::memcmp(sector + 54, "FAT", 3) == 0 || std::memcmp(sector + 82, "FAT32", 5) == 0;
    return sizes && jump && fats && named ? static_cast<long long>(bytesPerSector) * sectorsPerCluster : 0;
}

bool IsFatType(unsigned char type) {
    return type == 0x01 || type == 0x04 || type == 0x06 || type == 0x0B || type == 0x0C || type == 0x0E;
}

// The bytes the FAT volume whose boot sector this is claims to span.
long long FatVolumeSize(const unsigned char* sector) {
    unsigned long sectors = Le16(sector + 19);
    if (sectors == 0) sectors = Le32(sector + 32);
    return static_cast<long long>(sectors) * Le16(sector + 11);
}

// Finds the partition to install into: its byte offset and cluster size.
bool LocatePartition(int fd, long long fileSize, long long* offset, long long* clusterSize, std::string* error) {
    unsigned char first[kSector];
    unsigned char last[kSector];
    if (fileSize < static_cast<long long>(kSector) || !ReadAt(fd, 0, first, kSector) ||
        !ReadAt(fd, fileSize - static_cast<long long>(kSector), last, kSector)) {
        *error = "is too small to be a disk image";
        return false;
    }
    if (std::memcmp(first, "QFI\xfb", 4) == 0) {
        *error = std::string("is a qcow2 image, which vsetup does not write") + kConvertAdvice;
        return false;
    }
    if (Le32(first + 64) == 0xBEDA107FUL) {
        *error = std::string("is a VirtualBox VDI image, which vsetup does not write") + kConvertAdvice;
        return false;
    }
    if (std::memcmp(first, "KDMV", 4) == 0 || std::memcmp(first, "# Disk DescriptorFile", 21) == 0) {
        *error = std::string("is a VMDK image, which vsetup does not write") + kConvertAdvice;
        return false;
    }
    long long rawSize = fileSize;
    if (std::memcmp(last, "conectix", 8) == 0) {
        if (Be32(last + 60) != 2) {
            *error =
                std::string("is a dynamic or differencing VHD image, which vsetup does not write") + kConvertAdvice;
            return false;
        }
        rawSize -= static_cast<long long>(kSector);  // the fixed VHD's footer
    } else if (std::memcmp(first, "conectix", 8) == 0) {
        *error = std::string("is a dynamic VHD image, which vsetup does not write") + kConvertAdvice;
        return false;
    }
    if ((*clusterSize = FatClusterSize(first)) != 0) {
        *offset = 0;
        if (FatVolumeSize(first) > rawSize) {
            *error = "holds a FAT file system larger than the image";
            return false;
        }
        return true;
    }
    if (first[510] != 0x55 || first[511] != 0xAA) {
        *error = "holds neither a partition table nor a FAT file system";
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        if (first[446 + i * 16 + 4] == 0xEE) {
            *error = "has a GPT partition table; vsetup installs into disks with an MBR partition table only";
            return false;
        }
    }
    for (int i = 0; i < 4; ++i) {
        const unsigned char* entry = first + 446 + i * 16;
        long long start = static_cast<long long>(Le32(entry + 8)) * kSector;
        long long length = static_cast<long long>(Le32(entry + 12)) * kSector;
        if (!IsFatType(entry[4]) || start == 0) continue;
        unsigned char boot[kSector];
        // mtools goes by the file system's own size: it must lie within the
        // partition, so that nothing outside it is written.
        if (start + length > rawSize || !ReadAt(fd, start, boot, kSector) ||
            (*clusterSize = FatClusterSize(boot)) == 0 || FatVolumeSize(boot) > length) {
            *error =
                "has a FAT partition " + std::to_string(i + 1) + " that holds no FAT file system within its bounds";
            return false;
        }
        *offset = start;
        return true;
    }
    *error = "has no FAT12, FAT16 or FAT32 partition among its primary partitions";
    return false;
}

// Runs an mtools command with a clean environment (so its output is the
// same in every locale) in a process group of its own (so an interrupt of
// the terminal does not stop it halfway through a change of the file
// system). true when it exits 0; *output receives its standard output.
bool Mtools(std::vector<std::string> args, std::string* output = nullptr, bool quiet = false) {
    args.insert(args.begin() + 1, {"-i", g_image.mtools});
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    const char* path = std::getenv("PATH");
    std::string pathVar = std::string("PATH=") + (path ? path : "/usr/bin:/bin");
    std::string envs[] = {pathVar, "MTOOLS_SKIP_CHECK=1", "MTOOLS_NO_VFAT=0", "LC_ALL=C"};
    char* envp[] = {&envs[0][0], &envs[1][0], &envs[2][0], &envs[3][0], nullptr};

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    if (quiet) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t child = -1;
    int spawned = posix_spawnp(&child, argv[0], &actions, &attributes, argv.data(), envp);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(pipeFds[1]);
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    if (spawned != 0) return false;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (output) *output = text;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
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

}  // namespace

bool HostImageActive() { return g_image.active; }

bool HostImageOpen(const std::string& image, std::string* staging, std::string* error) {
    int fd = open(image.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot open the disk image " + image + ": " + std::strerror(errno);
        return false;
    }
    // A second run on the same image waits here for the first to end.
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    struct stat st;
    long long offset = 0;
    long long clusterSize = 0;
    std::string why;
    if (fstat(fd, &st) != 0 || !LocatePartition(fd, st.st_size, &offset, &clusterSize, &why)) {
        close(fd);
        *error = "the disk image " + image + " " + (why.empty() ? "cannot be read" : why);
        return false;
    }
    g_image.lockFd = fd;
    g_image.image = image;
    g_image.mtools = image + "@@" + std::to_string(offset);
    g_image.clusterSize = clusterSize;
    g_image.registry = image + ".registry.reg";

    std::string listing;
    if (!Mtools({"mdir", "-b", "::/WINDOWS"}, &listing)) {
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

    // The files of the image that the run reads: the boot entry's file, and
    // the system's own registry when it has one.
    for (const std::string file : {"WINDOWS/SYSTEM.INI", "WINDOWS/SYSTEM.DAT"}) {
        std::string host = g_image.staging + "/drive_c/" + file;
        if (Mtools({"mcopy", "-n", "::/" + file, host}, nullptr, true)) {
            std::string data;
            if (HostReadWholeFile(host, &data, nullptr)) g_image.extracted[file] = data;
        }
    }
    bool missing = false;
    if (HostReadWholeFile(g_image.registry, &g_image.registryBefore, &missing)) {
        if (!HostReplaceFileWhole(g_image.staging + "/registry.reg", g_image.registryBefore)) {
            *error = "cannot copy the registry " + g_image.registry + " into the staging directory";
            RemoveTree(g_image.staging);
            return false;
        }
    } else if (!missing) {
        *error = "cannot read the registry " + g_image.registry;
        RemoveTree(g_image.staging);
        return false;
    }
    g_image.active = true;
    *staging = g_image.staging;
    return true;
}

namespace {

bool WriteBack(std::string* error);

}  // namespace

bool HostImageCommit(std::string* error) {
    if (!g_image.active) return true;
    bool written = WriteBack(error);
    RemoveTree(g_image.staging);
    g_image.active = false;
    return written;
}

namespace {

bool WriteBack(std::string* error) {
    const std::string root = g_image.staging + "/drive_c";
    std::vector<std::string> files, dirs, changed;
    Walk(root, "", &files, &dirs);
    long long needed = 0;
    std::string systemIni, systemDat;
    for (const std::string& file : files) {
        std::string data;
        if (!HostReadWholeFile(root + "/" + file, &data, nullptr)) {
            *error = "cannot read " + root + "/" + file + "; the disk image was not changed";
            return false;
        }
        auto before = g_image.extracted.find(file);
        if (before != g_image.extracted.end() && before->second == data) continue;
        needed +=
            (static_cast<long long>(data.size()) + g_image.clusterSize - 1) / g_image.clusterSize * g_image.clusterSize;
        if (HostEqualNoCase(file.c_str(), "WINDOWS/SYSTEM.INI")) {
            systemIni = file;
        } else if (HostEqualNoCase(file.c_str(), "WINDOWS/SYSTEM.DAT")) {
            systemDat = file;
        } else {
            changed.push_back(file);
        }
    }
    // The boot entry goes in last but for the registry, which names the new
    // driver only once everything else is there.
    if (!systemIni.empty()) changed.push_back(systemIni);
    if (!systemDat.empty()) changed.push_back(systemDat);
    needed += static_cast<long long>(dirs.size()) * g_image.clusterSize;

    // Until a temporary file takes the old one's name both are on the disk:
    // what the run wrote has to fit beside what is there.
    long long free = FreeBytes();
    if (free < 0) {
        *error = "cannot read the free space of " + g_image.image + "; the disk image was not changed";
        return false;
    }
    if (needed > free) {
        *error = "the C: partition of " + g_image.image +
                 " is too full for the installed files: " + std::to_string(needed - free) +
                 " bytes short; the disk image was not changed";
        return false;
    }
    for (const std::string& dir : dirs) Mtools({"mmd", "-D", "s", "::/" + dir});
    // Directory by directory: a file new to the disk is copied under its
    // name (until then it is absent, its old state), all of the directory's
    // in one mtools run; a file that replaces one is copied under a
    // temporary name that then takes the old one's. SYSTEM.INI comes last.
    std::vector<std::pair<std::string, std::vector<std::string>>> byDir;
    for (const std::string& file : changed) {
        size_t slash = file.rfind('/');
        std::string dir = slash == std::string::npos ? "" : file.substr(0, slash);
        if (byDir.empty() || byDir.back().first != dir) byDir.push_back({dir, {}});
        byDir.back().second.push_back(file.substr(slash == std::string::npos ? 0 : slash + 1));
    }
    unsigned serial = 0;
    for (const auto& group : byDir) {
        const std::string dir = "::/" + group.first + "/";
        std::string listing;
        Mtools({"mdir", "-b", "-a", dir}, &listing, true);
        // Temporary files a killed run left behind go first.
        if (listing.find("/VSI") != std::string::npos) Mtools({"mdel", dir + "VSI?????.TMP"}, nullptr, true);
        std::vector<std::string> fresh = {"mcopy"};
        std::vector<std::string> replaced;
        for (const std::string& name : group.second) {
            bool exists = false;
            size_t at = 0;
            while (!exists && at < listing.size()) {
                size_t end = listing.find('\n', at);
                if (end == std::string::npos) end = listing.size();
                std::string line = listing.substr(at, end - at);
                size_t slash = line.rfind('/');
                exists = HostEqualNoCase(line.substr(slash == std::string::npos ? 0 : slash + 1).c_str(), name.c_str());
                at = end + 1;
            }
            if (exists) {
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
            Mtools({"mattrib", dir + replaced[i]}, &attributes, true);
            size_t drive = attributes.find("::");
            for (char flag : {'R', 'S', 'H'})
                if (attributes.find(flag) < drive) keep += std::string(" +") + static_cast<char>(std::tolower(flag));
            ok = Mtools({"mcopy", "-o", root + "/" + group.first + "/" + replaced[i], dir + temp}) &&
                 Mtools({"mmove", "-D", "o", dir + temp, dir + replaced[i]});
            for (size_t at = 0; ok && at < keep.size(); at += 3)
                ok = Mtools({"mattrib", keep.substr(at + 1, 2), dir + replaced[i]});
        }
        if (!ok) {
            *error = "cannot write the files of " + group.first + " into the disk image " + g_image.image;
            return false;
        }
    }
    // The files are on the disk before the registry names them.
    if (fsync(g_image.lockFd) != 0) {
        *error = "cannot write the disk image " + g_image.image + " to the disk: " + std::strerror(errno);
        return false;
    }
    // The registry last: until it names the new driver, the system runs
    // with its old one.
    std::string registry;
    if (HostReadWholeFile(g_image.staging + "/registry.reg", &registry, nullptr) &&
        registry != g_image.registryBefore && !HostReplaceFileWhole(g_image.registry, registry)) {
        *error = "cannot write the registry " + g_image.registry;
        return false;
    }
    return true;
}

}  // namespace
