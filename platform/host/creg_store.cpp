// HKEY_LOCAL_MACHINE in SYSTEM.DAT, with a journal for flushes and one
// whole, atomic replacement of the file per run (see creg_store.h).
#include "platform/host/creg_store.h"

#include <fcntl.h>
#include <linux/msdos_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/host/byte_order.h"
#include "platform/host/host_ansi.h"
#include "platform/host/host_io.h"

const char CregStore::kJournalName[] = "SYSTEM.VSJ";
const char CregStore::kBackupName[] = "SYSTEM.VS0";
const char CregStore::kTempName[] = "SYSTEM.VST";

namespace {

const char kJournalMagic[8] = {'V', 'S', 'J', 'C', 'R', 'E', 'G', '1'};
const size_t kJournalHeader = 24;  // magic, base size, base hash
const size_t kEntryHeader = 8;     // payload size, payload hash

// A fast hash of the whole file, to tie a journal to the file it extends.
uint64_t Fingerprint(const char* data, size_t size) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ size;
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t w;
        std::memcpy(&w, data + i, 8);
        h = (h ^ w) * 0x100000001B3ull;
        h ^= h >> 29;
    }
    for (; i < size; ++i) h = (h ^ static_cast<unsigned char>(data[i])) * 0x100000001B3ull;
    return h ^ (h >> 32);
}

void Put64(std::string* out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>(v >> (8 * i)));
}
void Put32(std::string* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>(v >> (8 * i)));
}
void PutText(std::string* out, const std::string& text) {
    Put32(out, static_cast<uint32_t>(text.size()));
    *out += text;
}
bool GetText(const char*& p, const char* end, std::string* text) {
    if (end - p < 4) return false;
    uint64_t size = HostGetLe32(p);
    p += 4;
    if (static_cast<uint64_t>(end - p) < size) return false;
    text->assign(p, size);
    p += size;
    return true;
}

// The components of a key path below the hive's root, or false when the
// path names no key of HKEY_LOCAL_MACHINE.
bool HiveComponents(const std::string& keyPath, std::vector<std::string>* parts) {
    parts->clear();
    size_t start = 0;
    bool first = true;
    while (start <= keyPath.size()) {
        size_t end = keyPath.find('\\', start);
        if (end == std::string::npos) end = keyPath.size();
        std::string part = keyPath.substr(start, end - start);
        if (first) {
            if (HostEqualNoCase(part, "HKEY_CLASSES_ROOT")) {
                parts->push_back("SOFTWARE");
                parts->push_back("Classes");
            } else if (!HostEqualNoCase(part, "HKEY_LOCAL_MACHINE")) {
                return false;
            }
            first = false;
        } else if (!part.empty()) {
            parts->push_back(part);
        }
        start = end + 1;
    }
    return true;
}

std::string Join(const std::vector<std::string>& parts) {
    std::string path;
    for (const std::string& part : parts) path += (path.empty() ? "" : "\\") + part;
    return path;
}

}  // namespace

CregStore::~CregStore() {
    if (journalFd_ >= 0) close(journalFd_);
}

std::string CregStore::Beside(const char* name) const { return directory_ + "/" + name; }

bool CregStore::Open(const std::string& path, std::string* error) {
    path_ = path;
    directory_ = HostDirectoryOf(path);
    // Only a regular file of a registry's size that begins as one is read:
    // a FIFO, a device or a huge file is refused before any of it is read.
    // The file, its tree, and the new file written from it at the end.
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) <= kMaxFileSize)
        HostPrepareHeapFor(static_cast<size_t>(st.st_size) * 4);
    std::string bytes;
    if (!HostReadWholeFile(path, &bytes, nullptr, kMaxFileSize, false, "CREG")) {
        *error = "the Windows registry " + path +
                 (errno == EILSEQ ? std::string(" does not start with the CREG signature")
                                  : " cannot be read: " + HostReadError(errno, kMaxFileSize));
        return false;
    }
    baseSize_ = bytes.size();
    baseHash_ = Fingerprint(bytes.data(), bytes.size());
    std::string why;
    if (!hive_.Load(std::move(bytes), &why)) {
        *error = "the Windows registry " + path + " " + why;
        return false;
    }
    int fd = HostOpenRegular(path, false);
    if (fd >= 0) {
        hasOwner_ = fstat(fd, &owner_) == 0;
        hasFatAttributes_ = ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &fatAttributes_) == 0;
        close(fd);
    }

    // A journal left by an interrupted run: replayed when it extends this
    // very file, removed otherwise. Nothing in its place is followed or
    // waited on: a link, anything but a regular file, or a file too large
    // for a journal stops the run.
    HostRemoveName(Beside(kTempName));
    const std::string journalPath = Beside(kJournalName);
    std::string journal;
    bool missing = false;
    bool read = HostReadWholeFile(journalPath, &journal, &missing, kMaxFileSize, false,
                                  std::string(kJournalMagic, sizeof kJournalMagic));
    if (!read && !missing && errno != EILSEQ) {
        *error = "the journal " + journalPath +
                 " of the Windows registry cannot be read: " + HostReadError(errno, kMaxFileSize);
        return false;
    }
    if (read && journal.size() >= kJournalHeader && HostGetLe64(journal.data() + 8) == baseSize_ &&
        HostGetLe64(journal.data() + 16) == baseHash_) {
        Replay(journal);
        journalFd_ = HostOpenForWriting(journalPath, O_WRONLY);
        if (journalFd_ >= 0 && journalSize_ < journal.size()) {
            if (ftruncate(journalFd_, static_cast<off_t>(journalSize_)) != 0) {
                close(journalFd_);
                journalFd_ = -1;
            }
        }
        journalExists_ = true;
    } else if (!missing) {
        HostRemoveName(journalPath);
        HostSyncDirectoryOf(path_);
    }
    return true;
}

void CregStore::Replay(const std::string& journal) {
    const char* p = journal.data() + kJournalHeader;
    const char* end = journal.data() + journal.size();
    journalSize_ = kJournalHeader;
    while (end - p >= static_cast<std::ptrdiff_t>(kEntryHeader)) {
        uint64_t size = HostGetLe32(p);
        uint32_t hash = HostGetLe32(p + 4);
        if (static_cast<uint64_t>(end - p - kEntryHeader) < size) break;
        const char* payload = p + kEntryHeader;
        if (static_cast<uint32_t>(Fingerprint(payload, size)) != hash || !Apply(payload, size)) break;
        p = payload + size;
        journalSize_ = static_cast<uint64_t>(p - journal.data());
        changed_ = true;
    }
}

bool CregStore::Apply(const char* payload, size_t size) {
    const char* p = payload;
    const char* end = payload + size;
    if (p == end) return false;
    char op = *p++;
    std::string path;
    if (!GetText(p, end, &path)) return false;
    std::string full = "HKEY_LOCAL_MACHINE" + (path.empty() ? "" : "\\" + path);
    if (op == 'K') return p == end && Resolve(full, true) != CregHive::kNone;
    if (op != 'V') return false;
    std::string name;
    std::string data;
    if (!GetText(p, end, &name) || end - p < 4) return false;
    uint32_t type = HostGetLe32(p);
    p += 4;
    if (!GetText(p, end, &data) || p != end) return false;
    uint32_t key = Resolve(full, true);
    return key != CregHive::kNone && hive_.SetValue(key, name, type, data);
}

uint32_t CregStore::Find(const std::string& keyPath) const {
    std::vector<std::string> parts;
    if (!HiveComponents(keyPath, &parts)) return CregHive::kNone;
    uint32_t key = 0;
    for (const std::string& part : parts) {
        key = hive_.FindChild(key, part);
        if (key == CregHive::kNone) break;
    }
    return key;
}

uint32_t CregStore::Resolve(const std::string& keyPath, bool create) {
    std::vector<std::string> parts;
    if (!HiveComponents(keyPath, &parts)) return CregHive::kNone;
    uint32_t key = 0;
    bool made = false;
    for (const std::string& part : parts) {
        uint32_t child = hive_.FindChild(key, part);
        if (child == CregHive::kNone && create) {
            child = hive_.MakeChild(key, part);
            made = child != CregHive::kNone;
        }
        if (child == CregHive::kNone) return CregHive::kNone;
        key = child;
    }
    if (made) {
        changed_ = true;
        std::string payload(1, 'K');
        PutText(&payload, Join(parts));
        Put32(&pending_, static_cast<uint32_t>(payload.size()));
        Put32(&pending_, static_cast<uint32_t>(Fingerprint(payload.data(), payload.size())));
        pending_ += payload;
    }
    return key;
}

bool CregStore::KeyExists(const std::string& keyPath) const { return Find(keyPath) != CregHive::kNone; }

bool CregStore::CreateKey(const std::string& keyPath) { return Resolve(keyPath, true) != CregHive::kNone; }

bool CregStore::SetValue(const std::string& keyPath, const std::string& name, uint32_t type, const std::string& data) {
    std::string stored = data;
    if (type == 1 && !stored.empty() && stored.back() == '\0') stored.pop_back();
    if (name.size() > CregHive::kMaxField || stored.size() > CregHive::kMaxField) return false;
    uint32_t key = Resolve(keyPath, true);
    if (key == CregHive::kNone || !hive_.SetValue(key, name, type, stored)) return false;
    changed_ = true;
    std::vector<std::string> parts;
    HiveComponents(keyPath, &parts);
    std::string payload(1, 'V');
    PutText(&payload, Join(parts));
    PutText(&payload, name);
    Put32(&payload, type);
    PutText(&payload, stored);
    Put32(&pending_, static_cast<uint32_t>(payload.size()));
    Put32(&pending_, static_cast<uint32_t>(Fingerprint(payload.data(), payload.size())));
    pending_ += payload;
    return true;
}

bool CregStore::GetValue(const std::string& keyPath, const std::string& name, uint32_t* type,
                         std::string* data) const {
    uint32_t key = Find(keyPath);
    if (key == CregHive::kNone) return false;
    for (size_t i = 0; i < hive_.ValueCount(key); ++i) {
        std::string valueName;
        hive_.GetValue(key, i, &valueName, nullptr, nullptr);
        if (HostEqualNoCase(valueName, name)) {
            hive_.GetValue(key, i, nullptr, type, data);
            return true;
        }
    }
    return false;
}

bool CregStore::AppendToJournal(const std::string& entries) {
    if (journalFd_ < 0) {
        // A new file, made where nothing stands: never one a link leads to.
        std::string journal = Beside(kJournalName);
        journalFd_ = HostCreateAfresh(journal, O_WRONLY);
        if (journalFd_ < 0) return false;
        std::string header(kJournalMagic, 8);
        Put64(&header, baseSize_);
        Put64(&header, baseHash_);
        if (!HostWriteAll(journalFd_, header.data(), header.size()) || !HostFsync(journalFd_)) {
            close(journalFd_);
            journalFd_ = -1;
            HostRemoveName(journal);
            return false;
        }
        HostSyncDirectoryOf(path_);
        journalSize_ = header.size();
        journalExists_ = true;
    }
    if (lseek(journalFd_, static_cast<off_t>(journalSize_), SEEK_SET) < 0) return false;
    if (!HostWriteAll(journalFd_, entries.data(), entries.size()) || fdatasync(journalFd_) != 0) {
        // Nothing half-written may stay in front of later entries.
        if (ftruncate(journalFd_, static_cast<off_t>(journalSize_)) != 0) {
            close(journalFd_);
            journalFd_ = -1;
        }
        return false;
    }
    journalSize_ += entries.size();
    return true;
}

bool CregStore::Flush() {
    if (pending_.empty()) return true;
    if (!AppendToJournal(pending_)) return false;
    pending_.clear();
    return true;
}

bool CregStore::WriteReplacement(const std::string& target, const char* data, size_t size, bool keepAttributes) {
    std::string temp = Beside(kTempName);
    int fd = HostCreateAfresh(temp, O_WRONLY);
    if (fd < 0) return false;
    auto prepare = [&](int file) {
        // The backup holds the same registry as the file: both get its
        // owner, group and mode, also from a privileged run. A FAT mount may
        // refuse; its attributes follow.
        if (hasOwner_) HostTakeOwnership(file, owner_);
        if (keepAttributes && hasFatAttributes_ && ioctl(file, FAT_IOCTL_SET_ATTRIBUTES, &fatAttributes_) != 0) {
            // Changing the system attribute takes a capability; the rest
            // still goes over.
            uint32_t current = 0;
            if (ioctl(file, FAT_IOCTL_GET_ATTRIBUTES, &current) == 0) {
                uint32_t attributes = (fatAttributes_ & ~ATTR_SYS) | (current & ATTR_SYS);
                ioctl(file, FAT_IOCTL_SET_ATTRIBUTES, &attributes);
            }
        }
        return true;
    };
    if (!HostWriteInPlaceOf(fd, temp, target, data, size, prepare)) return false;
    HostSyncDirectoryOf(target);
    return true;
}

bool CregStore::Commit() {
    if (!changed_ && !journalExists_) return true;
    // The file as it was before the run first, then the new one.
    if (!WriteReplacement(Beside(kBackupName), hive_.LoadedData(), hive_.LoadedSize(), false)) return false;
    std::string bytes = hive_.Serialize();
    if (!WriteReplacement(path_, bytes.data(), bytes.size(), true)) return false;
    if (journalFd_ >= 0) close(journalFd_);
    journalFd_ = -1;
    HostRemoveName(Beside(kJournalName));
    HostSyncDirectoryOf(path_);
    journalExists_ = false;
    changed_ = false;
    pending_.clear();
    baseSize_ = bytes.size();
    baseHash_ = Fingerprint(bytes.data(), bytes.size());
    return true;
}
