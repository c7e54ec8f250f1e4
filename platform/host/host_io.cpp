#include "platform/host/host_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

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

std::string HostDirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool HostSyncDirectoryOf(const std::string& host_path) {
    int fd = open(HostDirectoryOf(host_path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

bool HostReadWholeFile(const std::string& host_path, std::string* data, bool* missing) {
    if (missing) *missing = false;
    data->clear();
    int fd = open(host_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (missing) *missing = (errno == ENOENT || errno == ENOTDIR);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        int code = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        close(fd);
        errno = code;
        return false;
    }
    data->reserve(static_cast<size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            close(fd);
            data->clear();
            return false;
        }
        if (got == 0) break;
        data->append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return true;
}

bool HostReplaceFileWhole(const std::string& host_path, const std::string& data) {
    std::string directory = HostDirectoryOf(host_path);
    size_t slash = host_path.rfind('/');
    std::string base = slash == std::string::npos ? host_path : host_path.substr(slash + 1);
    if (base.empty()) return false;

    mode_t mode = 0644;
    struct stat st;
    if (stat(host_path.c_str(), &st) == 0) mode = st.st_mode & 07777;

    std::string temp = directory + "/." + base + ".XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) return false;
    temp.assign(name.data());

    bool ok = fchmod(fd, mode) == 0 && HostWriteAll(fd, data.data(), data.size()) && fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    if (!ok || rename(temp.c_str(), host_path.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return HostSyncDirectoryOf(host_path);
}
