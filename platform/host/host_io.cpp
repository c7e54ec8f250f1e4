#include "platform/host/host_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

HostTemporaryAnnouncer g_announcer = nullptr;
char g_temporary[4096];
volatile sig_atomic_t g_temporarySet = 0;

}  // namespace

void HostSetTemporaryAnnouncer(HostTemporaryAnnouncer announcer) { g_announcer = announcer; }

void HostSetCurrentTemporary(const char* path) {
    g_temporarySet = 0;
    if (!path || !*path || std::strlen(path) >= sizeof g_temporary) return;
    std::memcpy(g_temporary, path, std::strlen(path) + 1);
    g_temporarySet = 1;
}

const char* HostCurrentTemporary() { return g_temporarySet ? g_temporary : nullptr; }

int HostCreateTemporary(const std::string& stem, std::string* path) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char random[6];
        if (getentropy(random, sizeof random) != 0) return -1;
        std::string name = stem;
        for (unsigned char r : random) name += kLetters[r % 62];
        if (g_announcer && !g_announcer(name)) return -1;
        int fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            *path = name;
            HostSetCurrentTemporary(name.c_str());
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
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
// without blocking; whatever took the file's place since is checked again
// once open. Blocking is turned back on.
int OpenChecked(const std::string& hostPath, int flags, mode_t mode) {
    int fd = open(hostPath.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    struct stat st;
    int status = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || !IsRegular(st) || status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        int code = errno;
        close(fd);
        errno = code;
        return -1;
    }
    return fd;
}

}  // namespace

int HostOpenRegular(const std::string& hostPath, bool followLinks) {
    struct stat st;
    if ((followLinks ? stat(hostPath.c_str(), &st) : lstat(hostPath.c_str(), &st)) != 0) return -1;
    if (!IsRegular(st)) return -1;
    return OpenChecked(hostPath, O_RDONLY | (followLinks ? 0 : O_NOFOLLOW), 0);
}

int HostOpenForWriting(const std::string& hostPath, int flags, mode_t mode) {
    struct stat st;
    if (lstat(hostPath.c_str(), &st) == 0 && !IsRegular(st)) return -1;
    return OpenChecked(hostPath, flags | O_NOFOLLOW, mode);
}

int HostCreateAfresh(const std::string& hostPath, int flags) {
    unlink(hostPath.c_str());
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

bool HostStaysInCurrentDirectory(const std::string& hostPath) {
    char* real = realpath(hostPath.c_str(), nullptr);
    if (!real) return true;
    std::string resolved = real;
    std::free(real);
    if (resolved == hostPath) return true;
    char* here = realpath(".", nullptr);
    if (!here) return false;
    std::string disk = here;
    std::free(here);
    return disk == "/" || resolved.compare(0, disk.size() + 1, disk + "/") == 0;
}

bool HostTakeOwnership(int fd, const struct stat& st) {
    // Only a privileged run can give a file away; an unprivileged one makes
    // files of its own user, which is then the owner already.
    if (fchown(fd, st.st_uid, st.st_gid) != 0 && errno != EPERM) return false;
    return fchmod(fd, st.st_mode & 07777) == 0;
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
    HostSetCurrentTemporary(nullptr);
    return replaced && HostSyncDirectoryOf(hostPath);
}

bool HostWriteInPlaceOf(int fd, const std::string& temp, const std::string& hostPath, const char* data, size_t size,
                        const std::function<bool(int fd)>& prepare) {
    bool ok = HostWriteAll(fd, data, size) && prepare(fd) && HostFsync(fd);
    if (close(fd) != 0) ok = false;
    if (!ok || rename(temp.c_str(), hostPath.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}
