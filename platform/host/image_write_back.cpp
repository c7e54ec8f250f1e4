// The end of an image run: what the run made in the staging prefix goes
// into the image, all of it or none. Everything that can be known to fail is
// found before the first write, and a failure halfway puts back the sectors
// kept beforehand.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "platform/host/byte_order.h"
#include "platform/host/host_ansi.h"
#include "platform/host/host_io.h"
#include "platform/host/image_forms.h"
#include "platform/host/image_state.h"
#include "platform/host/image_undo.h"

namespace host_image {

namespace {

const char kUnchanged[] = "; the disk image was not changed";

// What the write-back does, worked out before the first write.
struct Plan {
    std::string root;                  // the staging prefix's drive_c
    std::vector<std::string> dirs;     // every directory below root
    std::vector<std::string> newDirs;  // those the image does not hold yet
    std::vector<std::string> changed;  // the files to write, in order
    std::map<std::string, long long> sizes;
    // The files to write directory by directory, in the same order.
    std::vector<std::pair<std::string, std::vector<std::string>>> byDir;
    // Directories that get entries (lower case) and how many.
    std::map<std::string, long long> entries;
    std::set<std::string> leftovers;       // directories with a killed run's temporary files
    std::vector<std::string> freed;        // files whose clusters the write-back frees
    std::vector<std::string> besideTemps;  // per file beside the image, its new bytes' temporary, or ""
};

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

// What the write-back changes in the partition, kept so that a failure
// halfway, or a power cut, can put it back (image_undo.h): the sectors
// before the data area (boot sector, FATs, the FAT12/16 root directory), the
// clusters of each directory that gets or loses an entry, and those of each
// file it removes or replaces (once freed, a later file may be written into
// them). Every other cluster it writes was free before, and the FATs put
// back free it again.
bool SaveUndo(const std::vector<std::string>& paths, Undo* undo, std::string* error) {
    std::vector<HostDiskRange> ranges = {{g_image.offset, g_image.layout.dataStart}};
    if (!ClusterRanges(paths, &ranges)) return false;
    if (!Fetch(ranges, error)) return false;
    for (const HostDiskRange& range : ranges)
        if (!undo->Save(range.first, range.second)) return false;
    return true;
}

// DOS and Windows take these names, with any extension, for devices;
// mtools refuses to make a file of some of them.
bool IsDeviceName(const std::string& name) {
    std::string base = HostLower(name.substr(0, name.find('.')));
    if (base == "con" || base == "prn" || base == "aux" || base == "nul") return true;
    return base.size() == 4 && (base.compare(0, 3, "com") == 0 || base.compare(0, 3, "lpt") == 0) && base[3] >= '1' &&
           base[3] <= '9';
}

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
    if (entry && entry->readOnly && !IsRegistryInImage(path)) return windows + " is read-only";
    return "";
}

// A registry file beside the image, written and synced under a temporary
// name before the image is changed, so that nothing is left to fail but the
// rename at the end.
bool PrepareBeside(const std::string& host, const std::string& data, std::string* temp) {
    int fd = HostCreateTemporary(HostDirectoryOf(host) + "/." + LastName(host) + ".", temp);
    if (fd < 0) return false;
    struct stat st;
    bool like = stat(host.c_str(), &st) == 0;
    bool ok = (like ? HostTakeOwnership(fd, st) : fchmod(fd, 0644) == 0) &&
              HostWriteAll(fd, data.data(), data.size()) && HostFsync(fd);
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
        std::vector<HostDiskRange> ranges;
        std::string unread;
        if (!ClusterRanges(group.second, &ranges) || !Fetch(ranges, &unread)) continue;
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

// Finds the files the run made or changed, in the order they go in: the
// rest, then the boot entry, then the registry files in the image, which
// name the new driver only once everything else is there.
bool CollectChanges(Plan* plan, std::string* error) {
    std::vector<std::string> files;
    Walk(plan->root, "", &files, &plan->dirs);
    std::string systemIni;
    std::vector<std::string> registry(g_image.registryFiles.size());
    for (const std::string& file : files) {
        std::string data;
        auto before = g_image.extracted.find(file);
        struct stat st;
        if (before != g_image.extracted.end() ? !HostReadWholeFile(plan->root + "/" + file, &data, nullptr, kNoLimit)
                                              : stat((plan->root + "/" + file).c_str(), &st) != 0) {
            *error = "cannot read " + plan->root + "/" + file + kUnchanged;
            return false;
        }
        if (before != g_image.extracted.end() && before->second == data) continue;
        plan->sizes[file] = before != g_image.extracted.end() ? static_cast<long long>(data.size()) : st.st_size;
        size_t row = 0;
        while (row < registry.size() && (g_image.registryFiles[row].role != HostImageRegistryFile::kInImage ||
                                         !HostEqualNoCase(file, g_image.registryFiles[row].name)))
            ++row;
        if (HostEqualNoCase(file.c_str(), "WINDOWS/SYSTEM.INI")) {
            systemIni = file;
        } else if (row < registry.size()) {
            registry[row] = file;
        } else {
            plan->changed.push_back(file);
        }
    }
    // A file the image holds already as the run made it stays (a killed
    // run wrote it): what is there counts, and needs no room again.
    std::vector<std::string> same = SameInImage(plan->changed, plan->root);
    auto kept = std::remove_if(plan->changed.begin(), plan->changed.end(), [&](const std::string& file) {
        return std::find(same.begin(), same.end(), file) != same.end();
    });
    plan->changed.erase(kept, plan->changed.end());
    if (!systemIni.empty()) plan->changed.push_back(systemIni);
    for (const std::string& file : registry)
        if (!file.empty()) plan->changed.push_back(file);
    return true;
}

// What stands in the way of any directory or file of the plan.
bool CheckNames(Plan* plan, std::string* error) {
    std::string why;
    for (const std::string& dir : plan->dirs) {
        if (why.empty()) why = InTheWay(dir, true);
        if (!Surveyed(dir)) plan->newDirs.push_back(dir);
    }
    for (size_t i = 0; why.empty() && i < plan->changed.size(); ++i) why = InTheWay(plan->changed[i], false);
    if (!why.empty()) {
        *error = "cannot write into the disk image " + g_image.image + ": " + why + kUnchanged;
        return false;
    }
    return true;
}

// The room the plan takes at its fullest, in clusters: directories that
// grow (every new name, and a temporary name per replaced file, counted as
// if no directory had a free entry), and the files in the order they go in,
// each replaced one freeing the old one's clusters once it has taken its
// name. Temporary files a killed run left behind go first.
long long PeakClusters(Plan* plan) {
    // Directory by directory: a file new to the disk is copied under its
    // name, all of the directory's in one mtools run; a file that replaces
    // one is copied under a temporary name that then takes the old one's.
    for (const std::string& file : plan->changed) {
        if (plan->byDir.empty() || plan->byDir.back().first != Parent(file)) plan->byDir.push_back({Parent(file), {}});
        plan->byDir.back().second.push_back(LastName(file));
    }
    auto clustersOf = [](long long bytes) {
        return (bytes + g_image.layout.clusterSize - 1) / g_image.layout.clusterSize;
    };
    for (const std::string& dir : plan->newDirs) {
        plan->entries[HostLower(Parent(dir))] += HostFatNameEntries(LastName(dir));
        plan->entries[HostLower(dir)] += 2;  // "." and ".."
    }
    for (const std::string& file : plan->changed)
        plan->entries[HostLower(Parent(file))] += Surveyed(file) ? 1 : HostFatNameEntries(LastName(file));
    long long used = 0;
    for (const auto& dir : plan->entries)
        used += std::max(clustersOf(dir.second * 32), Surveyed(dir.first) ? 0LL : 1LL);
    for (const auto& entry : g_image.survey) {
        const std::string name = LastName(entry.first);
        if (!plan->entries.count(Parent(entry.first)) || entry.second.dir || name.size() != 12 ||
            name.compare(0, 3, "vsi") != 0 || name.compare(8, 4, ".tmp") != 0)
            continue;
        used -= entry.second.clusters;
        plan->leftovers.insert(Parent(entry.second.path));
        plan->freed.push_back(entry.second.path);
    }
    long long peak = used;
    for (const auto& group : plan->byDir) {
        for (const std::string& name : group.second) {
            const std::string file = group.first + "/" + name;
            if (!Surveyed(file)) used += clustersOf(plan->sizes[file]);
        }
        peak = std::max(peak, used);
        for (const std::string& name : group.second) {
            const std::string file = group.first + "/" + name;
            const Entry* old = Surveyed(file);
            if (!old) continue;
            peak = std::max(peak, used + clustersOf(plan->sizes[file]));
            used += clustersOf(plan->sizes[file]) - old->clusters;
        }
    }
    return peak;
}

bool CheckRoom(Plan* plan, std::string* error) {
    long long peak = PeakClusters(plan);
    long long free = FreeBytes();
    if (free < 0) {
        *error = "cannot read the free space of " + g_image.image + kUnchanged;
        return false;
    }
    if (peak * g_image.layout.clusterSize > free) {
        *error = "the C: partition of " + g_image.image +
                 " is too full for the installed files: " + std::to_string(peak * g_image.layout.clusterSize - free) +
                 " bytes short" + kUnchanged;
        return false;
    }
    return true;
}

// Writes the changed registry files beside the image under temporary names.
bool PrepareBesideFiles(Plan* plan, std::string* error) {
    for (const BesideFile& file : g_image.beside) {
        std::string data, temp;
        if (HostReadWholeFile(g_image.staging + "/" + file.name, &data, nullptr, kNoLimit) && data != file.before &&
            !PrepareBeside(file.host, data, &temp)) {
            *error = "cannot write the registry " + file.host + ": " + std::strerror(errno) + kUnchanged;
            for (const std::string& made : plan->besideTemps)
                if (!made.empty()) unlink(made.c_str());
            return false;
        }
        plan->besideTemps.push_back(temp);
    }
    return true;
}

// Every directory whose entries change (those that get files, those that
// get new directories), and the files whose clusters the plan frees
// (replaced files, leftover temporary files), which later files may take.
std::vector<std::string> Touched(const Plan& plan) {
    std::vector<std::string> touched = plan.freed;
    for (const auto& dir : plan.entries) {
        const Entry* entry = Surveyed(dir.first);
        if (entry || dir.first.empty()) touched.push_back(entry ? entry->path : "");
    }
    for (const std::string& file : plan.changed)
        if (Surveyed(file)) touched.push_back(Surveyed(file)->path);
    return touched;
}

// Copies one directory's files of the plan into the image.
bool WriteGroup(const Plan& plan, const std::string& parent, const std::vector<std::string>& names, unsigned* serial) {
    const std::string dir = "::/" + parent + "/";
    std::vector<std::string> fresh = {"mcopy"};
    std::vector<std::string> replaced;
    for (const std::string& name : names) {
        if (Surveyed(parent + "/" + name)) {
            replaced.push_back(name);
        } else {
            fresh.push_back(plan.root + "/" + parent + "/" + name);
        }
    }
    fresh.push_back(dir);
    bool ok = fresh.size() == 2 || Mtools(fresh);
    for (size_t i = 0; ok && i < replaced.size(); ++i) {
        char temp[16];
        std::snprintf(temp, sizeof temp, "VSI%05u.TMP", (*serial)++);
        // The new file keeps the old one's read-only, hidden and system
        // attributes (SYSTEM.DAT has all three).
        std::string attributes, keep;
        ok = Mtools({"mattrib", dir + replaced[i]}, &attributes, true);
        size_t drive = attributes.find("::");
        for (char flag : {'R', 'S', 'H'})
            if (attributes.find(flag) < drive) keep += std::string(" +") + static_cast<char>(std::tolower(flag));
        ok = ok && Mtools({"mcopy", "-o", plan.root + "/" + parent + "/" + replaced[i], dir + temp}) &&
             Mtools({"mmove", "-D", "o", dir + temp, dir + replaced[i]});
        for (size_t at = 0; ok && at < keep.size(); at += 3)
            ok = Mtools({"mattrib", keep.substr(at + 1, 2), dir + replaced[i]});
    }
    return ok;
}

// Writes the plan into the image, the sectors it changes kept beforehand:
// a failure puts them back. The files are on the disk before the registry
// beside the image names them: until it names the new driver, the system
// runs with its old one.
bool Write(const Plan& plan, std::string* error) {
    Undo undo;
    std::string unread = "cannot read the disk image " + g_image.image;
    bool saved = SaveUndo(Touched(plan), &undo, &unread);
    auto fail = [&](const std::string& what) {
        bool back = undo.Restore();
        for (const std::string& temp : plan.besideTemps) {
            if (temp.empty()) continue;
            unlink(temp.c_str());
            HostSetCurrentTemporary(nullptr);
        }
        *error = what + (back ? "; the disk image is as it was" : "; the disk image could not be put back as it was");
        return false;
    };
    if (!saved) {
        undo.Clear();
        return fail(unread);
    }
    // An image that QEMU writes gets its changes in one qemu-io run at the
    // end; one written in place keeps them in the undo journal first.
    if (!g_image.qemu.IsOpen() && !undo.Keep())
        return fail("cannot write the undo journal " + UndoJournalOf(g_image.image) + ": " + std::strerror(errno));
    for (const std::string& dir : plan.leftovers)
        if (!Mtools({"mdel", "::/" + dir + "/VSI?????.TMP"}, nullptr, true))
            return fail("cannot remove the temporary files of an earlier run from the disk image " + g_image.image);
    for (const std::string& dir : plan.newDirs)
        if (!Mtools({"mmd", "::/" + dir}))
            return fail("cannot make the directory " + dir + " in the disk image " + g_image.image);
    unsigned serial = 0;
    for (const auto& group : plan.byDir)
        if (!WriteGroup(plan, group.first, group.second, &serial))
            return fail("cannot write the files of " + group.first + " into the disk image " + g_image.image);
    if (!HostFsync(g_image.diskFd))
        return fail("cannot write the disk image " + g_image.image + " to the disk: " + std::strerror(errno));
    // An image that QEMU writes gets the raw copy's changes at once: kills
    // before leave it as it was, and the qemu-io run that writes them goes
    // to its end (new data first, then the FATs and directories).
    std::string why;
    if (g_image.qemu.IsOpen() && !(g_image.qemu.Push(g_image.staging, &why) && g_image.qemu.Flush(&why)))
        return fail("the disk image " + g_image.image + " " + why);
    // The commit point: the image holds the run's files from here on.
    if (!undo.Drop())
        return fail("cannot remove the undo journal " + UndoJournalOf(g_image.image) + ": " + std::strerror(errno));
    for (size_t i = 0; i < plan.besideTemps.size(); ++i) {
        const std::string& temp = plan.besideTemps[i];
        const std::string& host = g_image.beside[i].host;
        if (temp.empty()) continue;
        if (rename(temp.c_str(), host.c_str()) != 0)
            return fail("cannot write the registry " + host + ": " + std::strerror(errno));
        HostSetCurrentTemporary(nullptr);
        HostSyncDirectoryOf(host);
    }
    return true;
}

}  // namespace

bool WriteBack(std::string* error) {
    Plan plan;
    plan.root = g_image.staging + "/drive_c";
    return CollectChanges(&plan, error) && CheckNames(&plan, error) && CheckRoom(&plan, error) &&
           PrepareBesideFiles(&plan, error) && Write(plan, error);
}

}  // namespace host_image
