// The registry stores of the host backend and the table that picks one
// (see registry_backend.h).
#include "platform/host/registry_backend.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/host/creg_store.h"
#include "platform/host/host_paths.h"
#include "platform/host/host_run.h"
#include "platform/host/host_session.h"
#include "platform/host/registry_store.h"

namespace {

const char kSystemDat[] = "C:\\WINDOWS\\SYSTEM.DAT";

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// ---- registry.reg, in REGEDIT4 form

class Regedit4Backend : public RegistryBackend {
public:
    explicit Regedit4Backend(const std::string& file) : file_(file) {}
    ~Regedit4Backend() override { delete &store_; }

    bool Open(size_t ownFrom, bool always, std::string* error) override {
        // Flushes append to the registry file in place: through a link they
        // would write outside the prefix.
        struct stat st;
        bool exists = lstat(file_.c_str(), &st) == 0;
        if (exists && S_ISLNK(st.st_mode)) {
            *error = "the registry file " + file_ + " is a symbolic link; it has to be a file in the prefix";
            return false;
        }
        if (!always && exists && ownFrom == HostRunLeft::kNone && SameFile(st, loaded_)) return true;
        if (!store_.Open(file_, error, ownFrom == HostRunLeft::kNone ? RegistryStore::kNotOwn : ownFrom))
            return false;
        store_.SetBackupPath(file_ + ".orig");
        store_.SetBeforeFirstAppend([](size_t size) { return HostRunNote("registry", std::to_string(size)); });
        if (lstat(file_.c_str(), &loaded_) != 0) std::memset(&loaded_, 0, sizeof loaded_);
        return true;
    }
    bool KeyExists(const std::string& keyPath) const override { return store_.KeyExists(keyPath); }
    bool CreateKey(const std::string& keyPath) override {
        store_.CreateKey(keyPath);
        return true;
    }
    bool SetValue(const std::string& keyPath, const std::string& name, uint32_t type,
                  const std::string& data) override {
        store_.SetValue(keyPath, name, type, data);
        return true;
    }
    bool FlushKey(const std::string& keyPath) override { return store_.Flush(keyPath); }
    // Everything was flushed where the installer flushes; what it only
    // created goes to disk here. A store that grew a lot by appending is
    // written afresh, sorted.
    bool Finish() override {
        bool ok = store_.FlushAll();
        if (ok && store_.AppendedBytes() > 0 && store_.AppendedBytes() >= store_.LoadedBytes() / 4)
            ok = store_.Compact();
        return ok;
    }
    const std::string& File() const override { return file_; }

private:
    std::string file_;
    // Made apart from the backend, which lives to the end of the process:
    // freeing a large store key by key at exit took a fifth of a whole run.
    RegistryStore& store_ = *new RegistryStore;
    // The file as it was when the store loaded it: a run that had to wait
    // for another reloads it when it changed meanwhile.
    struct stat loaded_ = {};
};

bool ProbeRegedit4(std::string* file) {
    *file = HostPrefix() + "/registry.reg";
    return true;
}

RegistryBackend* OpenRegedit4(const std::string& file) { return new Regedit4Backend(file); }

// ---- the Windows system's own SYSTEM.DAT; registry.reg is then neither
// read nor written.

class SystemDatBackend : public RegistryBackend {
public:
    explicit SystemDatBackend(const std::string& file) : file_(file) {}
    ~SystemDatBackend() override { delete store_; }

    bool Open(size_t /*ownFrom*/, bool always, std::string* error) override {
        // It is replaced beside itself: never through a link below C:.
        std::string writable;
        if (!HostMapPath(kSystemDat, true, &writable)) {
            *error = "the Windows registry " + file_ +
                     " is reached through a symbolic link inside drive C:; it has to be in the drive's tree";
            return false;
        }
        struct stat st;
        if (stat(file_.c_str(), &st) != 0) std::memset(&st, 0, sizeof st);
        if (store_ && !always && SameFile(st, loaded_)) return true;
        delete store_;
        store_ = new CregStore;
        if (!store_->Open(file_, error)) {
            delete store_;
            store_ = nullptr;
            return false;
        }
        loaded_ = st;
        return true;
    }
    bool KeyExists(const std::string& keyPath) const override { return store_ && store_->KeyExists(keyPath); }
    bool CreateKey(const std::string& keyPath) override { return store_ && store_->CreateKey(keyPath); }
    bool SetValue(const std::string& keyPath, const std::string& name, uint32_t type,
                  const std::string& data) override {
        return store_ && store_->SetValue(keyPath, name, type, data);
    }
    bool FlushKey(const std::string& /*keyPath*/) override { return store_ && store_->Flush(); }
    bool Finish() override {
        // Nothing is lost when the file cannot be replaced: the old file
        // stays, and the journal beside it goes in at the next start.
        if (!store_ || store_->Commit()) return true;
        std::fprintf(stderr,
                     "vsetup: the Windows registry SYSTEM.DAT could not be written (%s); it is as it was, "
                     "and this run's changes, kept in SYSTEM.VSJ beside it, go in when vsetup next starts\n",
                     std::strerror(errno));
        return false;
    }
    const std::string& File() const override { return file_; }

private:
    std::string file_;
    CregStore* store_ = nullptr;
    struct stat loaded_ = {};
};

bool ProbeSystemDat(std::string* file) {
    struct stat st;
    return HostMapPath(kSystemDat, false, file) && stat(file->c_str(), &st) == 0;
}

RegistryBackend* OpenSystemDat(const std::string& file) { return new SystemDatBackend(file); }

// SYSTEM.VS0 is the copy of the SYSTEM.DAT that a run replaced.
const RegistryOwnedFile kSystemDatFiles[] = {
    {"drive_c/WINDOWS/SYSTEM.VS0", false}, {"drive_c/WINDOWS/SYSTEM.DAT", true}, {nullptr, false}};
const RegistryOwnedFile kRegedit4Files[] = {{"registry.reg", true}, {nullptr, false}};

}  // namespace

const RegistryBackendRow kRegistryBackends[] = {
    {"system.dat", ProbeSystemDat, OpenSystemDat, kSystemDatFiles},
    {"regedit4", ProbeRegedit4, OpenRegedit4, kRegedit4Files},
    {nullptr, nullptr, nullptr, nullptr},
};

const RegistryBackendRow* RegistryBackendFor(std::string* file) {
    for (const RegistryBackendRow* row = kRegistryBackends; row->name; ++row) {
        if (row->probe(file)) return row;
    }
    return nullptr;
}
