// The CREG registry file: loading with full checks, lookups and edits (see
// creg_file.h and docs/creg.md); creg_layout.cpp lays the tree out afresh.
#include "platform/host/creg_file.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "platform/host/byte_order.h"
#include "platform/host/creg_format.h"
#include "platform/host/host_ansi.h"

using namespace creg;

namespace {

std::string Hex(uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
    return text;
}

}  // namespace

uint32_t CregHive::NameHash(const char* name, size_t size) {
    uint32_t hash = 0;
    for (size_t i = 0; i < size; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c >= 0x80) continue;
        if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 'a' + 'A');
        hash += c;
    }
    return hash;
}

bool CregHive::Fail(std::string* error, const std::string& what) {
    if (error) *error = what;
    keys_.clear();
    values_.clear();
    pool_.clear();
    added_.clear();
    loadedSize_ = 0;
    return false;
}

struct CregHive::RecordIndex {
    uint32_t blockCount = 0;
    // By block, record number to position; numbers beyond what a block of
    // that size could hold in 4-byte steps go to a map, so that a hostile
    // file cannot make the table large.
    std::vector<std::vector<uint32_t>> records;
    std::unordered_map<uint32_t, uint32_t> sparse;

    // Where the record is; 0 when there is none.
    uint32_t Find(uint32_t block, uint32_t id) const {
        if (block >= blockCount) return 0;
        if (id < records[block].size()) return records[block][id];
        auto found = sparse.find((block << 16) | id);
        return found == sparse.end() ? 0 : found->second;
    }
};

bool CregHive::Load(std::string bytes, std::string* error) {
    keys_.clear();
    values_.clear();
    added_.clear();
    pool_ = std::move(bytes);
    loadedSize_ = pool_.size();
    const char* d = pool_.data();
    const uint64_t n = pool_.size();

    if (n < 4 || std::memcmp(d, "CREG", 4) != 0) return Fail(error, "does not start with the CREG signature");
    if (n < 2 * kHeaderSize) return Fail(error, "is cut short within its header");
    if (n > 0x7FFFFFFFu) return Fail(error, "is larger than a registry file can be");
    std::memcpy(header_, d, kHeaderSize);
    if (std::memcmp(d + kHeaderSize, "RGKN", 4) != 0)
        return Fail(error, "has no key navigation block (RGKN) at offset 0x20");
    const uint32_t rgknSize = HostGetLe32(d + kHeaderSize + 4);
    if (rgknSize < kHeaderSize || rgknSize > n - kHeaderSize)
        return Fail(error, "is cut short: its key navigation block ends past the end of the file");
    std::memcpy(rgknHeader_, d + kHeaderSize, kHeaderSize);

    RecordIndex index;
    std::string why;
    if (!IndexRecords(rgknSize, &index, &why) || !ReadTree(rgknSize, index, &why)) return Fail(error, why);
    return true;
}

// The data blocks, one after the other; each record is found by its number
// within its block.
bool CregHive::IndexRecords(uint32_t rgknSize, RecordIndex* index, std::string* why) {
    const char* d = pool_.data();
    const uint64_t n = pool_.size();
    const uint64_t blocksAt = HostGetLe32(d + 8);
    index->blockCount = HostGetLe16(d + 16);
    if (blocksAt < kHeaderSize + static_cast<uint64_t>(rgknSize) || blocksAt > n) {
        *why = "gives its data blocks an offset out of bounds (" + Hex(blocksAt) + ")";
        return false;
    }
    index->records.resize(index->blockCount);
    uint64_t at = blocksAt;
    for (uint32_t b = 0; b < index->blockCount; ++b) {
        if (n - at < kHeaderSize) {
            *why = "is cut short: data block " + std::to_string(b) + " is missing";
            return false;
        }
        if (std::memcmp(d + at, "RGDB", 4) != 0) {
            *why = "has no data block signature (RGDB) at " + Hex(at);
            return false;
        }
        const uint64_t size = HostGetLe32(d + at + 4);
        if (size < kHeaderSize || size > n - at) {
            *why = "is cut short: data block " + std::to_string(b) + " ends past the end of the file";
            return false;
        }
        if (b == 0) std::memcpy(rgdbHeader_, d + at, kHeaderSize);
        const uint64_t end = at + size;
        for (uint64_t pos = at + kHeaderSize; pos < end;) {
            const uint64_t recordSize = end - pos < kRecordHeader ? 0 : HostGetLe32(d + pos);
            if (recordSize < kRecordHeader || recordSize > end - pos) {
                *why = "has a record out of bounds at " + Hex(pos);
                return false;
            }
            const uint32_t id = HostGetLe16(d + pos + 4);
            if (id != kNoRecord && id < size / 4) {
                std::vector<uint32_t>& ids = index->records[b];
                if (ids.size() <= id) ids.resize(id + 1, 0);
                if (ids[id] == 0) ids[id] = static_cast<uint32_t>(pos);  // the first one counts
            } else if (id != kNoRecord) {
                index->sparse.emplace((b << 16) | id, static_cast<uint32_t>(pos));
            }
            pos += recordSize;
        }
        at = end;
    }
    if (at != n) {
        *why = "has " + std::to_string(n - at) + " bytes after its last data block";
        return false;
    }
    return true;
}

// The key tree, depth first, each sibling list in its order.
bool CregHive::ReadTree(uint32_t rgknSize, const RecordIndex& index, std::string* why) {
    const char* rgkn = pool_.data() + kHeaderSize;
    std::vector<bool> seen(rgknSize, false);
    const uint32_t rootEntry = HostGetLe32(rgkn + 8);
    if (ReadKey(rgknSize, rootEntry, kNone, index, &seen, why) == kNone) return false;
    // Each frame: the next entry of a sibling list, and the key it belongs to.
    std::vector<std::pair<uint32_t, uint32_t>> stack{{HostGetLe32(rgkn + rootEntry + 16), 0}};
    while (!stack.empty()) {
        const uint32_t entry = stack.back().first;
        const uint32_t parent = stack.back().second;
        if (entry == kNone) {
            stack.pop_back();
            continue;
        }
        const uint32_t key = ReadKey(rgknSize, entry, parent, index, &seen, why);
        if (key == kNone) return false;
        Link(parent, key);
        stack.back().first = HostGetLe32(rgkn + entry + 20);
        stack.emplace_back(HostGetLe32(rgkn + entry + 16), key);
    }
    return true;
}

// One key's navigation entry and its record; the key's number, or kNone
// with the reason in *why.
uint32_t CregHive::ReadKey(uint32_t rgknSize, uint32_t entry, uint32_t parent, const RecordIndex& index,
                           std::vector<bool>* seen, std::string* why) {
    if (entry < kHeaderSize || entry > rgknSize - kEntrySize) {
        *why = "has a key entry out of bounds (" + Hex(entry) + ")";
        return kNone;
    }
    if ((*seen)[entry]) {
        *why = "has a loop in its key tree (at entry " + Hex(entry) + ")";
        return kNone;
    }
    (*seen)[entry] = true;
    const char* e = pool_.data() + kHeaderSize + entry;
    Key key;
    key.parent = parent;
    key.entryWord = HostGetLe32(e);
    const uint32_t id = HostGetLe16(e + 24);
    const uint32_t block = HostGetLe16(e + 26);
    if (id == kNoRecord || block == kNoRecord) {
        if (parent != kNone) {
            *why = "has a key without a data record (entry " + Hex(entry) + ")";
            return kNone;
        }
        key.hasRecord = false;
    } else {
        const uint32_t pos = index.Find(block, id);
        if (pos == 0) {
            *why = "is missing the data record of the key at entry " + Hex(entry);
            return kNone;
        }
        if (!ReadRecord(pos, &key, why)) return kNone;
    }
    key.hash = NameHash(Bytes(key.name), key.name.size);
    keys_.push_back(key);
    return static_cast<uint32_t>(keys_.size() - 1);
}

// A key record at pos: its name and values.
bool CregHive::ReadRecord(uint32_t pos, Key* key, std::string* why) {
    const char* d = pool_.data();
    const uint32_t recordSize = HostGetLe32(d + pos);
    const uint32_t used = HostGetLe32(d + pos + 8);
    const uint32_t nameSize = HostGetLe16(d + pos + 12);
    const uint32_t valueCount = HostGetLe16(d + pos + 14);
    key->reserved = HostGetLe32(d + pos + 16);
    if (used > recordSize || used < kRecordHeader + nameSize) {
        *why = "has a key record whose sizes do not fit at " + Hex(pos);
        return false;
    }
    key->name.offset = pos + kRecordHeader;
    key->name.size = nameSize;
    key->firstValue = static_cast<uint32_t>(values_.size());
    key->valueCount = valueCount;
    uint32_t v = pos + kRecordHeader + nameSize;
    const uint32_t limit = pos + used;
    for (uint32_t i = 0; i < valueCount; ++i) {
        Value value;
        bool fits = limit - v >= kValueHeader;
        if (fits) {
            value.type = HostGetLe32(d + v);
            value.reserved = HostGetLe32(d + v + 4);
            value.name.size = HostGetLe16(d + v + 8);
            value.data.size = HostGetLe16(d + v + 10);
            fits = limit - v - kValueHeader >= value.name.size + value.data.size;
        }
        if (!fits) {
            *why = "has a value out of bounds in the key record at " + Hex(pos);
            return false;
        }
        value.name.offset = v + kValueHeader;
        value.data.offset = value.name.offset + value.name.size;
        values_.push_back(value);
        v = value.data.offset + value.data.size;
    }
    return true;
}

void CregHive::Link(uint32_t parent, uint32_t child) {
    Key& p = keys_[parent];
    if (p.lastChild == kNone)
        p.firstChild = child;
    else
        keys_[p.lastChild].nextSibling = child;
    p.lastChild = child;
}

CregHive::Span CregHive::Store(const std::string& text) {
    Span span;
    span.offset = static_cast<uint32_t>(loadedSize_ + added_.size());
    span.size = static_cast<uint32_t>(text.size());
    added_ += text;
    return span;
}

bool CregHive::SameName(Span span, const std::string& name) const {
    if (span.size != name.size()) return false;
    const char* a = Bytes(span);
    for (size_t i = 0; i < name.size(); ++i) {
        if (a[i] != name[i] &&
            HostLowerByte(static_cast<unsigned char>(a[i])) != HostLowerByte(static_cast<unsigned char>(name[i])))
            return false;
    }
    return true;
}

uint32_t CregHive::FindChild(uint32_t parent, const std::string& name) const {
    const uint32_t hash = NameHash(name.data(), name.size());
    for (uint32_t k = keys_[parent].firstChild; k != kNone; k = keys_[k].nextSibling) {
        if (keys_[k].hash == hash && SameName(keys_[k].name, name)) return k;
    }
    return kNone;
}

uint32_t CregHive::MakeChild(uint32_t parent, const std::string& name) {
    uint32_t found = FindChild(parent, name);
    if (found != kNone || name.empty() || name.size() > kMaxField) return found;
    Key key;
    key.name = Store(name);
    key.hash = NameHash(name.data(), name.size());
    key.parent = parent;
    keys_.push_back(key);
    const uint32_t index = static_cast<uint32_t>(keys_.size() - 1);
    Link(parent, index);
    return index;
}

void CregHive::GetValue(uint32_t key, size_t index, std::string* name, uint32_t* type, std::string* data) const {
    const Value& value = values_[keys_[key].firstValue + index];
    if (name) *name = Text(value.name);
    if (type) *type = value.type;
    if (data) *data = Text(value.data);
}

bool CregHive::SetValue(uint32_t key, const std::string& name, uint32_t type, const std::string& data) {
    if (name.size() > kMaxField || data.size() > kMaxField) return false;
    Key& k = keys_[key];
    for (uint32_t i = 0; i < k.valueCount; ++i) {
        Value& value = values_[k.firstValue + i];
        if (SameName(value.name, name)) {
            value.type = type;
            value.data = Store(data);
            return true;
        }
    }
    // A new value: the key's values move to the end of the list unless they
    // are there already, so that they stay together.
    if (k.firstValue + k.valueCount != values_.size()) {
        const uint32_t first = static_cast<uint32_t>(values_.size());
        for (uint32_t i = 0; i < k.valueCount; ++i) values_.push_back(values_[k.firstValue + i]);
        k.firstValue = first;
    }
    Value value;
    value.type = type;
    value.reserved = 0xFFFFFFFFu;  // as Windows leaves it in the values it writes
    value.name = Store(name);
    value.data = Store(data);
    values_.push_back(value);
    ++k.valueCount;
    k.hasRecord = true;
    return true;
}
