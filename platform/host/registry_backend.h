// Where the host backend keeps the Windows system's registry: one of the
// stores below, chosen once per run from a table, the way a program picks
// the first driver that finds its device.
//
// A row names a store, probes the prefix for it and makes it. The first row
// whose probe finds its file wins:
//   system.dat   the Windows 95/98 system's own WINDOWS\SYSTEM.DAT
//                (creg_store.h), when drive C: holds one
//   regedit4     registry.reg in the prefix's top directory, in REGEDIT4
//                form (registry_store.h), always
// Adding a store is its files, a class below and one row.
#ifndef VSETUP_HOST_REGISTRY_BACKEND_H
#define VSETUP_HOST_REGISTRY_BACKEND_H

#include <cstddef>
#include <cstdint>
#include <string>

class RegistryBackend {
public:
    virtual ~RegistryBackend() = default;
    // Loads the registry for a run: again only when its file changed since
    // the last load, unless always. ownFrom is where the appends of a
    // stopped run began (HostRunLeft::kNone when none). false with a reason.
    virtual bool Open(size_t ownFrom, bool always, std::string* error) = 0;
    virtual bool KeyExists(const std::string& keyPath) const = 0;
    // Creates the key and its missing parents; false when the store cannot
    // hold it.
    virtual bool CreateKey(const std::string& keyPath) = 0;
    virtual bool SetValue(const std::string& keyPath, const std::string& name, uint32_t type,
                          const std::string& data) = 0;
    // Makes what was set on the key durable. false when writing failed.
    virtual bool FlushKey(const std::string& keyPath) = 0;
    // Writes what is only in memory at the end of a run (keys created but
    // never flushed). false when that failed, told on stderr where the store
    // has more to say than the caller's report.
    virtual bool Finish() = 0;
    // The registry file, a host path, as messages name it.
    virtual const std::string& File() const = 0;
};

// A file a store writes, from the prefix's top directory ("drive_c/..." is
// on drive C:).
struct RegistryOwnedFile {
    const char* path;
    // Whether the run reads it as it was (a disk image stages it first and
    // writes it back after every other file), or only makes it.
    bool read;
};

struct RegistryBackendRow {
    const char* name;
    // Whether the prefix holds this store; *file is then its host path.
    bool (*probe)(std::string* file);
    RegistryBackend* (*open)(const std::string& file);
    // The files the store writes, in the order a disk image must take them
    // back; the last has a null path.
    const RegistryOwnedFile* owned;
};

// The stores in the order they are probed; the last row has no name.
extern const RegistryBackendRow kRegistryBackends[];

// The row whose probe finds its file first, with that file.
const RegistryBackendRow* RegistryBackendFor(std::string* file);

#endif
