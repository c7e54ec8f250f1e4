// platform/platform.h over the host, in the order of the header: start-up
// and shutdown go to the session (host_session.h), files to the prefix's
// drives, profiles to the profile engine, the LZ services to lz_expand.h,
// dialogue to the front end. The registry services are in host_registry.cpp,
// PlatLaunch in host_launch.cpp.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/host/frontend.h"
#include "platform/host/disk_image.h"
#include "platform/host/host_ansi.h"
#include "platform/host/host_fault.h"
#include "platform/host/host_io.h"
#include "platform/host/host_paths.h"
#include "platform/host/host_session.h"
#include "platform/host/lz_expand.h"
#include "platform/host/profile_engine.h"

namespace {

const char kWindowsDir[] = "C:\\WINDOWS";
const char kSystemDir[] = "C:\\WINDOWS\\SYSTEM";

std::string g_startupError;
PlatFrontEnd* g_frontEnd = nullptr;

void CopyOut(const std::string& text, char* buffer, size_t size) {
    if (size == 0) return;
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

// ---- files

bool MapForRead(const char* path, std::string* host) { return HostMapPath(path, false, host); }
bool MapForWrite(const char* path, std::string* host) { return HostMapPath(path, true, host); }

// Opens a regular file of the disk for reading; a directory does not open, as
// on Windows. *refused tells a file that is there but is not opened: a link
// leading off the disk, a device, a FIFO or a socket, which stderr names.
int OpenRegularFile(const char* path, bool* refused = nullptr) {
    std::string host;
    struct stat seen;
    if (refused) *refused = false;
    if (!HostMapPath(path, false, &host, &seen)) return -1;
    const char* why = nullptr;
    int fd = -1;
    if (!HostStaysInCurrentDirectory(host, &seen)) {
        why = "it is a link leading off the disk";
    } else {
        fd = HostOpenRegular(host, true, &seen);
        if (fd < 0 && errno == EINVAL) why = "it is not a regular file";
    }
    if (why) {
        std::fprintf(stderr, "vsetup: %s is not read: %s\n", host.c_str(), why);
        if (refused) *refused = true;
    }
    return fd;
}

std::string ProfilePath(const char* file) {
    // A bare file name is the file of that name in the Windows directory.
    if (!std::strchr(file, '\\') && !std::strchr(file, '/') && !std::strchr(file, ':'))
        return std::string(kWindowsDir) + "\\" + file;
    return file;
}

// The host paths PlatPrepareReplace found, by the temporary's Windows path.
struct Prepared {
    std::string destination, from, to;
};
std::map<std::string, Prepared> g_prepared;
// The host path of each temporary PlatCreateTempFile made, by its Windows
// path: made with O_EXCL in a directory just mapped, it is not mapped again
// name by name by each step that uses it.
std::map<std::string, std::string> g_made;
// The last temporary made stays open, empty, until PlatLzOpenWrite takes it:
// the copy writes into it without opening it again.
int g_keptFd = -1;
std::string g_keptPath;

void CloseKept() {
    if (g_keptFd >= 0) close(g_keptFd);
    g_keptFd = -1;
    g_keptPath.clear();
}

bool MapTemporaryForWrite(const char* path, std::string* host) {
    auto made = g_made.find(path);
    if (made == g_made.end()) return MapForWrite(path, host);
    *host = made->second;
    return true;
}

}  // namespace

// ---------------------------------------------------------------- start-up

int PlatStartup() {
    g_startupError.clear();
    return HostSessionStart(&g_startupError) ? 1 : 0;
}

int PlatShutdown() {
    std::string error;
    if (HostSessionFinish(&error)) return 1;
    std::fprintf(stderr, "vsetup: %s\n", error.c_str());
    return 0;
}

const char* PlatStartupError() {
    HostImageNameIn(&g_startupError);  // a disk image's staging prefix means nothing to the user
    return g_startupError.c_str();
}

void PlatSetFrontEnd(PlatFrontEnd* frontEnd) { g_frontEnd = frontEnd; }

PlatFrontEnd* HostFrontEnd() { return g_frontEnd; }

// ---------------------------------------------------------------- directories

int PlatGetCurrentDirectory(char* buffer, size_t size) {
    std::string current;
    if (size) buffer[0] = '\0';
    if (!HostCurrentDirectory(&current) || current.size() + 1 > size) return 0;
    CopyOut(current, buffer, size);
    return 1;
}

void PlatGetWindowsDirectory(char* buffer, size_t size) { CopyOut(kWindowsDir, buffer, size); }
void PlatGetSystemDirectory(char* buffer, size_t size) { CopyOut(kSystemDir, buffer, size); }

int PlatCreateDirectory(const char* path) {
    std::string host;
    if (!MapForWrite(path, &host)) return 0;
    if (mkdir(host.c_str(), 0755) == 0) {
        HostNameChanged(host, true);
        HostSyncDirectoryOf(host);
        return 1;
    }
    struct stat st;
    return stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// ---------------------------------------------------------------- text rules

int PlatEqualNoCase(const char* a, const char* b) { return HostEqualNoCase(a, b); }

void PlatLowerCase(char* text) {
    for (; *text; ++text) *text = static_cast<char>(HostLowerByte(static_cast<unsigned char>(*text)));
}

int PlatFormatText(char* out, size_t size, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int n = std::vsnprintf(out, size, format, arguments);
    va_end(arguments);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        out[size - 1] = '\0';
        return -1;
    }
    return n;
}

// ---------------------------------------------------------------- profile files

size_t PlatGetProfileString(const char* section, const char* key, const char* defaultValue, char* buffer, size_t size,
                            const char* file) {
    // The default may be the buffer itself: take it before writing.
    std::string value = defaultValue ? defaultValue : "";
    std::string host;
    std::string found;
    if (MapForRead(ProfilePath(file).c_str(), &host) && IniReadFile(host, section, key, &found)) value = found;
    CopyOut(value, buffer, size);
    return size ? std::strlen(buffer) : 0;
}

int PlatGetProfileInt(const char* section, const char* key, int defaultValue, const char* file) {
    std::string host;
    std::string found;
    if (!MapForRead(ProfilePath(file).c_str(), &host) || !IniReadFile(host, section, key, &found)) return defaultValue;
    return IniParseInt(found, defaultValue);
}

int PlatWriteProfileString(const char* section, const char* key, const char* value, const char* file) {
    std::string host;
    if (HostShouldFail(kHostWriteProfile)) return 0;
    // All null asks for what is cached to be written: nothing is cached here.
    if (!section && !key && !value) return 1;
    if (!section || !file) return 0;
    if (!MapForWrite(ProfilePath(file).c_str(), &host) || HostIsReadOnlyFile(host)) return 0;
    // A null value deletes the key, a null key the whole section.
    std::string keyText = key ? key : "";
    std::string valueText = value ? value : "";
    return IniWriteFile(host, section, key ? &keyText : nullptr, key && value ? &valueText : nullptr);
}

// ---------------------------------------------------------------- files

// A file that is not replaced says why on stderr; the installer's message
// only names it. Returns 0, PlatReplaceFile's failure.
static int NotReplaced(const char* destination, const std::string& host, const std::string& why) {
    std::string text = "vsetup: cannot replace " + (host.empty() ? std::string(destination) : host) + ": " + why;
    HostImageNameIn(&text);  // a disk image's staging prefix means nothing to the user
    std::fprintf(stderr, "%s\n", text.c_str());
    return 0;
}

PlatFile PlatFileOpenRead(const char* path) {
    int fd = OpenRegularFile(path);
    return fd < 0 ? PLAT_NO_FILE : fd;
}

long long PlatFileSize(PlatFile file) {
    struct stat st;
    if (fstat(static_cast<int>(file), &st) != 0) return -1;
    return st.st_size;
}

long PlatFileRead(PlatFile file, void* buffer, size_t size) {
    ssize_t n;
    do {
        n = read(static_cast<int>(file), buffer, size);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

void PlatFileClose(PlatFile file) { close(static_cast<int>(file)); }

int PlatDeleteFile(const char* path) {
    std::string host;
    if (!MapForWrite(path, &host)) return 0;
    g_prepared.erase(path);
    g_made.erase(path);
    if (g_keptPath == path) CloseKept();
    if (HostForgetTemporary(host)) return HostRemoveTemporary(host) ? 1 : 0;
    return HostRemoveName(host) ? 1 : 0;
}

int PlatCreateTempFile(const char* directory, char* pathOut, size_t size) {
    std::string host;
    if (HostShouldFail(kHostCreateTempFile)) return 0;
    if (!MapForWrite(directory, &host)) return 0;
    std::string name;
    int fd = HostCreateTemporary(host + "/~vs", &name);
    if (fd < 0) return 0;
    // Made private; installed files get the usual mode. The mask is read
    // once: reading it means setting it, two calls a file.
    static const mode_t mask = [] {
        mode_t current = umask(0);
        umask(current);
        return current;
    }();
    fchmod(fd, 0666 & ~mask);
    std::string windows = std::string(directory) + "\\" + name.substr(host.size() + 1);
    if (windows.size() + 1 > size) {
        close(fd);
        HostRemoveTemporary(name);
        return 0;
    }
    CopyOut(windows, pathOut, size);
    g_made[windows] = name;
    CloseKept();
    g_keptFd = fd;
    g_keptPath = windows;
    return 1;
}

// Why source cannot replace destination, or null; from and to get their
// host paths unless they hold them already.
// *exists tells, when given, whether the destination exists.
static const char* WhyNotReplaced(const char* source, const char* destination, std::string* from, std::string* to,
                                  bool* exists = nullptr) {
    if (to->empty() && (!MapTemporaryForWrite(source, from) || !MapForWrite(destination, to)))
        return "the path leads through a symbolic link or names no drive";
    struct stat st;
    bool found = lstat(to->c_str(), &st) == 0;
    if (exists) *exists = found;
    if (found && S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
    if (found && HostIsReadOnly(st)) return "it is read-only";
    return nullptr;
}

int PlatPrepareReplace(const char* source, const char* destination) {
    std::string from;
    std::string to;
    bool exists = false;
    if (const char* why = WhyNotReplaced(source, destination, &from, &to, &exists))
        return NotReplaced(destination, to, why);
    // The installed file keeps the owner, group and mode of the one it
    // replaces: a privileged run does not take the user's files.
    if (exists && !HostTakeOwnershipOf(from, to)) return NotReplaced(destination, to, std::strerror(errno));
    g_prepared[source] = Prepared{destination, from, to};
    return 1;
}

int PlatSyncFiles(const char* const* paths, int count) {
    std::vector<std::string> hosts(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        if (!MapTemporaryForWrite(paths[i], &hosts[i])) return 0;
    return HostSyncFileSystems(hosts) ? 1 : 0;
}

int PlatReplaceFile(const char* source, const char* destination) {
    std::string from;
    std::string to;
    if (HostShouldFail(kHostReplaceFile)) return NotReplaced(destination, to, std::strerror(EIO));
    auto prepared = g_prepared.find(source);
    if (prepared != g_prepared.end() && prepared->second.destination == destination) {
        from = prepared->second.from;
        to = prepared->second.to;
    }
    if (const char* why = WhyNotReplaced(source, destination, &from, &to)) return NotReplaced(destination, to, why);
    if (g_keptPath == source) CloseKept();
    if (!HostRenameName(from, to)) return NotReplaced(destination, to, std::strerror(errno));
    HostForgetTemporary(from);
    g_prepared.erase(source);
    g_made.erase(source);
    return 1;
}

int PlatSyncDirectory(const char* directory) {
    std::string host;
    return MapForWrite(directory, &host) && HostSyncDirectoryOf(host + "/.") ? 1 : 0;
}

// ---------------------------------------------------------------- LZ expansion

// The full Windows form of path, as LZOpenFileA measures it.
static bool FitsLzPath(const char* path) {
    std::string full = path;
    if (!(full.size() >= 2 && full[1] == ':')) {
        std::string current;
        if (!HostCurrentDirectory(&current)) return false;
        full = (!full.empty() && full[0] == '\\') ? current.substr(0, 2) + full : current + "\\" + full;
    }
    return full.size() < PLAT_LZ_MAX_PATH;
}

PlatLz PlatLzOpenRead(const char* path) {
    if (!FitsLzPath(path)) return PLAT_LZ_NOT_FOUND;
    bool refused = false;
    int fd = OpenRegularFile(path, &refused);
    // A refused file is there: asking for another diskette would not help.
    if (fd < 0) return refused ? PLAT_LZ_ERROR_READ : PLAT_LZ_NOT_FOUND;
    return fd;
}

PlatLz PlatLzOpenWrite(const char* path) {
    std::string host;
    if (!FitsLzPath(path)) return -1;
    if (g_keptFd >= 0 && g_keptPath == path) {
        int fd = g_keptFd;
        g_keptFd = -1;
        g_keptPath.clear();
        return fd;
    }
    if (!MapTemporaryForWrite(path, &host)) return -1;
    // Emptied only when it holds something: ext4 takes a truncation to
    // nothing for a file being replaced and writes it out when it is
    // closed, which the copy step's fresh (empty) temporaries need not pay.
    int fd = HostOpenForWriting(host, O_WRONLY | O_CREAT);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || (st.st_size > 0 && ftruncate(fd, 0) != 0))) {
        close(fd);
        return -1;
    }
    return fd < 0 ? -1 : fd;
}

long long PlatLzCopy(PlatLz source, PlatLz destination) {
    if (source < 0 || destination < 0) return PLAT_LZ_ERROR_READ;
    if (HostShouldFail(kHostLzCopy)) return PLAT_LZ_ERROR_WRITE;
    // Synced later with the rest of its group (PlatSyncFiles).
    return HostLzCopy(static_cast<int>(source), static_cast<int>(destination), false);
}

void PlatLzClose(PlatLz handle) {
    if (handle >= 0) close(static_cast<int>(handle));
}

// ---------------------------------------------------------------- dialogue

int PlatMessageBox(const char* text, const char* caption, unsigned style) {
    return g_frontEnd ? g_frontEnd->MessageBox(text, caption, style) : 0;
}

void PlatSetItemText(PlatWindow page, int control, const char* text) {
    if (g_frontEnd) g_frontEnd->SetItemText(page, control, text);
}

PlatWindow PlatCreateProgressBar(PlatWindow page) { return g_frontEnd ? g_frontEnd->CreateProgressBar(page) : nullptr; }

void PlatSetProgressPos(PlatWindow bar, int position) {
    if (g_frontEnd) g_frontEnd->SetProgressPos(bar, position);
}

void PlatDestroyWindow(PlatWindow window) {
    if (g_frontEnd) g_frontEnd->DestroyWindow(window);
}

void PlatSetFocus(PlatWindow window) {
    if (g_frontEnd) g_frontEnd->SetFocus(window);
}
