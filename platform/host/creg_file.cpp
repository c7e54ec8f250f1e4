// The CREG registry file: loading with full checks, lookups, and laying the
// tree out afresh (see creg_file.h and docs/creg.md).
#include "platform/host/creg_file.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "platform/host/byte_order.h"
#include "platform/host/host_ansi.h"

namespace {

const uint32_t kHeaderSize = 32;
const uint32_t kEntrySize = 28;        // one key navigation entry
const uint32_t kRecordHeader = 20;     // a key record before its name
const uint32_t kValueHeader = 12;      // a value entry before its name
const uint32_t kNoRecord = 0xFFFF;     // an entry without a data record
const uint32_t kBlockUnit = 0x1000;    // data blocks are whole 4 KiB pages
const uint32_t kBlockTarget = 0x4000;  // a block takes records up to this size
const uint32_t kMaxRecords = 255;      // record numbers in a block run from 0 to 254

std::string Hex(uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
    return text;
}

uint32_t RoundUp(uint32_t size, uint32_t unit) { return (size + unit - 1) / unit * unit; }

// Sets the checksum field at `field` so that the 32-bit words of the area,
// the field included, add up to zero (the area is a whole number of words).
void PutChecksum(char* area, uint32_t size, uint32_t field) {
    HostPutLe32(area + field, 0);
    uint32_t sum = 0;
    for (uint32_t i = 0; i < size; i += 4) sum += HostGetLe32(area + i);
    HostPutLe32(area + field, 0u - sum);
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
    loaded_size_ = 0;
    return false;
}

bool CregHive::Load(std::string bytes, std::string* error) {
    keys_.clear();
    values_.clear();
    pool_ = std::move(bytes);
    loaded_size_ = pool_.size();
    const char* d = pool_.data();
    const uint64_t n = pool_.size();

    if (n < 4 || std::memcmp(d, "CREG", 4) != 0) return Fail(error, "does not start with the CREG signature");
    if (n < 2 * kHeaderSize) return Fail(error, "is cut short within its header");
    if (n > 0x7FFFFFFFu) return Fail(error, "is larger than a registry file can be");
    std::memcpy(header_, d, kHeaderSize);
    if (std::memcmp(d + kHeaderSize, "RGKN", 4) != 0)
        return Fail(error, "has no key navigation block (RGKN) at offset 0x20");
    const uint32_t rgkn_size = HostGetLe32(d + kHeaderSize + 4);
    if (rgkn_size < kHeaderSize || rgkn_size > n - kHeaderSize)
        return Fail(error, "is cut short: its key navigation block ends past the end of the file");
    std::memcpy(rgkn_header_, d + kHeaderSize, kHeaderSize);
    const char* rgkn = d + kHeaderSize;

    // The data blocks, one after the other; each record is found by its
    // number within its block.
    const uint64_t blocks_at = HostGetLe32(d + 8);
    const uint32_t block_count = HostGetLe16(d + 16);
    if (blocks_at < kHeaderSize + static_cast<uint64_t>(rgkn_size) || blocks_at > n)
        return Fail(error, "gives its data blocks an offset out of bounds (" + Hex(blocks_at) + ")");
    // By block, record number to position; numbers beyond what a block of
    // that size could hold in 4-byte steps go to a map, so that a hostile
    // file cannot make the table large.
    std::vector<std::vector<uint32_t>> records(block_count);
    std::unordered_map<uint32_t, uint32_t> sparse_records;
    uint64_t at = blocks_at;
    for (uint32_t b = 0; b < block_count; ++b) {
        if (n - at < kHeaderSize) return Fail(error, "is cut short: data block " + std::to_string(b) + " is missing");
        if (std::memcmp(d + at, "RGDB", 4) != 0) return Fail(error, "has no data block signature (RGDB) at " + Hex(at));
        const uint64_t size = HostGetLe32(d + at + 4);
        if (size < kHeaderSize || size > n - at)
            return Fail(error, "is cut short: data block " + std::to_string(b) + " ends past the end of the file");
        if (b == 0) std::memcpy(rgdb_header_, d + at, kHeaderSize);
        const uint64_t end = at + size;
        for (uint64_t pos = at + kHeaderSize; pos < end;) {
            const uint64_t record_size = end - pos < kRecordHeader ? 0 : HostGetLe32(d + pos);
            if (record_size < kRecordHeader || record_size > end - pos)
                return Fail(error, "has a record out of bounds at " + Hex(pos));
            const uint32_t id = HostGetLe16(d + pos + 4);
            if (id != kNoRecord && id < size / 4) {
                std::vector<uint32_t>& ids = records[b];
                if (ids.size() <= id) ids.resize(id + 1, 0);
                if (ids[id] == 0) ids[id] = static_cast<uint32_t>(pos);  // the first one counts
            } else if (id != kNoRecord) {
                sparse_records.emplace((b << 16) | id, static_cast<uint32_t>(pos));
            }
            pos += record_size;
        }
        at = end;
    }
    if (at != n) return Fail(error, "has " + std::to_string(n - at) + " bytes after its last data block");

    // The key tree, depth first, each sibling list in its order.
    std::vector<bool> seen(rgkn_size, false);
    auto read_key = [&](uint32_t entry, uint32_t parent, std::string* why) -> uint32_t {
        if (entry < kHeaderSize || entry > rgkn_size - kEntrySize) {
            *why = "has a key entry out of bounds (" + Hex(entry) + ")";
            return kNone;
        }
        if (seen[entry]) {
            *why = "has a loop in its key tree (at entry " + Hex(entry) + ")";
            return kNone;
        }
        seen[entry] = true;
        const char* e = rgkn + entry;
        Key key;
        key.parent = parent;
        key.entry_word = HostGetLe32(e);
        const uint32_t id = HostGetLe16(e + 24);
        const uint32_t block = HostGetLe16(e + 26);
        if (id == kNoRecord || block == kNoRecord) {
            if (parent != kNone) {
                *why = "has a key without a data record (entry " + Hex(entry) + ")";
                return kNone;
            }
            key.has_record = false;
        } else {
            uint32_t pos = 0;
            if (block < block_count && id < records[block].size()) {
                pos = records[block][id];
            } else if (block < block_count) {
                auto found = sparse_records.find((block << 16) | id);
                if (found != sparse_records.end()) pos = found->second;
            }
            if (pos == 0) {
                *why = "is missing the data record of the key at entry " + Hex(entry);
                return kNone;
            }
            const uint32_t record_size = HostGetLe32(d + pos);
            const uint32_t used = HostGetLe32(d + pos + 8);
            const uint32_t name_size = HostGetLe16(d + pos + 12);
            const uint32_t value_count = HostGetLe16(d + pos + 14);
            key.reserved = HostGetLe32(d + pos + 16);
            if (used > record_size || used < kRecordHeader + name_size) {
                *why = "has a key record whose sizes do not fit at " + Hex(pos);
                return kNone;
            }
            key.name.offset = pos + kRecordHeader;
            key.name.size = name_size;
            key.first_value = static_cast<uint32_t>(values_.size());
            key.value_count = value_count;
            uint32_t v = pos + kRecordHeader + name_size;
            const uint32_t limit = pos + used;
            for (uint32_t i = 0; i < value_count; ++i) {
                if (limit - v < kValueHeader) {
                    *why = "has a value out of bounds in the key record at " + Hex(pos);
                    return kNone;
                }
                Value value;
                value.type = HostGetLe32(d + v);
                value.reserved = HostGetLe32(d + v + 4);
                value.name.size = HostGetLe16(d + v + 8);
                value.data.size = HostGetLe16(d + v + 10);
                if (limit - v - kValueHeader < value.name.size + value.data.size) {
                    *why = "has a value out of bounds in the key record at " + Hex(pos);
                    return kNone;
                }
                value.name.offset = v + kValueHeader;
                value.data.offset = value.name.offset + value.name.size;
                values_.push_back(value);
                v = value.data.offset + value.data.size;
            }
        }
        key.hash = NameHash(pool_.data() + key.name.offset, key.name.size);
        keys_.push_back(key);
        return static_cast<uint32_t>(keys_.size() - 1);
    };

    std::string why;
    keys_.reserve(rgkn_size / kEntrySize + 1);
    const uint32_t root_entry = HostGetLe32(rgkn + 8);
    if (read_key(root_entry, kNone, &why) == kNone) return Fail(error, why);
    // Each frame: the next entry of a sibling list, and the key it belongs to.
    std::vector<std::pair<uint32_t, uint32_t>> stack{{HostGetLe32(rgkn + root_entry + 16), 0}};
    while (!stack.empty()) {
        const uint32_t entry = stack.back().first;
        const uint32_t parent = stack.back().second;
        if (entry == kNone) {
            stack.pop_back();
            continue;
        }
        const uint32_t key = read_key(entry, parent, &why);
        if (key == kNone) return Fail(error, why);
        Link(parent, key);
        stack.back().first = HostGetLe32(rgkn + entry + 20);
        stack.emplace_back(HostGetLe32(rgkn + entry + 16), key);
    }
    return true;
}

void CregHive::Link(uint32_t parent, uint32_t child) {
    Key& p = keys_[parent];
    if (p.last_child == kNone)
        p.first_child = child;
    else
        keys_[p.last_child].next_sibling = child;
    p.last_child = child;
}

CregHive::Span CregHive::Store(const std::string& text) {
    Span span;
    span.offset = static_cast<uint32_t>(pool_.size());
    span.size = static_cast<uint32_t>(text.size());
    pool_ += text;
    return span;
}

bool CregHive::SameName(Span span, const std::string& name) const {
    if (span.size != name.size()) return false;
    const char* a = pool_.data() + span.offset;
    for (size_t i = 0; i < name.size(); ++i) {
        if (a[i] != name[i] &&
            HostLowerByte(static_cast<unsigned char>(a[i])) != HostLowerByte(static_cast<unsigned char>(name[i])))
            return false;
    }
    return true;
}

uint32_t CregHive::FindChild(uint32_t parent, const std::string& name) const {
    const uint32_t hash = NameHash(name.data(), name.size());
    for (uint32_t k = keys_[parent].first_child; k != kNone; k = keys_[k].next_sibling) {
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
    const Value& value = values_[keys_[key].first_value + index];
    if (name) *name = Text(value.name);
    if (type) *type = value.type;
    if (data) *data = Text(value.data);
}

bool CregHive::SetValue(uint32_t key, const std::string& name, uint32_t type, const std::string& data) {
    if (name.size() > kMaxField || data.size() > kMaxField) return false;
    Key& k = keys_[key];
    for (uint32_t i = 0; i < k.value_count; ++i) {
        Value& value = values_[k.first_value + i];
        if (SameName(value.name, name)) {
            value.type = type;
            value.data = Store(data);
            return true;
        }
    }
    // A new value: the key's values move to the end of the list unless they
    // are there already, so that they stay together.
    if (k.first_value + k.value_count != values_.size()) {
        const uint32_t first = static_cast<uint32_t>(values_.size());
        for (uint32_t i = 0; i < k.value_count; ++i) values_.push_back(values_[k.first_value + i]);
        k.first_value = first;
    }
    Value value;
    value.type = type;
    value.reserved = 0xFFFFFFFFu;  // as Windows leaves it in the values it writes
    value.name = Store(name);
    value.data = Store(data);
    values_.push_back(value);
    ++k.value_count;
    k.has_record = true;
    return true;
}

std::string CregHive::Serialize() const {
    // Tree order: every key before its children, siblings in their order.
    std::vector<uint32_t> order;
    order.reserve(keys_.size());
    std::vector<uint32_t> entry_of(keys_.size(), kNone);
    std::vector<uint32_t> stack{0};
    while (!stack.empty()) {
        uint32_t k = stack.back();
        stack.pop_back();
        entry_of[k] = kHeaderSize + kEntrySize * static_cast<uint32_t>(order.size());
        order.push_back(k);
        // Push the children in reverse so the first one comes out first.
        size_t mark = stack.size();
        for (uint32_t c = keys_[k].first_child; c != kNone; c = keys_[c].next_sibling) stack.push_back(c);
        std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(mark), stack.end());
    }
    // libcreg reads no entry in the last 32 bytes of the block: the block
    // ends in at least that much unused space, and in whole 4 KiB pages.
    const uint32_t entries_end = kHeaderSize + kEntrySize * static_cast<uint32_t>(order.size());
    const uint32_t rgkn_size = RoundUp(entries_end + kHeaderSize, kBlockUnit);

    auto record_size = [&](uint32_t k) {
        const Key& key = keys_[k];
        uint32_t size = kRecordHeader + key.name.size;
        for (uint32_t i = 0; i < key.value_count; ++i) {
            const Value& v = values_[key.first_value + i];
            size += kValueHeader + v.name.size + v.data.size;
        }
        return size;
    };

    // Place the records: blocks fill up to the target size or the largest
    // number of records, and a record larger than that gets a block of its own.
    struct Placed {
        uint32_t block;
        uint32_t id;
    };
    std::vector<Placed> placed(keys_.size(), Placed{kNoRecord, kNoRecord});
    std::vector<uint32_t> block_fill;     // bytes used in each block, header included
    std::vector<uint32_t> block_records;  // records in each block
    for (uint32_t k : order) {
        if (!keys_[k].has_record) continue;
        const uint32_t size = record_size(k);
        if (block_fill.empty() || block_records.back() == kMaxRecords ||
            (block_fill.back() > kHeaderSize && block_fill.back() + size > kBlockTarget)) {
            block_fill.push_back(kHeaderSize);
            block_records.push_back(0);
        }
        placed[k] = Placed{static_cast<uint32_t>(block_fill.size() - 1), block_records.back()++};
        block_fill.back() += size;
    }
    uint64_t total = kHeaderSize + static_cast<uint64_t>(rgkn_size);
    for (uint32_t fill : block_fill) total += RoundUp(fill, kBlockUnit);

    std::string out(total, '\0');
    char* o = &out[0];
    std::memcpy(o, header_, kHeaderSize);
    std::memcpy(o, "CREG", 4);
    HostPutLe32(o + 8, kHeaderSize + rgkn_size);
    HostPutLe16(o + 16, static_cast<uint32_t>(block_fill.size()));

    char* g = o + kHeaderSize;
    std::memcpy(g, rgkn_header_, kHeaderSize);
    std::memcpy(g, "RGKN", 4);
    HostPutLe32(g + 4, rgkn_size);
    HostPutLe32(g + 8, kHeaderSize);
    HostPutLe32(g + 12, entries_end);

    // The data blocks, each record numbered in its block in tree order.
    uint64_t block_at = kHeaderSize + static_cast<uint64_t>(rgkn_size);
    uint64_t pos = block_at + kHeaderSize;
    uint32_t current = kNone;
    uint64_t last_record = 0;
    auto close_block = [&]() {
        if (current == kNone) return;
        const uint32_t size = RoundUp(block_fill[current], kBlockUnit);
        const uint32_t tail = size - block_fill[current];
        uint32_t used = block_fill[current];
        if (tail >= kRecordHeader) {
            char* r = o + pos;  // a free record over the rest of the block
            HostPutLe32(r, tail);
            HostPutLe32(r + 4, 0xFFFFFFFFu);
        } else if (tail > 0) {
            HostPutLe32(o + last_record, HostGetLe32(o + last_record) + tail);  // the last record takes the slack
            used = size;
        }
        // The header: the unknown fields as the first block had them; where
        // the free space starts (none: -1), the highest record number, the
        // first free one and the checksum as they are in this block.
        char* h = o + block_at;
        std::memcpy(h, rgdb_header_, kHeaderSize);
        std::memcpy(h, "RGDB", 4);
        HostPutLe32(h + 4, size);
        HostPutLe32(h + 8, size - used);
        HostPutLe16(h + 14, current);
        HostPutLe32(h + 16, used == size ? kNone : used);
        HostPutLe16(h + 20, block_records[current] - 1);
        HostPutLe16(h + 22, block_records[current]);
        PutChecksum(h, size, 28);
        block_at += size;
        pos = block_at + kHeaderSize;
    };
    for (uint32_t k : order) {
        if (placed[k].block == kNoRecord) continue;
        if (placed[k].block != current) {
            close_block();
            current = placed[k].block;
        }
        const Key& key = keys_[k];
        const uint32_t size = record_size(k);
        char* r = o + pos;
        HostPutLe32(r, size);
        HostPutLe16(r + 4, placed[k].id);
        HostPutLe16(r + 6, current);
        HostPutLe32(r + 8, size);
        HostPutLe16(r + 12, key.name.size);
        HostPutLe16(r + 14, key.value_count);
        HostPutLe32(r + 16, key.reserved);
        std::memcpy(r + kRecordHeader, pool_.data() + key.name.offset, key.name.size);
        char* v = r + kRecordHeader + key.name.size;
        for (uint32_t i = 0; i < key.value_count; ++i) {
            const Value& value = values_[key.first_value + i];
            HostPutLe32(v, value.type);
            HostPutLe32(v + 4, value.reserved);
            HostPutLe16(v + 8, value.name.size);
            HostPutLe16(v + 10, value.data.size);
            std::memcpy(v + kValueHeader, pool_.data() + value.name.offset, value.name.size);
            std::memcpy(v + kValueHeader + value.name.size, pool_.data() + value.data.offset, value.data.size);
            v += kValueHeader + value.name.size + value.data.size;
        }
        last_record = pos;
        pos += size;
    }
    close_block();

    // The navigation entries.
    for (uint32_t k : order) {
        const Key& key = keys_[k];
        char* e = g + entry_of[k];
        HostPutLe32(e, key.entry_word);
        HostPutLe32(e + 4, key.hash);
        HostPutLe32(e + 8, kNone);
        HostPutLe32(e + 12, key.parent == kNone ? kNone : entry_of[key.parent]);
        HostPutLe32(e + 16, key.first_child == kNone ? kNone : entry_of[key.first_child]);
        HostPutLe32(e + 20, key.next_sibling == kNone ? kNone : entry_of[key.next_sibling]);
        HostPutLe16(e + 24, placed[k].block == kNoRecord ? kNoRecord : placed[k].id);
        HostPutLe16(e + 26, placed[k].block);
    }
    // The file header's and the navigation block's checksums hold whether
    // or not their flags say so.
    PutChecksum(g, rgkn_size, 20);
    PutChecksum(o, kHeaderSize, 12);
    return out;
}
