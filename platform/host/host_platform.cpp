// platform/platform.h over the host: the prefix's drives, the profile engine,
// the registry store (or the Windows system's own SYSTEM.DAT), the LZ service
// and posix_spawn.
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

#include "platform/host/frontend.h"
#include "platform/host/disk_image.h"
#include "platform/host/host_ansi.h"
#include "platform/host/host_fault.h"
#include "platform/host/host_io.h"
#include "platform/host/host_paths.h"
#include "platform/host/host_run.h"
#include "platform/host/lz_expand.h"
#include "platform/host/profile_engine.h"
#include "platform/host/registry_backend.h"

extern char** environ;

namespace {

const char kWindowsDir[] = "C:\\WINDOWS";
const char kSystemDir[] = "C:\\WINDOWS\\SYSTEM";

std::string g_startupError;
// The registry store of this run, and its row of the table. Never
// destroyed: at exit its memory goes back with the process.
const RegistryBackendRow* g_registryRow = nullptr;
RegistryBackend* g_registry = nullptr;
PlatFrontEnd* g_frontEnd = nullptr;
bool g_registryReported = false;  // a failed registry write was reported in this run
// The registry could not be loaded again when a run began: nothing is
// written to it in that run, and every write fails.
bool g_registryUnusable = false;

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
const long kErrorInvalidParameter = 87;

// ---- files

bool MapForRead(const char* path, std::string* host) { return HostMapPath(path, false, host); }
bool MapForWrite(const char* path, std::string* host) { return HostMapPath(path, true, host); }

// Whether host_path, with its links resolved, stays inside the directory the
// installer was started from (the disk): a link on a disk never brings a
// file of the host into the Windows tree.
bool StaysOnTheDisk(const std::string& host_path) {
    char* real = realpath(host_path.c_str(), nullptr);
    if (!real) return true;  // nothing there: the open fails on its own
    std::string resolved = real;
    std::free(real);
    if (resolved == host_path) return true;
    char* here = realpath(".", nullptr);
    if (!here) return false;
    std::string disk = here;
    std::free(here);
    return disk == "/" || resolved.compare(0, disk.size() + 1, disk + "/") == 0;
}

// Opens a regular file of the disk for reading; a directory does not open, as
// on Windows. *refused tells a file that is there but is not opened: a link
// leading off the disk, a device, a FIFO or a socket, which stderr names.
int OpenRegularFile(const char* path, bool* refused = nullptr) {
    std::string host;
    if (refused) *refused = false;
    if (!MapForRead(path, &host)) return -1;
    const char* why = nullptr;
    int fd = -1;
    if (!StaysOnTheDisk(host)) {
        why = "it is a link leading off the disk";
    } else {
        fd = HostOpenRegular(host);
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

// A file that nobody may write is read-only, as Wine shows it to Windows
// programs; Windows does not replace a read-only file, whoever asks.
bool IsReadOnlyFile(const std::string& host_path) {
    struct stat st;
    return lstat(host_path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0;
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

namespace {

// Picks the registry store of the prefix and loads it (again only when its
// file changed since it was loaded, unless always). own_from: where the
// appends of a stopped run began.
bool LoadRegistry(size_t own_from, bool always, std::string* error) {
    std::string file;
    const RegistryBackendRow* row = RegistryBackendFor(&file);
    if (!g_registry || row != g_registryRow || g_registry->File() != file) {
        delete g_registry;
        g_registry = row->open(file);
        g_registryRow = row;
    }
    return g_registry->Open(own_from, always, error);
}

// Holds the prefix for a run: cleans up after a stopped run and loads the
// registry as it is now.
bool BeginRun(bool always_load, std::string* error) {
    HostRunLeft left;
    auto tell_front_end = [] {
        if (g_frontEnd) g_frontEnd->Waiting("Waiting for another installation into this Windows system to finish...");
    };
    if (!HostRunHold(HostPrefix(), &left, error, tell_front_end)) return false;
    // Prefixes whose C: leads to one Windows tree take turns too.
    std::string windows;
    struct stat st;
    if (HostMapPath(kWindowsDir, false, &windows) && stat(windows.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
        !HostRunHoldTree(windows, error, tell_front_end)) {
        HostRunRelease();
        return false;
    }
    if (!LoadRegistry(left.registry_from, always_load, error) || !HostRunStartJournal(HostRunLeft::kNone)) {
        if (error->empty())
            *error = "cannot create the journal " + HostPrefix() + "/vsetup.journal: " + std::strerror(errno);
        HostRunRelease();
        return false;
    }
    g_registryReported = false;
    return true;
}

// Reports a failed registry write, once per run.
void ReportRegistryFailure() {
    if (g_registryReported) return;
    g_registryReported = true;
    const std::string& file = g_registry->File();
    std::string text = "Can't write to the registry file " + file + ".";
    if (g_frontEnd) g_frontEnd->MessageBox(text.c_str(), "Error", PLAT_MB_OK | PLAT_MB_ICONERROR);
    std::fprintf(stderr, "vsetup: cannot write to the registry file %s\n", file.c_str());
}

void FinishRegistry() {
    if (!g_registry->Finish()) ReportRegistryFailure();
}

}  // namespace

int PlatStartup() {
    g_startupError.clear();
    if (!HostOpenPrefix(&g_startupError)) return 0;
    HostRunCatchSignals();
    HostSetTemporaryAnnouncer([](const std::string& path) { return HostRunNote("temp", path); });
    // The registry is checked, and what a stopped run left is cleaned up,
    // under the hold; a wizard that then waits on a page holds nothing.
    if (!BeginRun(true, &g_startupError)) return 0;
    HostRunRelease();
    return 1;
}

void PlatShutdown() {
    // What was created but never flushed (a bare HKR line) still reaches the
    // file, as the real registry keeps it.
    if (!g_registryUnusable) FinishRegistry();
    // With a disk image as the prefix, the results go into the image now;
    // when they cannot, the image is as it was and the run has failed.
    std::string error;
    if (!HostImageCommit(!g_registryUnusable && !g_registryReported, &error)) {
        std::fprintf(stderr, "vsetup: %s\n", error.c_str());
        std::exit(1);
    }
}

const char* PlatStartupError() {
    HostImageNameIn(&g_startupError);  // a disk image's staging prefix means nothing to the user
    return g_startupError.c_str();
}

void PlatSetFrontEnd(PlatFrontEnd* front_end) {
    if (front_end && !HostRunHolding()) {
        // A run begins: it holds the prefix to its end.
        g_frontEnd = front_end;
        std::string error;
        g_registryUnusable = !BeginRun(false, &error);
        if (g_registryUnusable) std::fprintf(stderr, "vsetup: %s\n", error.c_str());
        return;
    }
    if (!front_end && HostRunHolding()) {
        FinishRegistry();
        HostRunRelease();
    }
    if (!front_end) g_registryUnusable = false;
    g_frontEnd = front_end;
}

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

size_t PlatGetProfileString(const char* section, const char* key, const char* default_value, char* buffer, size_t size,
                            const char* file) {
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
    if (!MapForRead(ProfilePath(file).c_str(), &host) || !IniReadFile(host, section, key, &found)) return default_value;
    return IniParseInt(found, default_value);
}

int PlatWriteProfileString(const char* section, const char* key, const char* value, const char* file) {
    std::string host;
    if (HostShouldFail(kHostWriteProfile)) return 0;
    // All null asks for what is cached to be written: nothing is cached here.
    if (!section && !key && !value) return 1;
    if (!section || !file) return 0;
    if (!MapForWrite(ProfilePath(file).c_str(), &host) || IsReadOnlyFile(host)) return 0;
    // A null value deletes the key, a null key the whole section.
    std::string key_text = key ? key : "";
    std::string value_text = value ? value : "";
    return IniWriteFile(host, section, key ? &key_text : nullptr, key && value ? &value_text : nullptr);
}

// ---------------------------------------------------------------- registry

long PlatRegOpenKey(PlatKey parent, const char* path, unsigned /*access*/, PlatKey* key) {
    if (!parent) return kErrorInvalidHandle;
    std::string full = SubkeyPath(parent, path);
    if (!IsRoot(parent) || (path && *path)) {
        if (!g_registry->KeyExists(full)) return kErrorFileNotFound;
    }
    *key = new HostKey{full};
    return 0;
}

long PlatRegCreateKey(PlatKey parent, const char* path, PlatKey* key) {
    if (!parent) return kErrorInvalidHandle;
    if (g_registryUnusable) {
        ReportRegistryFailure();
        return kErrorWriteFault;
    }
    std::string full = SubkeyPath(parent, path);
    if (path && *path && !g_registry->CreateKey(full)) return kErrorInvalidParameter;
    *key = new HostKey{full};
    return 0;
}

long PlatRegSetValue(PlatKey key, const char* name, unsigned type, const void* data, size_t size) {
    if (!key) return kErrorInvalidHandle;
    if (g_registryUnusable) {
        ReportRegistryFailure();
        return kErrorWriteFault;
    }
    const HostKey* host = KeyOf(key);
    std::string bytes(static_cast<const char*>(data), size);
    return g_registry->SetValue(host->path, name ? name : "", type, bytes) ? 0 : kErrorInvalidParameter;
}

long PlatRegFlushKey(PlatKey key) {
    if (!key) return kErrorInvalidHandle;
    bool flushed = !g_registryUnusable && !HostShouldFail(kHostRegFlush) &&
                   g_registry->FlushKey(KeyOf(key)->path);
    if (!flushed) {
        ReportRegistryFailure();
        return kErrorWriteFault;
    }
    return 0;
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
    const char* current = HostCurrentTemporary();
    if (current && host == current) HostSetCurrentTemporary(nullptr);
    return unlink(host.c_str()) == 0;
}

int PlatCreateTempFile(const char* directory, char* path_out, size_t size) {
    std::string host;
    if (HostShouldFail(kHostCreateTempFile)) return 0;
    if (!MapForWrite(directory, &host)) return 0;
    std::string name;
    int fd = HostCreateTemporary(host + "/~vs", &name);
    if (fd < 0) return 0;
    // Made private; installed files get the usual mode.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
    std::string windows = std::string(directory) + "\\" + name.substr(host.size() + 1);
    if (windows.size() + 1 > size) {
        unlink(name.c_str());
        HostSetCurrentTemporary(nullptr);
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
    if (lstat(to.c_str(), &st) == 0) {
        // The installed file keeps the owner, group and mode of the one it
        // replaces: a privileged run does not take the user's files.
        int fd = open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        bool kept = fd >= 0 && HostTakeOwnership(fd, st);
        if (fd >= 0) close(fd);
        if (!kept) return 0;
    }
    if (rename(from.c_str(), to.c_str()) != 0) return 0;
    HostSetCurrentTemporary(nullptr);
    HostSyncDirectoryOf(to);
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
    bool refused = false;
    int fd = OpenRegularFile(path, &refused);
    // A refused file is there: asking for another diskette would not help.
    if (fd < 0) return refused ? PLAT_LZ_ERROR_READ : PLAT_LZ_NOT_FOUND;
    return fd;
}

PlatLz PlatLzOpenWrite(const char* path) {
    std::string host;
    if (!FitsLzPath(path) || !MapForWrite(path, &host)) return -1;
    int fd = HostOpenForWriting(host, O_WRONLY | O_CREAT | O_TRUNC);
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
    // starts the Display control panel of the tree being set up. Only a
    // prefix that is a Wine prefix already (it holds Wine's system.reg) is
    // handed over: Wine would turn any other into one of its own.
    struct stat st;
    if (lstat((HostPrefix() + "/system.reg").c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        if (g_frontEnd) g_frontEnd->Launched(command_line, false);
        return 0;
    }
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
    // The wizard's transcript is its standard output; the panel keeps out of
    // it, reads nothing of the wizard's, and lives on in its own session.
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid;
    int started = posix_spawnp(&pid, "wine", &actions, &attributes, argv.data(), envp.data()) == 0;
    posix_spawnattr_destroy(&attributes);
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
