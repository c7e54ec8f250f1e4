// The SYSTEM.DAT reader on arbitrary bytes.
//
// Invariants:
// - a file that loads is one the writer can write back whole: its
//   serialization loads again, holds the same tree (every key, in order, with
//   every value's name, type and data), and serializes to the same bytes;
// - a key and a value added to it are there after writing and loading again.
// Anything else must be refused, never crash.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/host/creg_file.h"

namespace {

// The tree under key, every key in order with every value's name, type and
// data, as text.
std::string Tree(const CregHive& hive, uint32_t key) {
    std::string out = std::to_string(hive.Name(key).size()) + hive.Name(key) + "{";
    for (size_t i = 0; i < hive.ValueCount(key); ++i) {
        std::string name, data;
        uint32_t type;
        hive.GetValue(key, i, &name, &type, &data);
        out += std::to_string(name.size()) + name + std::to_string(type) + "," + std::to_string(data.size()) + data;
    }
    for (uint32_t c = hive.FirstChild(key); c != CregHive::kNone; c = hive.NextSibling(c)) out += Tree(hive, c);
    return out + "}";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    CregHive hive;
    std::string error;
    if (!hive.Load(std::string(reinterpret_cast<const char*>(bytes), size), &error)) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    const std::string written = hive.Serialize();
    CregHive again;
    FUZZ_CHECK(again.Load(written, &error));
    FUZZ_CHECK(again.KeyCount() == hive.KeyCount() && Tree(hive, 0) == Tree(again, 0));
    FUZZ_CHECK(again.Serialize() == written);

    uint32_t key = hive.MakeChild(hive.MakeChild(0, "Fuzz"), "Added");
    FUZZ_CHECK(key != CregHive::kNone);
    FUZZ_CHECK(hive.SetValue(key, "Value", 3, std::string("\0\x01", 2)));
    CregHive extended;
    FUZZ_CHECK(extended.Load(hive.Serialize(), &error));
    FUZZ_CHECK(Tree(hive, 0) == Tree(extended, 0));
    return 0;
}
