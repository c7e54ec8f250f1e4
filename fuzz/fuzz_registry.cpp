// The registry store on arbitrary REGEDIT4 bytes.
//
// Input: four bytes (the type of a value to set, and the lengths modulo 64,
// 32 and 64 of its key, name and data), those three, then the file.
//
// Invariants:
// - whatever loads, Serialize -> LoadText into a new store -> Serialize gives
//   the same text, and loading that text a second time changes nothing;
// - the file opened as the store's file is either refused and left as it
//   was, or loads; then a value set and flushed there (an append after the
//   file's last complete line) reads back, with everything else, exactly as
//   the store held it.
// Key and value names never hold CR, LF or zero bytes: the installer's names
// are zero-terminated text from one line of setup.dat.
#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/host/registry_store.h"

namespace {

const uint32_t kTypes[8] = {1, 3, 4, 7, 0, 2, 11, 0xFFFFFFFFu};

std::string NameText(std::string text) {
    text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n' || c == '\0'; }),
               text.end());
    return text;
}

void CheckAppend(const std::string& text, const std::string& key, const std::string& name, uint32_t type,
                 const std::string& value) {
    MemoryFile file(text);
    RegistryStore store, reloaded;
    std::string error;
    if (!store.Open(file.Name(), &error)) {
        FUZZ_CHECK(file.Contents() == text);
        return;
    }
    store.SetValue(key, name, type, value);
    // A fresh file also syncs its directory, which /proc cannot do.
    if (store.Flush(key)) {
        FUZZ_CHECK(reloaded.Open(file.Name(), &error));
        FUZZ_CHECK(reloaded.Serialize() == store.Serialize());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 4) return 0;
    const std::string input(reinterpret_cast<const char*>(bytes), size);
    const size_t lengths[3] = {bytes[1] % 64u, bytes[2] % 32u, bytes[3] % 64u};
    std::string parts[3];
    const std::string text = TakeParts(input, 4, lengths, parts, 3);

    RegistryStore loaded, again;
    loaded.LoadText(text);
    const std::string serialized = loaded.Serialize();
    for (int i = 0; i < 2; ++i) {
        again.LoadText(serialized);
        FUZZ_CHECK(again.Serialize() == serialized);
    }
    CheckAppend(text, "HKEY_LOCAL_MACHINE\\" + NameText(parts[0]), NameText(parts[1]), kTypes[bytes[0] & 7], parts[2]);
    return 0;
}
