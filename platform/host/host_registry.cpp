// The registry services of platform/platform.h on the host: key handles
// over the store the session has chosen (registry_backend.h).
#include <string>

#include "platform/host/host_fault.h"
#include "platform/host/host_session.h"
#include "platform/host/registry_backend.h"
#include "platform/platform.h"

namespace {

// A key is known by its full path.
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

}  // namespace

long PlatRegOpenKey(PlatKey parent, const char* path, unsigned /*access*/, PlatKey* key) {
    if (!parent) return kErrorInvalidHandle;
    std::string full = SubkeyPath(parent, path);
    if (!IsRoot(parent) || (path && *path)) {
        if (!HostSessionRegistry()->KeyExists(full)) return kErrorFileNotFound;
    }
    *key = new HostKey{full};
    return 0;
}

long PlatRegCreateKey(PlatKey parent, const char* path, PlatKey* key) {
    if (!parent) return kErrorInvalidHandle;
    if (!HostSessionRegistryUsable()) {
        HostSessionReportRegistryFailure();
        return kErrorWriteFault;
    }
    std::string full = SubkeyPath(parent, path);
    if (path && *path && !HostSessionRegistry()->CreateKey(full)) return kErrorInvalidParameter;
    *key = new HostKey{full};
    return 0;
}

long PlatRegSetValue(PlatKey key, const char* name, unsigned type, const void* data, size_t size) {
    if (!key) return kErrorInvalidHandle;
    if (!HostSessionRegistryUsable()) {
        HostSessionReportRegistryFailure();
        return kErrorWriteFault;
    }
    const HostKey* host = KeyOf(key);
    std::string bytes(static_cast<const char*>(data), size);
    return HostSessionRegistry()->SetValue(host->path, name ? name : "", type, bytes) ? 0 : kErrorInvalidParameter;
}

long PlatRegFlushKey(PlatKey key) {
    if (!key) return kErrorInvalidHandle;
    bool flushed = HostSessionRegistryUsable() && !HostShouldFail(kHostRegFlush) &&
                   HostSessionRegistry()->FlushKey(KeyOf(key)->path);
    if (!flushed) {
        HostSessionReportRegistryFailure();
        return kErrorWriteFault;
    }
    return 0;
}

long PlatRegCloseKey(PlatKey key) {
    if (!key) return kErrorInvalidHandle;
    if (!IsRoot(key)) delete static_cast<HostKey*>(key);
    return 0;
}
