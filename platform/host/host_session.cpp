// A session of vsetup on the host (see host_session.h).
#include "platform/host/host_session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/host/disk_image.h"
#include "platform/host/frontend.h"
#include "platform/host/host_io.h"
#include "platform/host/host_paths.h"
#include "platform/host/host_run.h"
#include "platform/host/registry_backend.h"

namespace {

const char kWindowsDir[] = "C:\\WINDOWS";

std::string g_prefix;
// The registry store of the prefix, and its row of the table. Never
// destroyed: at exit its memory goes back with the process.
const RegistryBackendRow* g_registryRow = nullptr;
RegistryBackend* g_registry = nullptr;
bool g_registryReported = false;  // a failed registry write was reported in this run
bool g_registryUnusable = false;

// The prefix as the user names it: VSETUP_PREFIX, else
// $XDG_DATA_HOME/vsetup/prefix, else ~/.local/share/vsetup/prefix, made
// absolute.
bool ChoosePrefix(std::string* prefix, std::string* error) {
    if (const char* env = std::getenv("VSETUP_PREFIX"); env && *env) {
        *prefix = env;
    } else if (const char* data = std::getenv("XDG_DATA_HOME"); data && data[0] == '/') {
        // A relative XDG_DATA_HOME is invalid and ignored, as the XDG base
        // directory rules say.
        *prefix = std::string(data) + "/vsetup/prefix";
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        *prefix = std::string(home) + "/.local/share/vsetup/prefix";
    } else {
        *error = "no prefix: set VSETUP_PREFIX to the directory of the Windows system to set up";
        return false;
    }
    if ((*prefix)[0] != '/') {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) {
            *error = "cannot read the current directory";
            return false;
        }
        *prefix = std::string(cwd) + "/" + *prefix;
    }
    return true;
}

// Picks the registry store of the prefix and loads it (again only when its
// file changed since it was loaded, unless always). ownFrom: where the
// appends of a stopped run began.
bool LoadRegistry(size_t ownFrom, bool always, std::string* error) {
    std::string file;
    const RegistryBackendRow* row = RegistryBackendFor(&file);
    if (!g_registry || row != g_registryRow || g_registry->File() != file) {
        delete g_registry;
        g_registry = row->open(file);
        g_registryRow = row;
    }
    return g_registry->Open(ownFrom, always, error);
}

// Holds the prefix for a run: cleans up after a stopped run and loads the
// registry as it is now.
bool BeginRun(bool alwaysLoad, std::string* error) {
    HostRunLeft left;
    auto tellFrontEnd = [] {
        if (PlatFrontEnd* frontEnd = HostFrontEnd())
            frontEnd->Waiting("Waiting for another installation into this Windows system to finish...");
    };
    if (!HostRunHold(g_prefix, &left, error, tellFrontEnd)) return false;
    // Prefixes whose C: leads to one Windows tree take turns too.
    std::string windows;
    struct stat st;
    if (HostMapPath(kWindowsDir, false, &windows) && stat(windows.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
        !HostRunHoldTree(windows, error, tellFrontEnd)) {
        HostRunRelease();
        return false;
    }
    if (!LoadRegistry(left.registryFrom, alwaysLoad, error) || !HostRunStartJournal(HostRunLeft::kNone)) {
        if (error->empty())
            *error = "cannot create the journal " + g_prefix + "/vsetup.journal: " + std::strerror(errno);
        HostRunRelease();
        return false;
    }
    g_registryReported = false;
    return true;
}

void FinishRegistry() {
    if (g_registry && !g_registry->Finish()) HostSessionReportRegistryFailure();
}

// What a disk image run stages and writes back for the registry: the files
// of every store, since the store is chosen from what the staging holds.
std::vector<HostImageRegistryFile> ImageRegistryFiles() {
    std::vector<HostImageRegistryFile> files;
    const std::string driveC = "drive_c/";
    for (const RegistryBackendRow* row = kRegistryBackends; row->name; ++row) {
        for (const RegistryOwnedFile* file = row->owned; file->path; ++file) {
            std::string path = file->path;
            if (path.compare(0, driveC.size(), driveC) != 0)
                files.push_back({HostImageRegistryFile::kBesideImage, path});
            else if (file->read)
                files.push_back({HostImageRegistryFile::kInImage, path.substr(driveC.size())});
            else
                files.push_back({HostImageRegistryFile::kMadeInImage, path.substr(driveC.size())});
        }
    }
    return files;
}

}  // namespace

const std::string& HostPrefix() { return g_prefix; }
RegistryBackend* HostSessionRegistry() { return g_registry; }
bool HostSessionRegistryUsable() { return !g_registryUnusable; }

bool HostSessionStart(std::string* error) {
    std::string prefix;
    if (!ChoosePrefix(&prefix, error)) return false;
    // A disk image as the prefix: the run works on a staging prefix that
    // HostImageCommit writes into the image afterwards.
    struct stat image;
    if (stat(prefix.c_str(), &image) == 0 && S_ISREG(image.st_mode) &&
        !HostImageOpen(prefix, ImageRegistryFiles(), &prefix, error))
        return false;
    // Caught first: mapping the prefix may already sync new directories.
    HostRunCatchSignals();
    if (!HostMapPrefix(prefix, &g_prefix, error)) return false;
    HostSetTemporaryAnnouncer(HostRunNoteTemporaries);
    // The registry is checked, and what a stopped run left is cleaned up,
    // under the hold; a wizard that then waits on a page holds nothing.
    if (!BeginRun(true, error)) return false;
    HostRunRelease();
    return true;
}

void PlatBeginRun() {
    if (HostRunHolding()) return;
    std::string error;
    g_registryUnusable = !BeginRun(false, &error);
    if (g_registryUnusable) std::fprintf(stderr, "vsetup: %s\n", error.c_str());
}

void PlatEndRun() {
    if (HostRunHolding()) {
        FinishRegistry();
        HostRunRelease();
    }
    g_registryUnusable = false;
}

bool HostSessionFinish(std::string* error) {
    // What was created but never flushed (a bare HKR line) still reaches the
    // file, as the real registry keeps it.
    if (!g_registryUnusable) FinishRegistry();
    // With a disk image as the prefix, the results go into the image now;
    // when they cannot, the image is as it was and the run has failed.
    return HostImageCommit(!g_registryUnusable && !g_registryReported, error);
}

void HostSessionReportRegistryFailure() {
    if (g_registryReported) return;
    g_registryReported = true;
    const std::string& file = g_registry->File();
    std::string text = "Can't write to the registry file " + file + ".";
    PlatMessageBox(text.c_str(), "Error", PLAT_MB_OK | PLAT_MB_ICONERROR);
    std::fprintf(stderr, "vsetup: cannot write to the registry file %s\n", file.c_str());
}
