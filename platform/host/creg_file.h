// The Windows 95/98/Me registry file (CREG: SYSTEM.DAT, USER.DAT) in memory.
//
// A file is a 32-byte header ("CREG"), the key navigation block (RGKN: one
// 28-byte entry per key, linked to its parent, first child and next
// sibling) and data blocks (RGDB) holding one record per key: its name and
// its values. docs/creg.md describes the layout and what this code sets.
//
// Load() reads a whole file and checks every structure it follows: offsets
// in bounds, records inside their block, values inside their record, every
// key's record present, and no loop in the key tree. It refuses a file it
// could not write back whole. Serialize() lays the tree out afresh: the
// entries in tree order, the records packed into data blocks (at most 255 a
// block, numbered 0 to 254) with free records filling each block's tail, and
// every header's sizes, record numbers and checksum computed. Names and data
// are kept byte for byte, with every value type and the fields whose meaning
// is unknown.
//
// Keys are numbered; 0 is the root (the hive itself, HKEY_LOCAL_MACHINE for
// SYSTEM.DAT). Names match without regard to case, by the Windows-1252 rules.
#ifndef VSETUP_HOST_CREG_FILE_H
#define VSETUP_HOST_CREG_FILE_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

class CregHive {
public:
    static constexpr uint32_t kNone = 0xFFFFFFFFu;
    // The largest name or data a record can hold (16-bit sizes).
    static constexpr size_t kMaxField = 0xFFFF;

    // Replaces the hive by the file's content. false, with what is wrong in
    // *error, when the file is not a CREG file or cannot be read in full
    // (the hive is then empty).
    bool Load(std::string bytes, std::string* error);
    // The whole hive as a CREG file.
    std::string Serialize() const;
    // The bytes Load() was given.
    const char* LoadedData() const { return pool_.data(); }
    size_t LoadedSize() const { return loadedSize_; }

    size_t KeyCount() const { return keys_.size(); }
    uint32_t FindChild(uint32_t parent, const std::string& name) const;
    // The child of that name, made when missing.
    uint32_t MakeChild(uint32_t parent, const std::string& name);
    uint32_t FirstChild(uint32_t key) const { return keys_[key].firstChild; }
    uint32_t NextSibling(uint32_t key) const { return keys_[key].nextSibling; }
    std::string Name(uint32_t key) const { return Text(keys_[key].name); }

    size_t ValueCount(uint32_t key) const { return keys_[key].valueCount; }
    void GetValue(uint32_t key, size_t index, std::string* name, uint32_t* type, std::string* data) const;
    // Creates or replaces the value; false when a name or the data is too
    // long for the format.
    bool SetValue(uint32_t key, const std::string& name, uint32_t type, const std::string& data);

    // The documented name hash: the sum of the upper-cased bytes below 0x80.
    static uint32_t NameHash(const char* name, size_t size);

private:
    struct Span {
        uint32_t offset = 0;  // into pool_
        uint32_t size = 0;
    };
    struct Value {
        uint32_t type;
        uint32_t reserved;  // the value entry's second field, kept as found
        Span name;
        Span data;
    };
    struct Key {
        Span name;
        uint32_t reserved = 0;    // the key record's last header field, kept
        uint32_t entryWord = 0;  // the navigation entry's first field, kept
        uint32_t hash = 0;
        uint32_t parent = kNone;
        uint32_t firstChild = kNone;
        uint32_t lastChild = kNone;
        uint32_t nextSibling = kNone;
        uint32_t firstValue = 0;  // into values_
        uint32_t valueCount = 0;
        bool hasRecord = true;
    };

    struct RecordIndex;
    struct Layout;

    // Loading (creg_file.cpp), each false or kNone with the reason in *why.
    bool IndexRecords(uint32_t rgknSize, RecordIndex* index, std::string* why);
    bool ReadTree(uint32_t rgknSize, const RecordIndex& index, std::string* why);
    uint32_t ReadKey(uint32_t rgknSize, uint32_t entry, uint32_t parent, const RecordIndex& index,
                     std::vector<bool>* seen, std::string* why);
    bool ReadRecord(uint32_t pos, Key* key, std::string* why);
    // Laying out (creg_layout.cpp).
    uint32_t RecordSize(uint32_t key) const;
    void Plan(Layout* layout) const;
    void WriteBlocks(const Layout& layout, char* o, uint64_t blockAt) const;
    uint32_t CloseBlock(const Layout& layout, uint32_t block, char* h, char* tailAt, char* lastRecord) const;
    void WriteEntries(const Layout& layout, char* g) const;

    // Where a name or data is: in the loaded file, or among what was stored
    // since.
    const char* Bytes(Span span) const {
        return span.offset < loadedSize_ ? pool_.data() + span.offset : added_.data() + (span.offset - loadedSize_);
    }
    std::string Text(Span span) const { return std::string(Bytes(span), span.size); }
    Span Store(const std::string& text);
    bool SameName(Span span, const std::string& name) const;
    void Link(uint32_t parent, uint32_t child);
    bool Fail(std::string* error, const std::string& what);

    // The loaded file, and apart from it the names and data stored since
    // (their spans start at loadedSize_); deques for the keys and values:
    // an edit after loading a large file never copies what it loaded.
    std::string pool_;
    std::string added_;
    size_t loadedSize_ = 0;
    std::deque<Key> keys_;
    std::deque<Value> values_;
    char header_[32] = {};       // the file header as loaded
    char rgknHeader_[32] = {};  // the navigation block's header as loaded
    char rgdbHeader_[32] = {};  // the first data block's header as loaded
};

#endif
