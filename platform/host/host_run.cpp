#include "platform/host/host_run.h"

#include <fcntl.h>
#include <dirent.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "platform/host/host_io.h"

namespace {

int g_holdFd = -1;
int g_journalFd = -1;
bool g_journalNamed = false;  // its directory synced since it was made
std::string g_journal;  // the journal's path, in the prefix held
std::string g_driveC;   // where drive_c leads, when it is a link

std::set<std::string> g_announced;  // the directories of this journal's "temps" entries

// Whether path, of a directory or a file, is inside the prefix or the
// Windows tree it leads to.
bool Inside(const std::string& prefix, const std::string& path) {
    bool inside = path.compare(0, prefix.size() + 1, prefix + "/") == 0 ||
                  (!g_driveC.empty() && path.compare(0, g_driveC.size() + 1, g_driveC + "/") == 0);
    return inside && path.find("/../") == std::string::npos;
}

// Removes a temporary file named by a "temp" entry, when it is one.
bool RemoveTemporary(const std::string& prefix, const std::string& path) {
    std::string name = path.substr(path.rfind('/') + 1);
    struct stat st;
    if (!Inside(prefix, path) || name.size() < 9 || !HostIsTemporaryName(name, name.substr(name.size() - 6, 3)) ||
        lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    return HostRemoveName(path);
}

// Removes the temporaries that carry mark in the directory of a "temps"
// entry, and makes their removal durable before the journal that names
// them goes. The number removed.
int RemoveTemporaries(const std::string& prefix, const std::string& mark, const std::string& directory) {
    if (!Inside(prefix, directory + "/")) return 0;
    DIR* dir = opendir(directory.c_str());
    if (!dir) return 0;
    int removed = 0;
    while (const dirent* entry = readdir(dir)) {
        if (HostIsTemporaryName(entry->d_name, mark) && RemoveTemporary(prefix, directory + "/" + entry->d_name))
            ++removed;
    }
    closedir(dir);
    if (removed) HostSyncDirectoryOf(directory + "/.");
    return removed;
}

}  // namespace

namespace {

int g_treeFd = -1;  // the hold on the Windows tree, when it is not the prefix's

// Opens directory (named in messages as what) and locks it, waiting while
// another run holds it; waiting is announced on stderr first. The
// descriptor, or -1 with the reason in *error.
int LockDirectory(const std::string& directory, const std::string& what, std::string* error,
                  const std::function<void()>& beforeWaiting) {
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot open " + what + " " + directory + ": " + std::strerror(errno);
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            std::fprintf(stderr, "vsetup: another installation is working on %s; waiting for it to finish.\n",
                         directory.c_str());
            std::fflush(stderr);
            if (beforeWaiting) beforeWaiting();
        }
        int result;
        do {
            result = flock(fd, LOCK_EX);
        } while (result != 0 && errno == EINTR);
        if (result != 0) {
            *error = "cannot hold " + what + " " + directory + ": " + std::strerror(errno);
            close(fd);
            return -1;
        }
    }
    return fd;
}

}  // namespace

bool HostRunHold(const std::string& prefix, HostRunLeft* left, std::string* error,
                 const std::function<void()>& beforeWaiting) {
    *left = HostRunLeft();
    if (g_holdFd < 0) {
        g_holdFd = LockDirectory(prefix, "the prefix", error, beforeWaiting);
        if (g_holdFd < 0) return false;
    }
    g_journal = prefix + "/vsetup.journal";
    if (char* drive = realpath((prefix + "/drive_c").c_str(), nullptr)) {
        g_driveC = drive;
        std::free(drive);
    }
    std::string journal;
    if (!HostReadWholeFile(g_journal, &journal, nullptr, kHostMaxTextFile, false)) return true;
    size_t pos = 0;
    while (pos < journal.size()) {
        size_t end = journal.find('\n', pos);
        if (end == std::string::npos) break;  // an entry cut short announced nothing that happened
        std::string line = journal.substr(pos, end - pos);
        pos = end + 1;
        if (line.compare(0, 9, "registry ") == 0) {
            char* stop = nullptr;
            unsigned long long offset = std::strtoull(line.c_str() + 9, &stop, 10);
            if (stop && *stop == '\0' && offset < left->registryFrom)
                left->registryFrom = static_cast<size_t>(offset);
        } else if (line.compare(0, 5, "temp ") == 0) {
            if (RemoveTemporary(prefix, line.substr(5))) ++left->temporariesRemoved;
        } else if (line.compare(0, 6, "temps ") == 0 && line.size() > 10 && line[9] == ' ') {
            left->temporariesRemoved += RemoveTemporaries(prefix, line.substr(6, 3), line.substr(10));
        }
    }
    return true;
}

namespace {

// Makes a new, empty journal where nothing else stands (a link in its place
// is removed, never followed). false with errno set when it cannot be made.
// Its name is made durable with its first entry: an empty journal that a
// crash keeps or loses tells nothing either way.
bool OpenJournal() {
    g_journalFd = HostCreateAfresh(g_journal, O_WRONLY | O_APPEND);
    g_journalNamed = false;
    return g_journalFd >= 0;
}

}  // namespace

bool HostRunHoldTree(const std::string& directory, std::string* error, const std::function<void()>& beforeWaiting) {
    if (g_holdFd < 0 || g_treeFd >= 0) return true;
    struct stat tree;
    struct stat prefix;
    // The prefix's own hold covers a tree that is the prefix directory: a
    // second lock on it would wait for this very process.
    if (stat(directory.c_str(), &tree) == 0 && fstat(g_holdFd, &prefix) == 0 && tree.st_dev == prefix.st_dev &&
        tree.st_ino == prefix.st_ino)
        return true;
    g_treeFd = LockDirectory(directory, "the Windows directory", error, beforeWaiting);
    return g_treeFd >= 0;
}

bool HostRunStartJournal(size_t registryFrom) {
    if (g_journalFd >= 0) close(g_journalFd);
    g_journalFd = -1;
    g_announced.clear();
    // Made now: a prefix where it cannot be made stops the run before
    // anything is written, rather than failing every copy later.
    if (!OpenJournal()) return false;
    if (registryFrom != HostRunLeft::kNone) return HostRunNote("registry", std::to_string(registryFrom));
    return true;
}

bool HostRunNote(const char* kind, const std::string& value) {
    if (g_holdFd < 0) return true;  // no run in progress: nothing to recover later
    if (g_journalFd < 0 && !OpenJournal()) return false;
    std::string line = std::string(kind) + " " + value + "\n";
    if (!g_journalNamed && !HostSyncDirectoryOf(g_journal)) return false;
    g_journalNamed = true;
    return HostWriteAll(g_journalFd, line.data(), line.size()) && fdatasync(g_journalFd) == 0;
}

bool HostRunNoteTemporaries(const std::string& directory) {
    if (g_holdFd < 0 || g_announced.count(directory)) return true;
    if (!HostRunNote("temps", HostTemporaryMark() + " " + directory)) return false;
    g_announced.insert(directory);
    return true;
}

void HostRunRelease() {
    if (g_journalFd >= 0) {
        close(g_journalFd);
        g_journalFd = -1;
    }
    if (g_holdFd < 0) return;
    // Every temporary the journal announced is gone by now, durably: renamed
    // into place and its directory synced, or removed and its directory
    // synced (HostRemoveTemporary).
    g_announced.clear();
    if (unlink(g_journal.c_str()) == 0 && g_journalNamed) HostSyncDirectoryOf(g_journal);
    if (g_treeFd >= 0) close(g_treeFd);
    g_treeFd = -1;
    close(g_holdFd);  // lets the hold go
    g_holdFd = -1;
}

bool HostRunHolding() { return g_holdFd >= 0; }

namespace {

void EndOnSignal(int signalNumber) {
    // Only async-signal-safe calls: the journal stays for the next run, the
    // hold goes with the process.
    HostRemoveTemporaries();
    _exit(128 + signalNumber);
}

}  // namespace

void HostRunCatchSignals() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = EndOnSignal;
    sigfillset(&action.sa_mask);
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) sigaction(signalNumber, &action, nullptr);
}
