#include "platform/host/host_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

HostTemporaryAnnouncer g_announcer = nullptr;
HostNameWatcher g_watcher = nullptr;

// The table of temporaries: a slot's flag is set after its path is written
// and cleared first, so that a signal handler never sees a path half
// written. The flags lie together, so that a look for a path reads one page
// of them rather than one page per slot.
volatile sig_atomic_t g_temporarySet[kHostMaxTemporaries];
char g_temporaryPaths[kHostMaxTemporaries][4096];

const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

void KeepTemporary(const std::string& path) {
    for (int i = 0; i < kHostMaxTemporaries; ++i) {
        if (g_temporarySet[i] || path.size() >= sizeof g_temporaryPaths[i]) continue;
        std::memcpy(g_temporaryPaths[i], path.c_str(), path.size() + 1);
        g_temporarySet[i] = 1;
        return;
    }
}

}  // namespace

void HostSetTemporaryAnnouncer(HostTemporaryAnnouncer announcer) { g_announcer = announcer; }

void HostSetNameWatcher(HostNameWatcher watcher) { g_watcher = watcher; }

void HostNameChanged(const std::string& hostPath, bool made) {
    if (g_watcher) g_watcher(hostPath, made);
}

bool HostRemoveName(const std::string& hostPath) {
    if (unlink(hostPath.c_str()) != 0) return false;
    HostNameChanged(hostPath, false);
    return true;
}

bool HostRenameName(const std::string& from, const std::string& to) {
    if (rename(from.c_str(), to.c_str()) != 0) return false;
    HostNameChanged(from, false);
    HostNameChanged(to, true);
    return true;
}

const std::string& HostTemporaryMark() {
    static std::string mark;
    if (mark.empty()) {
        unsigned char random[3] = {};
        getentropy(random, sizeof random);
        for (unsigned char r : random) mark += kLetters[r % 62];
    }
    return mark;
}

bool HostIsTemporaryName(const std::string& name, const std::string& mark) {
    size_t size = name.size();
    if (size < 9 || name.compare(size - 6, 3, mark) != 0) return false;
    return (size == 9 && name.compare(0, 3, "~vs") == 0) || (size > 9 && name[0] == '.' && name[size - 7] == '.');
}

bool HostForgetTemporary(const std::string& path) {
    bool kept = false;
    for (int i = 0; i < kHostMaxTemporaries; ++i) {
        if (g_temporarySet[i] && path == g_temporaryPaths[i]) {
            g_temporarySet[i] = 0;
            kept = true;
        }
    }
    return kept;
}

bool HostRemoveTemporary(const std::string& path) {
    HostForgetTemporary(path);
    if (!HostRemoveName(path)) return false;
    HostSyncDirectoryOf(path);
    return true;
}

void HostSetCurrentTemporary(const char* path) {
    for (volatile sig_atomic_t& set : g_temporarySet) set = 0;
    if (path) KeepTemporary(path);
}

void HostRemoveTemporaries() {
    for (int i = 0; i < kHostMaxTemporaries; ++i)
        if (g_temporarySet[i]) unlink(g_temporaryPaths[i]);
}

int HostCreateTemporary(const std::string& stem, std::string* path) {
    // The last three characters count up, from a random start, through the
    // names that are taken.
    static unsigned serial = 0;
    if (serial == 0) {
        unsigned char random[2] = {};
        getentropy(random, sizeof random);
        serial = 1 + random[0] * 256u + random[1];
    }
    if (g_announcer && !g_announcer(HostDirectoryOf(stem))) return -1;
    for (int attempt = 0; attempt < 100; ++attempt, ++serial) {
        std::string name = stem + HostTemporaryMark();
        for (unsigned rest = serial, i = 0; i < 3; ++i, rest /= 62) name += kLetters[rest % 62];
        int fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ++serial;
            HostNameChanged(name, true);
            *path = name;
            KeepTemporary(name);
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

bool HostSyncFileSystems(const std::vector<std::string>& hostPaths) {
    std::vector<dev_t> synced;
    for (const std::string& path : hostPaths) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) return false;
        if (std::find(synced.begin(), synced.end(), st.st_dev) != synced.end()) continue;
        int fd = HostOpenRegular(path, false);
        bool ok = fd >= 0 && syncfs(fd) == 0;
        int code = errno;
        if (fd >= 0) close(fd);
        errno = code;
        if (!ok) return false;
        synced.push_back(st.st_dev);
    }
    return true;
}

bool HostWriteAll(int fd, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t written = write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (written == 0) return false;
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool HostFsync(int fd) {
    for (;;) {
        if (fsync(fd) == 0) return true;
        if (errno == EINTR) continue;
        return errno == EINVAL;
    }
}

std::string HostDirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool HostSyncDirectoryOf(const std::string& hostPath) {
    int fd = open(HostDirectoryOf(hostPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = HostFsync(fd);
    close(fd);
    return ok;
}

namespace {

// Whether st describes a regular file; errno tells what it is otherwise.
bool IsRegular(const struct stat& st) {
    if (S_ISREG(st.st_mode)) return true;
    errno = S_ISLNK(st.st_mode) ? ELOOP : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return false;
}

// Opens hostPath, known to be a regular file or missing, with flags and
// without blocking (a FIFO that took the file's place would block the open);
// whatever took its place since is checked again once open. The flag stays:
// it changes nothing for a regular file.
int OpenChecked(const std::string& hostPath, int flags, mode_t mode) {
    int fd = open(hostPath.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !IsRegular(st)) {
        int code = errno;
        close(fd);
        errno = code;
        return -1;
    }
    return fd;
}

}  // namespace

int HostOpenRegular(const std::string& hostPath, bool followLinks, const struct stat* seen) {
    if (seen && S_ISREG(seen->st_mode)) return OpenChecked(hostPath, O_RDONLY | O_NOFOLLOW, 0);
    struct stat st;
    if ((followLinks ? stat(hostPath.c_str(), &st) : lstat(hostPath.c_str(), &st)) != 0) return -1;
    if (!IsRegular(st)) return -1;
    return OpenChecked(hostPath, O_RDONLY | (followLinks ? 0 : O_NOFOLLOW), 0);
}

int HostOpenForWriting(const std::string& hostPath, int flags, mode_t mode) {
    struct stat st;
    if (lstat(hostPath.c_str(), &st) == 0 && !IsRegular(st)) return -1;
    int fd = OpenChecked(hostPath, flags | O_NOFOLLOW, mode);
    if (fd >= 0 && (flags & O_CREAT)) HostNameChanged(hostPath, true);
    return fd;
}

int HostCreateAfresh(const std::string& hostPath, int flags) {
    HostRemoveName(hostPath);
    return HostOpenForWriting(hostPath, flags | O_CREAT | O_EXCL);
}

std::string HostReadError(int code, size_t maxSize) {
    if (code == EINVAL) return "it is not a regular file";
    if (code == ELOOP) return "it is a symbolic link";
    if (code == EFBIG) return "it is larger than " + std::to_string(maxSize >> 20) + " MB";
    return std::strerror(code);
}

bool HostReadWholeFile(const std::string& hostPath, std::string* data, bool* missing, size_t maxSize,
                       bool followLinks, const std::string& signature) {
    if (missing) *missing = false;
    data->clear();
    int fd = HostOpenRegular(hostPath, followLinks);
    if (fd < 0) {
        if (missing) *missing = (errno == ENOENT || errno == ENOTDIR);
        return false;
    }
    auto fail = [&](int code) {
        close(fd);
        data->clear();
        errno = code;
        return false;
    };
    struct stat st;
    if (fstat(fd, &st) != 0 || static_cast<unsigned long long>(st.st_size) > maxSize) return fail(EFBIG);
    data->reserve(static_cast<size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        // The signature is read alone first: a file that does not begin with
        // it is read no further.
        size_t want = data->size() < signature.size() ? signature.size() - data->size() : sizeof buffer;
        ssize_t got = read(fd, buffer, want);
        if (got < 0) {
            if (errno == EINTR) continue;
            return fail(errno);
        }
        if (got == 0) break;
        if (data->size() + static_cast<size_t>(got) > maxSize) return fail(EFBIG);  // it grew while being read
        data->append(buffer, static_cast<size_t>(got));
        if (data->size() >= signature.size() && data->compare(0, signature.size(), signature) != 0) return fail(EILSEQ);
    }
    if (data->size() < signature.size()) return fail(EILSEQ);
    close(fd);
    return true;
}

bool HostStaysInCurrentDirectory(const std::string& hostPath, const struct stat* seen) {
    // The current directory as the system resolved it; a name right inside
    // it that is no link stays, without resolving the path name by name.
    char here[PATH_MAX];
    if (!getcwd(here, sizeof here)) return false;
    std::string disk = here;
    struct stat st;
    if (hostPath.compare(0, disk.size() + 1, disk + "/") == 0 &&
        hostPath.find('/', disk.size() + 1) == std::string::npos &&
        ((seen && S_ISREG(seen->st_mode)) || (lstat(hostPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))))
        return true;
    char* real = realpath(hostPath.c_str(), nullptr);
    if (!real) return true;
    std::string resolved = real;
    std::free(real);
    return resolved == hostPath || disk == "/" || resolved.compare(0, disk.size() + 1, disk + "/") == 0;
}

bool HostIsReadOnly(const struct stat& st) { return S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0; }

bool HostIsReadOnlyFile(const std::string& hostPath) {
    struct stat st;
    return lstat(hostPath.c_str(), &st) == 0 && HostIsReadOnly(st);
}

bool HostTakeOwnership(int fd, const struct stat& st) {
    // Only a privileged run can give a file away; an unprivileged one makes
    // files of its own user, which is then the owner already.
    if (fchown(fd, st.st_uid, st.st_gid) != 0 && errno != EPERM) return false;
    return fchmod(fd, st.st_mode & 07777) == 0;
}

bool HostTakeOwnershipOf(const std::string& hostPath, const std::string& likePath) {
    struct stat st;
    if (lstat(likePath.c_str(), &st) != 0) return true;
    int fd = open(hostPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    bool kept = fd >= 0 && HostTakeOwnership(fd, st);
    int code = errno;
    if (fd >= 0) close(fd);
    errno = code;
    return kept;
}

bool HostReplaceFileWhole(const std::string& hostPath, const std::string& data, const std::string& likePath) {
    std::string directory = HostDirectoryOf(hostPath);
    size_t slash = hostPath.rfind('/');
    std::string base = slash == std::string::npos ? hostPath : hostPath.substr(slash + 1);
    if (base.empty()) return false;

    // A link in the file's place is replaced, never followed: what it leads
    // to lends nothing to the new file.
    struct stat st;
    bool like = (lstat(hostPath.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ||
                (!likePath.empty() && lstat(likePath.c_str(), &st) == 0 && S_ISREG(st.st_mode));

    std::string temp;
    int fd = HostCreateTemporary(directory + "/." + base + ".", &temp);
    if (fd < 0) return false;
    bool replaced = HostWriteInPlaceOf(fd, temp, hostPath, data.data(), data.size(), [&](int file) {
        return like ? HostTakeOwnership(file, st) : fchmod(file, 0644) == 0;
    });
    return replaced && HostSyncDirectoryOf(hostPath);
}

bool HostWriteInPlaceOf(int fd, const std::string& temp, const std::string& hostPath, const char* data, size_t size,
                        const std::function<bool(int fd)>& prepare) {
    bool ok = HostWriteAll(fd, data, size) && prepare(fd) && HostFsync(fd);
    if (close(fd) != 0) ok = false;
    if (ok && !HostRenameName(temp, hostPath)) ok = false;
    if (ok) {
        HostForgetTemporary(temp);
    } else {
        HostRemoveTemporary(temp);
    }
    return ok;
}

void HostPrepareHeapFor(size_t want) {
#ifdef __GLIBC__
    const uintptr_t kHugePage = 2u << 20;
    const size_t kProbe = 256u << 10;
    const size_t kGlibcTopPad = 128u << 10;
    if (want < 4 * kHugePage) return;
    // The heap keeps its memory (the store lives to the end of the run), and
    // the file's text comes from it too rather than from a mapping of its own.
    if (mallopt(M_TRIM_THRESHOLD, INT32_MAX) == 0 || mallopt(M_MMAP_THRESHOLD, 32 << 20) == 0) return;
    // A block larger than what the heap has free grows it by that block and
    // the padding; the new memory past the block is then marked, before
    // anything touches it.
    mallopt(M_TOP_PAD, static_cast<int>(want));
    char* probe = static_cast<char*>(malloc(kProbe));
    mallopt(M_TOP_PAD, static_cast<int>(kGlibcTopPad));
    if (!probe) return;
    uintptr_t from = (reinterpret_cast<uintptr_t>(probe) + kProbe + kHugePage) & ~(kHugePage - 1);
    uintptr_t to = reinterpret_cast<uintptr_t>(sbrk(0)) & ~(kHugePage - 1);
    if (to > from && to - from <= want) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
    free(probe);
#else
    (void)want;
#endif
}
