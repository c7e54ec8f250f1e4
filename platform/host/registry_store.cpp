#include "platform/host/registry_store.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/host/host_ansi.h"
#include "platform/host/host_io.h"
#include "platform/host/regedit4.h"
#include "platform/host/registry_key_path.h"

using namespace regpath;

namespace {

const size_t kIndexThreshold = 16;  // values a key holds before it gets an index

// Makes the file end with a line end before an append: what follows its last
// line end is cut when it starts at ownFrom or later (an append of the
// store's that was interrupted), and is the user's last line otherwise,
// which then gets a line end at the start of section. Returns the size the
// append starts at, or -1.
off_t EndLastLine(int fd, off_t size, size_t ownFrom, std::string* section) {
    char last;
    if (size == 0) return 0;
    if (pread(fd, &last, 1, size - 1) != 1) return -1;
    if (last == '\n' || last == '\r') return size;
    char buffer[4096];
    off_t pos = size;
    off_t keep = 0;
    while (pos > 0 && keep == 0) {
        off_t chunk = std::min<off_t>(pos, static_cast<off_t>(sizeof buffer));
        if (pread(fd, buffer, static_cast<size_t>(chunk), pos - chunk) != chunk) return -1;
        for (off_t i = chunk; i > 0; --i) {
            if (buffer[i - 1] == '\n' || buffer[i - 1] == '\r') {
                keep = pos - chunk + i;
                break;
            }
        }
        pos -= chunk;
    }
    if (ownFrom == RegistryStore::kNotOwn || static_cast<size_t>(keep) < ownFrom) {
        section->insert(0, "\r\n");
        return size;
    }
    return ftruncate(fd, keep) == 0 ? keep : -1;
}

}  // namespace

RegistryStore::RegistryStore() = default;
RegistryStore::~RegistryStore() = default;

void RegistryStore::Clear() {
    recent_ = recentParent_ = nullptr;
    appended_ = false;
    foreign_ = false;
    loadedFromFile_ = false;
    ownFrom_ = kNotOwn;
    slots_.clear();
    keys_.clear();
    pendingKeys_.clear();
    path_.clear();
    loadedBytes_ = 0;
    appendedBytes_ = 0;
}
bool RegistryStore::KeepBackup() {
    if (!loadedFromFile_ || backupPath_.empty()) return true;
    struct stat st;
    if (lstat(backupPath_.c_str(), &st) == 0) {
        loadedFromFile_ = false;
        return true;
    }
    std::string text;
    if (!HostReadWholeFile(path_, &text, nullptr, kMaxFileSize) || !HostReplaceFileWhole(backupPath_, text, path_))
        return false;
    loadedFromFile_ = false;
    return true;
}

RegistryStore::Slot* RegistryStore::Probe(const char* path, size_t size, size_t hash) const {
    size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot& slot = slots_[i];
        if (!slot.key || (slot.hash == hash && SamePath(slot.key->path, path, size))) return const_cast<Slot*>(&slot);
    }
}

void RegistryStore::Reserve(size_t keyCount) {
    if (keyCount * 2 <= slots_.size()) return;  // at most half the slots in use
    size_t wanted = 64;
    while (wanted < keyCount * 2) wanted *= 2;
    std::vector<Slot> old(wanted, Slot{0, nullptr});
    old.swap(slots_);
    for (const Slot& slot : old) {
        if (!slot.key) continue;
        size_t i = slot.hash & (wanted - 1);
        while (slots_[i].key) i = (i + 1) & (wanted - 1);
        slots_[i] = slot;
    }
}

RegistryStore::Key* RegistryStore::FindKey(const char* canonicalPath, size_t size) const {
    if (slots_.empty()) return nullptr;
    return Probe(canonicalPath, size, HashNoCase(canonicalPath, size))->key;
}

RegistryStore::Key* RegistryStore::FindKey(const std::string& canonicalPath) const {
    return FindKey(canonicalPath.data(), canonicalPath.size());
}

void RegistryStore::PrefetchSlot(size_t hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
}

RegistryStore::Key* RegistryStore::MakeKey(std::string canonicalPath, bool markPending) {
    size_t hash = HashNoCase(canonicalPath.data(), canonicalPath.size());
    return MakeKey(std::move(canonicalPath), markPending, hash);
}

RegistryStore::Key* RegistryStore::MakeKey(std::string canonicalPath, bool markPending, size_t hash) {
    if (slots_.empty()) Reserve(1);
    Slot* slot = Probe(canonicalPath.data(), canonicalPath.size(), hash);
    if (slot->key) return slot->key;
    const size_t slotCount = slots_.size();
    const void* last = memrchr(canonicalPath.data(), '\\', canonicalPath.size());
    size_t slash =
        last ? static_cast<size_t>(static_cast<const char*>(last) - canonicalPath.data()) : std::string::npos;
    Key* parent = nullptr;
    if (slash != std::string::npos) {
        // The parent mostly exists, and an export lists a key's siblings and
        // children right after it: the last key made and its parent are
        // tried before a lookup.
        auto isParent = [&](const Key* candidate) {
            return candidate && SamePath(candidate->path, canonicalPath.data(), slash);
        };
        if (isParent(recentParent_)) {
            parent = recentParent_;
        } else if (isParent(recent_)) {
            parent = recent_;
        } else {
            parent = FindKey(canonicalPath.data(), slash);
            if (!parent) parent = MakeKey(canonicalPath.substr(0, slash), markPending);
        }
    }
    // Making the parents, or room for this key, may have grown the index or
    // taken the slot found.
    Reserve(keys_.size() + 1);
    if (slots_.size() != slotCount || slot->key) slot = Probe(canonicalPath.data(), canonicalPath.size(), hash);
    keys_.emplace_back();
    Key* key = &keys_.back();
    // The key's path keeps its parent's spelling.
    if (!parent || parent->path.compare(0, std::string::npos, canonicalPath, 0, slash) == 0) {
        key->path = std::move(canonicalPath);
    } else {
        key->path.reserve(parent->path.size() + canonicalPath.size() - slash);
        key->path = parent->path;
        key->path.append(canonicalPath, slash, std::string::npos);
    }
    slot->hash = hash;
    slot->key = key;
    recent_ = key;
    recentParent_ = parent;
    // The roots always exist: they need no section of their own.
    key->pendingCreate = markPending && parent;
    if (key->pendingCreate) Queue(key);
    return key;
}

RegistryStore::Value* RegistryStore::FindValue(Key* key, const std::string& name) {
    return const_cast<Value*>(static_cast<const RegistryStore*>(this)->FindValue(key, name));
}

const RegistryStore::Value* RegistryStore::FindValue(const Key* key, const std::string& name) const {
    if (key->valueIndex) {
        auto it = key->valueIndex->find(Lower(name));
        return it == key->valueIndex->end() ? nullptr : &key->values[it->second];
    }
    for (const Value& value : key->values)
        if (HostEqualNoCase(value.name, name)) return &value;
    return nullptr;
}

void RegistryStore::PutValue(Key* key, const std::string& name, uint32_t type, std::string data, bool markPending) {
    Value* value = FindValue(key, name);
    if (value) {
        if (value->type == type && value->data == data) return;
        value->type = type;
        value->data = std::move(data);
    } else {
        // Most keys hold one or two values: room for two at once saves
        // growing the list value by value.
        if (key->values.empty()) key->values.reserve(2);
        key->values.push_back(Value{name, type, std::move(data), false});
        value = &key->values.back();
        size_t index = key->values.size() - 1;
        if (key->valueIndex) {
            key->valueIndex->emplace(Lower(name), index);
        } else if (key->values.size() > kIndexThreshold) {
            key->valueIndex.reset(new std::unordered_map<std::string, size_t>);
            for (size_t i = 0; i < key->values.size(); ++i) key->valueIndex->emplace(Lower(key->values[i].name), i);
        }
    }
    if (markPending && !value->pending) {
        value->pending = true;
        key->pendingValues.push_back(static_cast<size_t>(value - key->values.data()));
        Queue(key);
    }
}

void RegistryStore::LoadText(const std::string& text) {
    // Exports hold a key for about every 100 bytes; room for fewer keeps
    // the index small, and it grows when it must.
    Reserve(keys_.size() + text.size() / 128);
    Reg4Reader reader(text.data(), text.size());
    Reg4Item item;
    Key* current = nullptr;
    while (reader.Next(&item)) {
        switch (item.kind) {
        case Reg4Item::kKey: {
            std::string path = CanonicalPath(item.key.data(), item.key.size());
            current = path.empty() ? nullptr : MakeKey(std::move(path), false);
            break;
        }
        case Reg4Item::kDeleteKey:
            current = nullptr;
            break;
        case Reg4Item::kValue:
            if (current) PutValue(current, item.name, item.type, std::move(item.data), false);
            break;
        case Reg4Item::kDeleteValue:
            break;
        case Reg4Item::kBroken:
            if (item.endsKey) current = nullptr;
            break;
        }
    }
}

bool RegistryStore::KeyExists(const std::string& keyPath) const {
    std::string path = CanonicalPath(keyPath);
    if (path.empty()) return false;
    return IsKnownRoot(path) || FindKey(path) != nullptr;
}

void RegistryStore::CreateKey(const std::string& keyPath) {
    std::string path = CanonicalPath(keyPath);
    if (!path.empty()) MakeKey(std::move(path), true);
}

void RegistryStore::SetValue(const std::string& keyPath, const std::string& name, uint32_t type,
                             const std::string& data) {
    std::string path = CanonicalPath(keyPath);
    if (path.empty()) return;
    Key* key = MakeKey(std::move(path), true);
    std::string stored = data;
    if (type == kTypeString && !stored.empty() && stored.back() == '\0') stored.pop_back();
    PutValue(key, name, type, std::move(stored), true);
}

bool RegistryStore::GetValue(const std::string& keyPath, const std::string& name, uint32_t* type,
                             std::string* data) const {
    const Key* key = FindKey(CanonicalPath(keyPath));
    if (!key) return false;
    const Value* value = FindValue(key, name);
    if (!value) return false;
    if (type) *type = value->type;
    if (data) *data = value->data;
    return true;
}

void RegistryStore::Queue(Key* key) {
    if (key->queued) return;
    key->queued = true;
    pendingKeys_.push_back(key);
}

bool RegistryStore::Flush(const std::string& keyPath) {
    Key* key = FindKey(CanonicalPath(keyPath));
    return !key || FlushKey(key);
}

bool RegistryStore::FlushAll() {
    // A key is queued after its parents. Children go first: a child's
    // section implies its parents, which then need no bare section.
    std::vector<Key*> keys;
    keys.swap(pendingKeys_);
    std::vector<Key*> failed;
    for (auto it = keys.rbegin(); it != keys.rend(); ++it) {
        (*it)->queued = false;
        if (!FlushKey(*it)) failed.push_back(*it);
    }
    for (auto it = failed.rbegin(); it != failed.rend(); ++it) Queue(*it);
    return failed.empty();
}

bool RegistryStore::FlushKey(Key* key) {
    if (!key->pendingCreate && key->pendingValues.empty()) return true;
    if (path_.empty()) return false;
    // A file in another form is written whole, in REGEDIT4, by its first
    // change; everything pending is then on disk.
    if (foreign_) return Compact();
    const std::string& path = key->path;

    std::string section = "\r\n[" + key->path + "]\r\n";
    for (size_t index : key->pendingValues) {
        const Value& value = key->values[index];
        Reg4AppendValue(&section, value.name, value.type, value.data);
    }

    int fd = HostOpenForWriting(path_, O_RDWR | O_APPEND | O_CREAT);
    if (fd < 0) return false;
    struct stat st;
    off_t size = fstat(fd, &st) == 0 ? EndLastLine(fd, st.st_size, ownFrom_, &section) : -1;
    if (size >= 0 && !appended_ &&
        (!KeepBackup() || (beforeFirstAppend_ && !beforeFirstAppend_(static_cast<size_t>(size)))))
        size = -1;
    bool ok = size >= 0;
    bool fresh = size == 0;
    if (ok && fresh) section.insert(0, kReg4Header);
    if (ok && !HostWriteAll(fd, section.data(), section.size())) {
        // Take back the part that reached the file; should that fail too,
        // the next flush cuts the torn line.
        ok = false;
        int cut = ftruncate(fd, size);
        (void)cut;
    }
    if (ok && !HostFsync(fd)) ok = false;
    if (close(fd) != 0) ok = false;
    if (ok && fresh) ok = HostSyncDirectoryOf(path_);
    if (!ok) return false;

    if (!appended_) {
        appended_ = true;
        if (ownFrom_ == kNotOwn || ownFrom_ > static_cast<size_t>(size)) ownFrom_ = static_cast<size_t>(size);
    }
    appendedBytes_ += section.size();
    for (size_t index : key->pendingValues) key->values[index].pending = false;
    key->pendingValues.clear();
    key->pendingCreate = false;
    // The section implies the key's parents.
    for (size_t slash = path.rfind('\\'); slash != std::string::npos && slash > 0;
         slash = path.rfind('\\', slash - 1)) {
        Key* parent = FindKey(path.data(), slash);
        if (parent) parent->pendingCreate = false;
    }
    return true;
}

std::string RegistryStore::Serialize() const {
    std::vector<std::pair<std::string, const Key*>> order;
    order.reserve(keys_.size());
    for (const Key& key : keys_) order.emplace_back(SortKey(Lower(key.path)), &key);
    std::sort(order.begin(), order.end());
    std::string out = kReg4Header;
    for (const auto& entry : order) {
        const Key* key = entry.second;
        if (key->values.empty() && IsKnownRoot(key->path)) continue;
        out += "\r\n[";
        out += key->path;
        out += "]\r\n";
        for (const Value& value : key->values) Reg4AppendValue(&out, value.name, value.type, value.data);
    }
    return out;
}

bool RegistryStore::Compact() {
    if (path_.empty()) return false;
    if (!KeepBackup()) return false;
    std::string text = Serialize();
    if (!HostReplaceFileWhole(path_, text)) return false;
    foreign_ = false;
    ownFrom_ = 0;
    for (Key& key : keys_) {
        for (size_t index : key.pendingValues) key.values[index].pending = false;
        key.pendingValues.clear();
        key.pendingCreate = false;
        key.queued = false;
    }
    pendingKeys_.clear();
    loadedBytes_ = text.size();
    appendedBytes_ = 0;
    return true;
}
