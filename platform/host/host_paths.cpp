#include "platform/host/host_paths.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "platform/host/host_ansi.h"
#include "platform/host/host_io.h"

namespace {

// Host directory of each drive letter, "" when the letter is not mapped.
std::string g_drives[26];

bool IsDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// What write mappings learnt of the directories they went through, by host
// path: each is a directory, no link, spelled as on the disk. A name that is
// not there as written is looked for, without regard to case, by a scan of
// its directory; the first scan of a known directory keeps its names, so
// that each new file does not scan it again. The names this process makes
// and removes keep them exact (NoteName). Another run waits for this one's
// hold on the Windows tree; a program the installer launches may change
// anything, and all is forgotten then (HostForgetDirectories).
struct KnownDirectory {
    bool listed = false;
    std::unordered_map<std::string, std::vector<std::string>> names;  // spellings by HostLower form
};
std::unordered_map<std::string, KnownDirectory> g_known;
bool g_shared = false;  // another program works in the tree: nothing is learnt
void NoteName(const std::string& hostPath, bool made);

// The path with every link resolved, or "" (errno set) when it cannot be
// resolved.
std::string RealPath(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved) return std::string();
    std::string out = resolved;
    std::free(resolved);
    return out;
}

// The entry of directory whose name equals name without regard to case; the
// exact spelling wins when both exist. "" when there is none.
// *isLink, when given, tells whether an entry of the exact spelling is a
// symbolic link (false when another spelling was found). With remember,
// what is learnt of directories is kept, and used, in g_known.
std::string FindEntry(const std::string& directory, const std::string& name, bool* isLink = nullptr,
                      bool remember = false) {
    struct stat st;
    std::string exact = directory + "/" + name;
    if (isLink) *isLink = false;
    if (remember && g_known.count(exact)) return name;
    if (lstat(exact.c_str(), &st) == 0) {
        if (isLink) *isLink = S_ISLNK(st.st_mode);
        if (remember && S_ISDIR(st.st_mode)) g_known.emplace(exact, KnownDirectory());
        return name;
    }
    auto known = remember ? g_known.find(directory) : g_known.end();
    KnownDirectory* listing = known == g_known.end() ? nullptr : &known->second;
    if (listing && listing->listed) {
        auto spellings = listing->names.find(HostLower(name));
        return spellings == listing->names.end() || spellings->second.empty() ? std::string()
                                                                               : spellings->second.front();
    }
    DIR* dir = opendir(directory.c_str());
    if (!dir) return std::string();
    std::string found;
    while (struct dirent* entry = readdir(dir)) {
        if (found.empty() && HostEqualNoCase(entry->d_name, name)) {
            found = entry->d_name;
            if (!listing) break;
        }
        if (listing) listing->names[HostLower(entry->d_name)].push_back(entry->d_name);
    }
    closedir(dir);
    if (listing) listing->listed = true;
    return found;
}

// Splits a Windows path into its components; "." goes and ".." takes one
// away, never more than there are.
std::vector<std::string> Components(const std::string& path, size_t start) {
    std::vector<std::string> parts;
    size_t i = start;
    while (i <= path.size()) {
        size_t end = path.find_first_of("\\/", i);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(i, end - i);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = end + 1;
    }
    return parts;
}

// Creates directory and its missing parents below base, reusing existing
// names of any case. From part linksFrom on, an existing symbolic link ends
// the walk without creating anything through it: below a drive's root
// nothing is written through a link, so what it leads to stays untouched.
bool MakeTree(const std::string& base, const std::vector<std::string>& parts,
              size_t linksFrom = static_cast<size_t>(-1)) {
    std::string path = base;
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string& part = parts[i];
        std::string entry = FindEntry(path, part);
        path += "/" + (entry.empty() ? part : entry);
        struct stat st;
        if (i >= linksFrom && !entry.empty() && lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return true;
        if (entry.empty()) {
            // A new directory outlasts a power cut once its parent is synced.
            if (mkdir(path.c_str(), 0755) == 0) {
                HostNameChanged(path, true);
                HostSyncDirectoryOf(path);
            } else if (errno != EEXIST) {
                return false;
            }
        }
        if (!IsDirectory(path)) return false;
    }
    return true;
}

int DriveIndex(char letter) {
    if (letter >= 'a' && letter <= 'z') return letter - 'a';
    if (letter >= 'A' && letter <= 'Z') return letter - 'A';
    return -1;
}

}  // namespace

bool HostMapPrefix(const std::string& prefix, std::string* resolved, std::string* error) {
    // The prefix and its parents may be new; the skeleton below it is
    // completed whenever a piece is missing.
    std::vector<std::string> parents = Components(prefix, 0);
    if (!MakeTree("", parents)) {
        *error = "cannot create the prefix " + prefix;
        return false;
    }
    // Every path below is built on the resolved prefix: one that cannot be
    // resolved would leave it empty and put the tree at the root of the host.
    std::string root = RealPath(prefix);
    if (root.empty() || root == "/") {
        *error = "cannot resolve the prefix " + prefix + ": " +
                 (root.empty() ? std::strerror(errno) : "it is the root directory");
        return false;
    }
    // drive_c is the root of drive C: and may itself be a link.
    if (!MakeTree(root, {"drive_c", "WINDOWS", "SYSTEM"}, 1) ||
        !MakeTree(root, {"drive_c", "WINDOWS", "INF"}, 1)) {
        *error = "cannot create the Windows directories in " + root;
        return false;
    }

    for (auto& drive : g_drives) drive.clear();
    g_known.clear();
    g_shared = false;
    g_drives[2] = RealPath(root + "/drive_c");
    g_drives[25] = "/";
    std::string devices = root + "/dosdevices";
    if (DIR* dir = opendir(devices.c_str())) {
        while (struct dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.size() != 2 || name[1] != ':' || DriveIndex(name[0]) < 0) continue;
            std::string target = RealPath(devices + "/" + name);
            if (!target.empty() && IsDirectory(target)) g_drives[DriveIndex(name[0])] = target;
        }
        closedir(dir);
    }
    for (const std::string& drive : g_drives)
        if (!drive.empty() && drive != "/") g_known.emplace(drive, KnownDirectory());
    HostSetNameWatcher(NoteName);
    *resolved = root;
    return true;
}

namespace {

// Keeps g_known exact when this process makes or removes a name.
void NoteName(const std::string& hostPath, bool made) {
    if (g_known.empty()) return;
    size_t slash = hostPath.rfind('/');
    if (slash == std::string::npos) return;
    if (!made && g_known.erase(hostPath)) {
        // A directory that went takes what was known below it along.
        std::string below = hostPath + "/";
        for (auto known = g_known.begin(); known != g_known.end();) {
            known = known->first.compare(0, below.size(), below) == 0 ? g_known.erase(known) : std::next(known);
        }
    }
    auto known = g_known.find(hostPath.substr(0, slash));
    if (known == g_known.end() || !known->second.listed) return;
    std::string name = hostPath.substr(slash + 1);
    std::vector<std::string>& spellings = known->second.names[HostLower(name)];
    auto spelling = std::find(spellings.begin(), spellings.end(), name);
    if (made && spelling == spellings.end()) spellings.push_back(name);
    if (!made && spelling != spellings.end()) spellings.erase(spelling);
}

}  // namespace

void HostForgetDirectories() {
    g_known.clear();
    g_shared = true;
}

bool HostCurrentDirectory(std::string* windowsPath) {
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return false;
    std::string here = cwd;
    int best = -1;
    size_t bestLength = 0;
    for (int i = 0; i < 26; ++i) {
        const std::string& root = g_drives[i];
        if (root.empty()) continue;
        bool inside = root == "/" || here == root || here.compare(0, root.size() + 1, root + "/") == 0;
        if (inside && (best < 0 || root.size() > bestLength)) {
            best = i;
            bestLength = root.size();
        }
    }
    if (best < 0) return false;
    std::string rest = g_drives[best] == "/" ? here.substr(1) : here.substr(std::min(here.size(), bestLength + 1));
    for (char& c : rest) {
        if (c == '/') c = '\\';
    }
    *windowsPath = std::string(1, static_cast<char>('A' + best)) + ":\\" + rest;
    return true;
}

bool HostMapPath(const std::string& windowsPath, bool forWrite, std::string* hostPath, struct stat* seen) {
    if (seen) seen->st_mode = 0;
    std::string path = windowsPath;
    if (path.size() >= 2 && path[1] == ':' && DriveIndex(path[0]) >= 0) {
        // "X:name" is relative to the drive's root here: the installer keeps
        // no current directory per drive.
    } else {
        std::string current;
        if (!HostCurrentDirectory(&current)) return false;
        path = (!path.empty() && (path[0] == '\\' || path[0] == '/')) ? current.substr(0, 2) + path
                                                                      : current + "\\" + path;
    }
    const std::string& root = g_drives[DriveIndex(path[0])];
    if (root.empty()) return false;
    std::string result = root == "/" ? std::string() : root;
    std::vector<std::string> parts = Components(path, 2);
    if (!forWrite && !parts.empty()) {
        // A path spelled as it is on the disk maps to itself: one lstat
        // finds it, where matching each name would take one per name.
        std::string exact = result;
        for (const std::string& part : parts) exact += "/" + part;
        struct stat st;
        if (lstat(exact.c_str(), &st) == 0) {
            if (seen) *seen = st;
            *hostPath = exact;
            return true;
        }
    }
    bool exists = true;
    for (size_t i = 0; i < parts.size(); ++i) {
        bool isLink = false;
        std::string entry =
            exists ? FindEntry(result.empty() ? "/" : result, parts[i], &isLink, forWrite && !g_shared)
                   : std::string();
        if (entry.empty()) exists = false;
        bool exact = entry == parts[i];
        result += "/" + (entry.empty() ? parts[i] : entry);
        if (exists && forWrite) {
            // FindEntry's lstat already told about an entry of the exact spelling.
            struct stat st;
            if (exact ? isLink : (lstat(result.c_str(), &st) == 0 && S_ISLNK(st.st_mode))) return false;
        }
    }
    *hostPath = result.empty() ? "/" : result;
    return true;
}
