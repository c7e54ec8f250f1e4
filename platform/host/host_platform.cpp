// platform/platform.h over the host: the prefix's drives, the profile engine,
// the registry store, the LZ service and posix_spawn.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/frontend.h"
#include "platform/host/disk_image.h"
#include "platform/host/host_ansi.h"
#include "platform/host/host_fault.h"
#include "platform/host/host_paths.h"
#include "platform/host/lz_expand.h"
#include "platform/host/profile_engine.h"
#include "platform/host/registry_store.h"

extern char** environ;

namespace {

const char kWindowsDir[] = "C:\\WINDOWS";
const char kSystemDir[] = "C:\\WINDOWS\\SYSTEM";

std::string g_startupError;
// Never destroyed: at exit its memory goes back with the process, while
// freeing a large store key by key took a fifth of a whole run.
RegistryStore& g_store = *new RegistryStore;
PlatFrontEnd* g_frontEnd = nullptr;

struct Fault {
    int countdown = 0;
    bool sticky = false;
    bool tripped = false;
};
Fault g_faults[kHostOperationCount];

void CopyOut(const std::string& text, char* buffer, size_t size) {
    if (size == 0) return;
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

// ---- registry handles: a key is known by its full path.

struct HostKey {
    std::string path;
};

HostKey g_rootClasses{"HKEY_CLASSES_ROOT"};
HostKey g_rootMachine{"HKEY_LOCAL_MACHINE"};

const HostKey* KeyOf(PlatKey key) {
    if (key == PLAT_HKEY_CLASSES_ROOT) return &g_rootClasses;
    if (key == PLAT_HKEY_LOCAL_MACHINE) return &g_rootMachine;
    return static_cast<const HostKey*>(key);
}

bool IsRoot(PlatKey key) { return key == PLAT_HKEY_CLASSES_ROOT || key == PLAT_HKEY_LOCAL_MACHINE; }

// parent\path with empty components dropped.
std::string SubkeyPath(PlatKey parent, const char* path) {
    std::string full = KeyOf(parent)->path;
    if (!path) return full;
    const char* p = path;
    while (*p) {
        while (*p == '\\') ++p;
        const char* end = p;
        while (*end && *end != '\\') ++end;
        if (end > p) full += "\\" + std::string(p, end);
        p = end;
    }
    return full;
}

const long kErrorFileNotFound = 2;
const long kErrorInvalidHandle = 6;
const long kErrorWriteFault = 29;

// ---- files

bool MapForRead(const char* path, std::string* host) { return HostMapPath(path, false, host); }
bool MapForWrite(const char* path, std::string* host) { return HostMapPath(path, true, host); }

// Opens a regular file for reading; a directory does not open, as on Windows.
int OpenRegularFile(const char* path) {
    std::string host;
    if (!MapForRead(path, &host)) return -1;
    int fd = open(host.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string ProfilePath(const char* file) {
    // A bare file name is the file of that name in the Windows directory.
    if (!std::strchr(file, '\\') && !std::strchr(file, '/') && !std::strchr(file, ':'))
        return std::string(kWindowsDir) + "\\" + file;
    return file;
}

// A file that nobody may write is read-only, as Wine shows it to Windows
// programs; Windows does not replace a read-only file, whoever asks.
bool IsReadOnlyFile(const std::string& host_path) {
    struct stat st;
    return lstat(host_path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0;
}

void SyncDirectoryOf(const std::string& host_path) {
    std::string dir = host_path.substr(0, host_path.rfind('/'));
    int fd = open(dir.empty() ? "/" : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

}  // namespace

// ---------------------------------------------------------------- test seam

void HostFailOperation(HostOperation operation, int nth, bool sticky) {
    g_faults[operation] = Fault{nth, sticky, false};
}

bool HostShouldFail(HostOperation operation) {
    Fault& fault = g_faults[operation];
    if (fault.tripped) return fault.sticky;
    if (fault.countdown <= 0) return false;
    if (--fault.countdown == 0) {
        fault.tripped = true;
        return true;
    }
    return false;
}

// ---------------------------------------------------------------- start-up

int PlatStartup() {
    g_startupError.clear();
    if (!HostOpenPrefix(&g_startupError)) return 0;
    std::string error;
    // Flushes append to the registry file in place: through a link they
    // would write outside the prefix.
    std::string registry = HostPrefix() + "/registry.reg";
    struct stat st;
    if (lstat(registry.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        g_startupError = "the registry file " + registry + " is a symbolic link; it has to be a file in the prefix";
        return 0;
    }
    if (!g_store.Open(registry, &error)) {
        g_startupError = error;
        return 0;
    }
    return 1;
}

void PlatShutdown() {
    // Everything was flushed where the installer flushes; what it only
    // created goes to disk here. A store that grew a lot by appending is
    // written afresh, sorted.
    // What was created but never flushed (a bare HKR line) still reaches the
    // file, as the real registry keeps it.
    g_store.FlushAll();
    if (g_store.AppendedBytes() > 0 && g_store.AppendedBytes() >= g_store.LoadedBytes() / 4) g_store.Compact();
    // With a disk image as the prefix, the results go into the image now;
    // when they cannot, the image is as it was and the run has failed.
    std::string error;
    if (!HostImageCommit(&error)) {
        std::fprintf(stderr, "vsetup: %s\n", error.c_str());
        std::exit(1);
    }
}

const char* PlatStartupError() { return g_startupError.c_str(); }

void PlatSetFrontEnd(PlatFrontEnd* front_end) { g_frontEnd = front_end; }

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
        SyncDirectoryOf(host);
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

size_t PlatGetProfileString(const char* section, const char* key, const char* default_value, char* buffer,
                            size_t size, const char* file) {
    // The default may be the buffer itself: take it before writing.
    std::string value = default_value ? default_value : "";
    std::string host;
    std::string found;
    if (MapForRead(ProfilePath(file).c_str(), &host) && IniReadFile(host, section, key, &found)) value = found;
    CopyOut(value, buffer, size);
    return size ? std::strlen(buffer) : 0;
}

int PlatGetProfileInt(const char* section, const char* key, int default_value, const char* file) {
    std::string host;
    std::string found;
    if (!MapForRead(ProfilePath(file).c_str(), &host) || !IniReadFile(host, section, key, &found))
        return default_value;
    return IniParseInt(found, default_value);
}

int PlatWriteProfileString(const char* section, const char* key, const char* value, const char* file) {
    std::string host;
    if (HostShouldFail(kHostWriteProfile)) return 0;
    if (!MapForWrite(ProfilePath(file).c_str(), &host) || IsReadOnlyFile(host)) return 0;
    return IniWriteFile(host, section, key, value ? value : "");
}

// ---------------------------------------------------------------- registry

long PlatRegOpenKey(PlatKey parent, const char* path, unsigned /*access*/, PlatKey* key) {
    if (!parent) return kErrorInvalidHandle;
    std::string full = SubkeyPath(parent, path);
    if (!IsRoot(parent) || (path && *path)) {
        if (!g_store.KeyExists(full)) return kErrorFileNotFound;
    }
    *key = new HostKey{full};
    return 0;
}

long PlatRegCreateKey(PlatKey parent, const char* path, PlatKey* key) {
    if (!parent) return kErrorInvalidHandle;
    std::string full = SubkeyPath(parent, path);
    if (path && *path) g_store.CreateKey(full);
    *key = new HostKey{full};
    return 0;
}

long PlatRegSetValue(PlatKey key, const char* name, unsigned type, const void* data, size_t size) {
    if (!key) return kErrorInvalidHandle;
    const HostKey* host = KeyOf(key);
    g_store.SetValue(host->path, name ? name : "", type, std::string(static_cast<const char*>(data), size));
    return 0;
}

long PlatRegFlushKey(PlatKey key) {
    if (!key) return kErrorInvalidHandle;
    if (HostShouldFail(kHostRegFlush)) return kErrorWriteFault;
    return g_store.Flush(KeyOf(key)->path) ? 0 : kErrorWriteFault;
}

long PlatRegCloseKey(PlatKey key) {
    if (!key) return kErrorInvalidHandle;
    if (!IsRoot(key)) delete static_cast<HostKey*>(key);
    return 0;
}

// ---------------------------------------------------------------- files

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
    return unlink(host.c_str()) == 0;
}

int PlatCreateTempFile(const char* directory, char* path_out, size_t size) {
    std::string host;
    if (HostShouldFail(kHostCreateTempFile)) return 0;
    if (!MapForWrite(directory, &host)) return 0;
    std::string pattern = host + "/~vsXXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return 0;
    // mkstemp makes the file private; installed files get the usual mode.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
    std::string base = std::string(name.data()).substr(host.size() + 1);
    std::string windows = std::string(directory) + "\\" + base;
    if (windows.size() + 1 > size) {
        unlink(name.data());
        return 0;
    }
    CopyOut(windows, path_out, size);
    return 1;
}

int PlatReplaceFile(const char* source, const char* destination) {
    std::string from;
    std::string to;
    if (HostShouldFail(kHostReplaceFile)) return 0;
    if (!MapForWrite(source, &from) || !MapForWrite(destination, &to)) return 0;
    struct stat st;
    if (lstat(to.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    if (IsReadOnlyFile(to)) return 0;
    if (rename(from.c_str(), to.c_str()) != 0) return 0;
    SyncDirectoryOf(to);
    return 1;
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
    int fd = OpenRegularFile(path);
    return fd < 0 ? PLAT_LZ_NOT_FOUND : fd;
}

PlatLz PlatLzOpenWrite(const char* path) {
    std::string host;
    if (!FitsLzPath(path) || !MapForWrite(path, &host)) return -1;
    int fd = open(host.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return fd < 0 ? -1 : fd;
}

long long PlatLzCopy(PlatLz source, PlatLz destination) {
    if (source < 0 || destination < 0) return PLAT_LZ_ERROR_READ;
    if (HostShouldFail(kHostLzCopy)) return PLAT_LZ_ERROR_WRITE;
    return HostLzCopy(static_cast<int>(source), static_cast<int>(destination));
}

void PlatLzClose(PlatLz handle) {
    if (handle >= 0) close(static_cast<int>(handle));
}

// ---------------------------------------------------------------- processes

int PlatLaunch(const char* command_line) {
    // A disk image's Windows runs only in its virtual machine; Wine on the
    // staging prefix would only fill it with a Wine tree of its own.
    if (HostImageActive()) return 0;
    // The Windows tree has no programs of its own to run on the host: the
    // command is handed to Wine with the prefix as its WINEPREFIX, which
    // starts the Display control panel of the tree being set up.
    std::vector<std::string> words{"wine"};
    for (const char* p = command_line; *p;) {
        while (*p == ' ') ++p;
        const char* end = p;
        while (*end && *end != ' ') ++end;
        if (end > p) words.emplace_back(p, end);
        p = end;
    }
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);

    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "WINEPREFIX=", 11) != 0) environment.emplace_back(*e);
    }
    environment.push_back("WINEPREFIX=" + HostPrefix());
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(&entry[0]);
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The wizard's transcript is its standard output; the panel keeps out of it.
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int started = posix_spawnp(&pid, "wine", &actions, nullptr, argv.data(), envp.data()) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (g_frontEnd) g_frontEnd->Launched(command_line, started != 0);
    return started;
}

// ---------------------------------------------------------------- dialogue

int PlatMessageBox(const char* text, const char* caption, unsigned style) {
    return g_frontEnd ? g_frontEnd->MessageBox(text, caption, style) : 0;
}

void PlatSetItemText(PlatWindow page, int control, const char* text) {
    if (g_frontEnd) g_frontEnd->SetItemText(page, control, text);
}

PlatWindow PlatCreateProgressBar(PlatWindow page) {
    return g_frontEnd ? g_frontEnd->CreateProgressBar(page) : nullptr;
}

void PlatSetProgressPos(PlatWindow bar, int position) {
    if (g_frontEnd) g_frontEnd->SetProgressPos(bar, position);
}

void PlatDestroyWindow(PlatWindow window) {
    if (g_frontEnd) g_frontEnd->DestroyWindow(window);
}

void PlatSetFocus(PlatWindow window) {
    if (g_frontEnd) g_frontEnd->SetFocus(window);
}
