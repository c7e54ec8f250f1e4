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

void CheckSame(const CregHive& a, uint32_t ka, const CregHive& b, uint32_t kb) {
    FUZZ_CHECK(a.Name(ka) == b.Name(kb) && a.ValueCount(ka) == b.ValueCount(kb));
    for (size_t i = 0; i < a.ValueCount(ka); ++i) {
        std::string name_a, name_b, data_a, data_b;
        uint32_t type_a, type_b;
        a.GetValue(ka, i, &name_a, &type_a, &data_a);
        b.GetValue(kb, i, &name_b, &type_b, &data_b);
        FUZZ_CHECK(name_a == name_b && type_a == type_b && data_a == data_b);
    }
    uint32_t ca = a.FirstChild(ka);
    uint32_t cb = b.FirstChild(kb);
    for (; ca != CregHive::kNone && cb != CregHive::kNone; ca = a.NextSibling(ca), cb = b.NextSibling(cb))
        CheckSame(a, ca, b, cb);
    FUZZ_CHECK(ca == CregHive::kNone && cb == CregHive::kNone);
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
    FUZZ_CHECK(again.Load(written, &error) && again.KeyCount() == hive.KeyCount());
    CheckSame(hive, 0, again, 0);
    FUZZ_CHECK(again.Serialize() == written);

    uint32_t key = hive.MakeChild(hive.MakeChild(0, "Fuzz"), "Added");
    FUZZ_CHECK(key != CregHive::kNone && hive.SetValue(key, "Value", 3, std::string("\0\x01", 2)));
    CregHive extended;
    FUZZ_CHECK(extended.Load(hive.Serialize(), &error));
    uint32_t found = extended.FindChild(extended.FindChild(0, "FUZZ"), "added");
    FUZZ_CHECK(found != CregHive::kNone && extended.ValueCount(found) == 1);
    CheckSame(hive, 0, extended, 0);
    return 0;
}
