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

#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/host/registry_store.h"

namespace {

const uint32_t kTypes[8] = {1, 3, 4, 7, 0, 2, 11, 0xFFFFFFFFu};

std::string NameText(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c != '\r' && c != '\n' && c != '\0') out += c;
    }
    return out;
}

void CheckAppend(const std::string& text, const std::string& key, const std::string& name, uint32_t type,
                 const std::string& value) {
    int fd = memfd_create("registry.reg", MFD_CLOEXEC);
    if (fd < 0) return;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    if (done == text.size()) {
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        RegistryStore store;
        std::string error;
        if (!store.Open(path, &error)) {
            std::string after(text.size() + 1, '\0');
            FUZZ_CHECK(pread(fd, &after[0], after.size(), 0) == static_cast<ssize_t>(text.size()));
            after.resize(text.size());
            FUZZ_CHECK(after == text);
            close(fd);
            return;
        }
        store.SetValue(key, name, type, value);
        const std::string held = store.Serialize();
        // A fresh file also syncs its directory, which /proc cannot do.
        if (store.Flush(key)) {
            RegistryStore reloaded;
            FUZZ_CHECK(reloaded.Open(path, &error));
            FUZZ_CHECK(reloaded.Serialize() == held);
        }
    }
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 4) return 0;
    const std::string input(reinterpret_cast<const char*>(bytes), size);
    const uint32_t type = kTypes[bytes[0] & 7];
    size_t lengths[3] = {static_cast<size_t>(bytes[1] % 64), static_cast<size_t>(bytes[2] % 32),
                         static_cast<size_t>(bytes[3] % 64)};
    size_t pos = 4;
    std::string parts[3];
    for (int i = 0; i < 3; ++i) {
        size_t n = lengths[i] < size - pos ? lengths[i] : size - pos;
        parts[i] = input.substr(pos, n);
        pos += n;
    }
    const std::string text = input.substr(pos);

    RegistryStore loaded;
    loaded.LoadText(text);
    const std::string serialized = loaded.Serialize();
    RegistryStore again;
    again.LoadText(serialized);
    FUZZ_CHECK(again.Serialize() == serialized);
    again.LoadText(serialized);
    FUZZ_CHECK(again.Serialize() == serialized);

    CheckAppend(text, "HKEY_LOCAL_MACHINE\\" + NameText(parts[0]), NameText(parts[1]), type, parts[2]);
    return 0;
}
