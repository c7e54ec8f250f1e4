// Laying a CREG hive out afresh as a file (see creg_file.h and
// docs/creg.md): the navigation entries in tree order, the records packed
// into data blocks, every size, record number and checksum computed.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/host/byte_order.h"
#include "platform/host/creg_file.h"
#include "platform/host/creg_format.h"

using namespace creg;

namespace {

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

struct CregHive::Layout {
    std::vector<uint32_t> order;     // keys in tree order
    std::vector<uint32_t> entryOf;  // by key, its navigation entry's offset in the block
    uint32_t entriesEnd = 0;
    uint32_t rgknSize = 0;
    struct Placed {
        uint32_t block;
        uint32_t id;
    };
    std::vector<Placed> placed;           // by key, its record's block and number
    std::vector<uint32_t> blockFill;     // bytes used in each block, header included
    std::vector<uint32_t> blockRecords;  // records in each block
};

uint32_t CregHive::RecordSize(uint32_t k) const {
    const Key& key = keys_[k];
    uint32_t size = kRecordHeader + key.name.size;
    for (uint32_t i = 0; i < key.valueCount; ++i) {
        const Value& v = values_[key.firstValue + i];
        size += kValueHeader + v.name.size + v.data.size;
    }
    return size;
}

void CregHive::Plan(Layout* layout) const {
    // Tree order: every key before its children, siblings in their order.
    layout->order.reserve(keys_.size());
    layout->entryOf.assign(keys_.size(), kNone);
    std::vector<uint32_t> stack{0};
    while (!stack.empty()) {
        uint32_t k = stack.back();
        stack.pop_back();
        layout->entryOf[k] = kHeaderSize + kEntrySize * static_cast<uint32_t>(layout->order.size());
        layout->order.push_back(k);
        // Push the children in reverse so the first one comes out first.
        size_t mark = stack.size();
        for (uint32_t c = keys_[k].firstChild; c != kNone; c = keys_[c].nextSibling) stack.push_back(c);
        std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(mark), stack.end());
    }
    // libcreg reads no entry in the last 32 bytes of the block: the block
    // ends in at least that much unused space, and in whole 4 KiB pages.
    layout->entriesEnd = kHeaderSize + kEntrySize * static_cast<uint32_t>(layout->order.size());
    layout->rgknSize = RoundUp(layout->entriesEnd + kHeaderSize, kBlockUnit);

    // Place the records: blocks fill up to the target size or the largest
    // number of records, and a record larger than that gets a block of its own.
    layout->placed.assign(keys_.size(), Layout::Placed{kNoRecord, kNoRecord});
    std::vector<uint32_t>& fill = layout->blockFill;
    std::vector<uint32_t>& records = layout->blockRecords;
    for (uint32_t k : layout->order) {
        if (!keys_[k].hasRecord) continue;
        const uint32_t size = RecordSize(k);
        if (fill.empty() || records.back() == kMaxRecords ||
            (fill.back() > kHeaderSize && fill.back() + size > kBlockTarget)) {
            fill.push_back(kHeaderSize);
            records.push_back(0);
        }
        layout->placed[k] = Layout::Placed{static_cast<uint32_t>(fill.size() - 1), records.back()++};
        fill.back() += size;
    }
}

std::string CregHive::Serialize() const {
    Layout layout;
    Plan(&layout);
    uint64_t total = kHeaderSize + static_cast<uint64_t>(layout.rgknSize);
    for (uint32_t fill : layout.blockFill) total += RoundUp(fill, kBlockUnit);

    std::string out(total, '\0');
    char* o = &out[0];
    std::memcpy(o, header_, kHeaderSize);
    std::memcpy(o, "CREG", 4);
    HostPutLe32(o + 8, kHeaderSize + layout.rgknSize);
    HostPutLe16(o + 16, static_cast<uint32_t>(layout.blockFill.size()));

    char* g = o + kHeaderSize;
    std::memcpy(g, rgknHeader_, kHeaderSize);
    std::memcpy(g, "RGKN", 4);
    HostPutLe32(g + 4, layout.rgknSize);
    HostPutLe32(g + 8, kHeaderSize);
    HostPutLe32(g + 12, layout.entriesEnd);

    WriteBlocks(layout, o, kHeaderSize + static_cast<uint64_t>(layout.rgknSize));
    WriteEntries(layout, g);
    // The file header's and the navigation block's checksums hold whether
    // or not their flags say so.
    PutChecksum(g, layout.rgknSize, 20);
    PutChecksum(o, kHeaderSize, 12);
    return out;
}

// The data blocks from blockAt on, each record numbered in its block in
// tree order.
void CregHive::WriteBlocks(const Layout& layout, char* o, uint64_t blockAt) const {
    uint64_t pos = blockAt + kHeaderSize;
    uint32_t current = kNone;
    uint64_t lastRecord = 0;
    for (uint32_t k : layout.order) {
        const Layout::Placed placed = layout.placed[k];
        if (placed.block == kNoRecord) continue;
        if (placed.block != current) {
            if (current != kNone) {
                blockAt += CloseBlock(layout, current, o + blockAt, o + pos, o + lastRecord);
                pos = blockAt + kHeaderSize;
            }
            current = placed.block;
        }
        const Key& key = keys_[k];
        const uint32_t size = RecordSize(k);
        char* r = o + pos;
        HostPutLe32(r, size);
        HostPutLe16(r + 4, placed.id);
        HostPutLe16(r + 6, current);
        HostPutLe32(r + 8, size);
        HostPutLe16(r + 12, key.name.size);
        HostPutLe16(r + 14, key.valueCount);
        HostPutLe32(r + 16, key.reserved);
        std::memcpy(r + kRecordHeader, Bytes(key.name), key.name.size);
        char* v = r + kRecordHeader + key.name.size;
        for (uint32_t i = 0; i < key.valueCount; ++i) {
            const Value& value = values_[key.firstValue + i];
            HostPutLe32(v, value.type);
            HostPutLe32(v + 4, value.reserved);
            HostPutLe16(v + 8, value.name.size);
            HostPutLe16(v + 10, value.data.size);
            std::memcpy(v + kValueHeader, Bytes(value.name), value.name.size);
            std::memcpy(v + kValueHeader + value.name.size, Bytes(value.data), value.data.size);
            v += kValueHeader + value.name.size + value.data.size;
        }
        lastRecord = pos;
        pos += size;
    }
    if (current != kNone) CloseBlock(layout, current, o + blockAt, o + pos, o + lastRecord);
}

// Ends data block `block` (its header at h, its records up to tail): fills
// the rest of its pages and writes its header. Returns the block's size.
uint32_t CregHive::CloseBlock(const Layout& layout, uint32_t block, char* h, char* tailAt, char* lastRecord) const {
    const uint32_t size = RoundUp(layout.blockFill[block], kBlockUnit);
    const uint32_t tail = size - layout.blockFill[block];
    uint32_t used = layout.blockFill[block];
    if (tail >= kRecordHeader) {
        HostPutLe32(tailAt, tail);  // a free record over the rest of the block
        HostPutLe32(tailAt + 4, 0xFFFFFFFFu);
    } else if (tail > 0) {
        HostPutLe32(lastRecord, HostGetLe32(lastRecord) + tail);  // the last record takes the slack
        used = size;
    }
    // The header: the unknown fields as the first block had them; where the
    // free space starts (none: -1), the highest record number, the first
    // free one and the checksum as they are in this block.
    std::memcpy(h, rgdbHeader_, kHeaderSize);
    std::memcpy(h, "RGDB", 4);
    HostPutLe32(h + 4, size);
    HostPutLe32(h + 8, size - used);
    HostPutLe16(h + 14, block);
    HostPutLe32(h + 16, used == size ? kNone : used);
    HostPutLe16(h + 20, layout.blockRecords[block] - 1);
    HostPutLe16(h + 22, layout.blockRecords[block]);
    PutChecksum(h, size, 28);
    return size;
}

// The navigation entries, in the block that starts at g.
void CregHive::WriteEntries(const Layout& layout, char* g) const {
    auto entry = [&](uint32_t k) { return k == kNone ? kNone : layout.entryOf[k]; };
    for (uint32_t k : layout.order) {
        const Key& key = keys_[k];
        const Layout::Placed placed = layout.placed[k];
        char* e = g + layout.entryOf[k];
        HostPutLe32(e, key.entryWord);
        HostPutLe32(e + 4, key.hash);
        HostPutLe32(e + 8, kNone);
        HostPutLe32(e + 12, entry(key.parent));
        HostPutLe32(e + 16, entry(key.firstChild));
        HostPutLe32(e + 20, entry(key.nextSibling));
        HostPutLe16(e + 24, placed.block == kNoRecord ? kNoRecord : placed.id);
        HostPutLe16(e + 26, placed.block);
    }
}
