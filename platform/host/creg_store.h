// HKEY_LOCAL_MACHINE kept in the Windows 95/98 system's own registry file,
// WINDOWS\SYSTEM.DAT (see creg_file.h for the format).
//
// Durability without rewriting the file for every flush: a flush appends
// what changed to a journal beside the file (SYSTEM.VSJ) and syncs it; its
// cost follows what changed, not the size of the registry. The journal
// begins with the size and a hash of the SYSTEM.DAT it applies to. Commit()
// then writes the whole registry once: the file as it was before the run is
// kept as SYSTEM.VS0, the new one is written to SYSTEM.VST and renamed over
// SYSTEM.DAT with the old file's owner, group, mode and FAT attributes (the
// backup gets its owner, group and mode too), and the journal is removed.
// So a kill at any point leaves the old SYSTEM.DAT or the new one, and the
// next Open() replays a journal that belongs to the SYSTEM.DAT it finds (a
// torn last entry, never reported flushed, is dropped) and removes one that
// does not (its changes are in the file already, or the user has put
// another file in place).
//
// Key paths are full paths from a root key, as in RegistryStore:
// HKEY_LOCAL_MACHINE\... is the hive, HKEY_CLASSES_ROOT\... is
// HKEY_LOCAL_MACHINE\SOFTWARE\Classes\...; no other root is in this file.
#ifndef VSETUP_HOST_CREG_STORE_H
#define VSETUP_HOST_CREG_STORE_H

#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

#include "platform/host/creg_file.h"

class CregStore {
public:
    CregStore() = default;
    ~CregStore();
    CregStore(const CregStore&) = delete;
    CregStore& operator=(const CregStore&) = delete;

    // Loads the registry file at path (a host path) and replays its journal.
    // false, with the file and what is wrong in *error, when it or its
    // journal cannot be read in full; nothing is written then.
    bool Open(const std::string& path, std::string* error);

    bool KeyExists(const std::string& keyPath) const;
    // Creates the key and its missing parents; false when the path names no
    // key of this file.
    bool CreateKey(const std::string& keyPath);
    // Creates or replaces a value (and its key). A REG_SZ keeps its text
    // without the terminating zero, as Windows 95 stores it.
    bool SetValue(const std::string& keyPath, const std::string& name, uint32_t type, const std::string& data);
    bool GetValue(const std::string& keyPath, const std::string& name, uint32_t* type, std::string* data) const;

    // Makes every change since the last flush durable in the journal.
    // true when there was nothing to write; false when writing failed (the
    // changes stay pending).
    bool Flush();
    // Writes the registry file afresh when anything changed (see above).
    // false on failure; the old file is then in place, and the journal too.
    bool Commit();

    // The largest SYSTEM.DAT, and journal, that Open reads; a larger one is
    // refused.
    static const size_t kMaxFileSize = 64u << 20;

    const CregHive& Hive() const { return hive_; }
    // The names of the files beside SYSTEM.DAT.
    static const char kJournalName[];
    static const char kBackupName[];
    static const char kTempName[];

private:
    uint32_t Resolve(const std::string& keyPath, bool create);
    uint32_t Find(const std::string& keyPath) const;
    std::string Beside(const char* name) const;
    void Replay(const std::string& journal);
    bool Apply(const char* payload, size_t size);
    bool AppendToJournal(const std::string& records);
    bool WriteReplacement(const std::string& target, const char* data, size_t size, bool keepAttributes);

    CregHive hive_;
    std::string path_;
    std::string directory_;
    struct stat owner_ = {};  // the file's owner, group and mode
    bool hasOwner_ = false;
    uint32_t fatAttributes_ = 0;
    bool hasFatAttributes_ = false;
    uint64_t baseSize_ = 0;
    uint64_t baseHash_ = 0;
    std::string pending_;  // journal entries not yet flushed
    int journalFd_ = -1;
    uint64_t journalSize_ = 0;  // bytes of whole entries in the journal
    bool changed_ = false;       // the tree differs from the file
    bool journalExists_ = false;
};

#endif
