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
#include <sys/mman.h>
#include <unistd.h>

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
    int fd = memfd_create("registry.reg", MFD_CLOEXEC);
    if (fd < 0) return;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    RegistryStore store, reloaded;
    std::string error;
    if (write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size())) {
        if (!store.Open(path, &error)) {
            std::string after(text.size() + 1, '\0');
            FUZZ_CHECK(pread(fd, &after[0], after.size(), 0) == static_cast<ssize_t>(text.size()));
            FUZZ_CHECK(after.substr(0, text.size()) == text);
        } else {
            store.SetValue(key, name, type, value);
            const std::string held = store.Serialize();
            // A fresh file also syncs its directory, which /proc cannot do.
            if (store.Flush(key)) FUZZ_CHECK(reloaded.Open(path, &error) && reloaded.Serialize() == held);
        }
    }
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 4) return 0;
    const std::string input(reinterpret_cast<const char*>(bytes), size);
    const size_t lengths[3] = {bytes[1] % 64u, bytes[2] % 32u, bytes[3] % 64u};
    std::string parts[3];
    size_t pos = 4;
    for (int i = 0; i < 3; ++i) {
        parts[i] = input.substr(pos, std::min(lengths[i], size - pos));
        pos += parts[i].size();
    }
    const std::string text = input.substr(pos);

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
