// The registry of the Windows tree on the host: keys and values in memory,
// kept in one file in REGEDIT4 form (platform/host/regedit4.h), what Windows
// 95's regedit imports.
//
// The file grows by appending: each flush adds one section with what changed
// on a key, and a key's section may therefore appear many times; on loading,
// later entries win and values merge, as an import does. Compact() writes the
// whole store again, sorted.
//
// Key paths are full paths from a root key ("HKEY_LOCAL_MACHINE\System\...").
// HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\SOFTWARE\Classes; the other roots
// are HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_USERS, HKEY_CURRENT_CONFIG
// and HKEY_DYN_DATA, and a path from anything else names no key. Key and value
// names match without regard to case and keep the case they were created
// with; an empty value name is the key's unnamed value. A key implies its
// parents.
//
// Open reads a file strictly and refuses what it cannot import faithfully,
// "[-key]" and "name"=- deletions included. LoadText takes text as the
// store's own and skips what it cannot read: a malformed line, a value after
// a malformed key line or after a line holding zero bytes, deletions, and a
// last line without a line end, which is where an interrupted append ends.
//
// REG_SZ values are kept without their terminating zero (SetValue drops one
// trailing zero byte, as RegSetValueExA's callers pass it).
//
// A flush that finds the file ending without a line end cuts that torn line
// away before appending when the store appended it, and ends the line first
// when it is the user's.
#ifndef VSETUP_HOST_REGISTRY_STORE_H
#define VSETUP_HOST_REGISTRY_STORE_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class RegistryStore {
public:
    static const uint32_t kTypeString = 1;  // REG_SZ
    static const uint32_t kTypeBinary = 3;  // REG_BINARY
    static const uint32_t kTypeDword = 4;   // REG_DWORD

    RegistryStore();
    ~RegistryStore();
    RegistryStore(const RegistryStore&) = delete;
    RegistryStore& operator=(const RegistryStore&) = delete;

    static const size_t kNotOwn = static_cast<size_t>(-1);
    // The largest registry file Open reads; a larger one is refused.
    static const size_t kMaxFileSize = 256u << 20;

    // Empties the store and loads the file at path when it exists; later
    // flushes go to that file, which is not created before the first one.
    //
    // The file is read as a REGEDIT4 import reads it (Reg4Reader, strict),
    // UTF-16LE files included. ownFrom is where the store's own appends
    // begin in it (kNotOwn when it has none): a last line without a line end
    // that starts there or later is the remains of an interrupted append and
    // is cut from the file; one before it is the user's and is read.
    //
    // false, with a line of text in *error, when the file exists but cannot
    // be read, or holds anything that cannot be imported faithfully (the file
    // is then untouched and the store empty). The error names the file, the
    // line number and the line.
    bool Open(const std::string& path, std::string* error, size_t ownFrom = 0);
    // Called once before the store first appends to its file, with the
    // file's size then; the append does not happen when it returns false.
    void SetBeforeFirstAppend(std::function<bool(size_t)> hook) { beforeFirstAppend_ = std::move(hook); }
    // Where a copy of the file as it was loaded is kept before the store
    // first rewrites it whole (Compact, or the first change to a file that
    // is not in REGEDIT4 form); the copy is made only when that path does
    // not exist yet. "" (the default) keeps none.
    void SetBackupPath(const std::string& path) { backupPath_ = path; }
    // Merges REGEDIT4 text into the store as loading a file does. What it
    // brings is not marked for flushing.
    void LoadText(const std::string& text);

    bool KeyExists(const std::string& keyPath) const;
    // Creates the key and its missing parents.
    void CreateKey(const std::string& keyPath);
    // Creates or replaces a value, creating the key when needed.
    void SetValue(const std::string& keyPath, const std::string& name, uint32_t type, const std::string& data);
    bool GetValue(const std::string& keyPath, const std::string& name, uint32_t* type, std::string* data) const;

    // Makes what was created or set on the key since its last flush durable:
    // appends one section with the changed values (or the bare section for a
    // new key) with a single write and syncs the file. Its cost does not
    // depend on the size of the store. true when there was nothing to write;
    // false when writing failed (the changes stay pending).
    bool Flush(const std::string& keyPath);
    // Flushes every key with pending changes; its cost follows what is
    // pending, not the size of the store. false when a flush failed.
    bool FlushAll();
    // Replaces the file by Serialize() through a temporary file; everything is
    // then durable. false on failure (the file is as it was).
    bool Compact();
    // The whole store: keys sorted without regard to case, each parent before
    // its children, values in the order they were created.
    std::string Serialize() const;

    // The size of the file as loaded (or as Compact wrote it), and what
    // flushes have appended since.
    size_t LoadedBytes() const { return loadedBytes_; }
    size_t AppendedBytes() const { return appendedBytes_; }

private:
    struct Value {
        std::string name;
        uint32_t type;
        std::string data;
        bool pending;  // set since the key's last flush
    };
    struct Key {
        std::string path;  // full path, in the case it was created with
        std::vector<Value> values;
        // Lower-cased value name to index, built once a key has many values.
        std::unique_ptr<std::unordered_map<std::string, size_t>> valueIndex;
        std::vector<size_t> pendingValues;
        bool pendingCreate = false;
        bool queued = false;  // in pendingKeys_
    };

    // The key index: open addressing over a power-of-two table of slots, by
    // a hash of the lower-cased path; an empty slot has no key.
    struct Slot {
        size_t hash;
        Key* key;
    };
    Slot* Probe(const char* path, size_t size, size_t hash) const;
    void Reserve(size_t keyCount);
    Key* FindKey(const char* canonicalPath, size_t size) const;
    Key* FindKey(const std::string& canonicalPath) const;
    Key* MakeKey(std::string canonicalPath, bool markPending);
    // The same, with the path's HashNoCase.
    Key* MakeKey(std::string canonicalPath, bool markPending, size_t hash);
    // Starts fetching the index slot a key of that hash is looked up in.
    void PrefetchSlot(size_t hash) const;
    Value* FindValue(Key* key, const std::string& name);
    const Value* FindValue(const Key* key, const std::string& name) const;
    void PutValue(Key* key, const std::string& name, uint32_t type, std::string data, bool markPending);
    bool Import(const std::string& text, bool* ownForm, std::string* why);
    void Clear();
    void Queue(Key* key);
    bool FlushKey(Key* key);

    // The keys in the order they were made; a deque never moves them, so
    // pointers to them stay valid as the store grows.
    std::deque<Key> keys_;
    std::vector<Slot> slots_;
    std::vector<Key*> pendingKeys_;  // keys that may have pending changes
    // The last key MakeKey made, and its parent.
    Key* recent_ = nullptr;
    Key* recentParent_ = nullptr;
    std::string path_;
    std::string backupPath_;
    std::function<bool(size_t)> beforeFirstAppend_;
    bool appended_ = false;  // since Open
    // The file is not in the form the store appends to (UTF-16, version 5):
    // its first change writes it whole.
    bool foreign_ = false;
    // The file existed when it was opened and has not been rewritten since.
    bool loadedFromFile_ = false;
    size_t ownFrom_ = kNotOwn;
    bool KeepBackup();
    size_t loadedBytes_ = 0;
    size_t appendedBytes_ = 0;
};

#endif
