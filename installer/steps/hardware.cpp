#include "installer/steps/hardware.h"

#include <cstdlib>
#include <cstring>

#include "installer/core/messages.h"
#include "installer/core/setup_state.h"

namespace {

// Reads an [Extra] key; an absent key reads as the empty text.
void ReadExtra(const char* key, char* out) {
    PlatGetProfileString("Extra", key, nullptr, out, kPathSize, g_setup.setupFile);
}

void SetBinary(PlatKey key, const char* name, const char* text) {
    unsigned char bytes[kPathSize];
    size_t count = PairsToBytes(text, bytes);
    PlatRegSetValue(key, name, PLAT_REG_BINARY, bytes, count);
}

}  // namespace

size_t PairsToBytes(const char* text, unsigned char* out) {
    size_t count = std::strlen(text) / 2;
    for (size_t j = 0; j < count; ++j) {
        char pair[3] = {text[2 * j], text[2 * j + 1], '\0'};
        int v = std::atoi(pair);
        out[j] = static_cast<unsigned char>((v / 10) * 16 + v % 10);
    }
    out[count] = 0;
    return count;
}

void InstallHardwareKeys() {
    if (g_setup.noFreeInstance || g_setup.setupTextMissing) return;
    char work[kPathSize];
    char path[kPathSize];

    char bus[kPathSize];
    ReadExtra("PCIBUS", bus);
    // Without a device name there is no device key to bind; Enum\PCI itself
    // is never written.
    if (bus[0]) {
        if (PlatFormatText(path, sizeof path, "Enum\\PCI\\%s", bus) < 0) {
            ShowErrorF("Path too long in section %s: %s", "[Extra]", bus);
        } else {
            PlatKey key = nullptr;
            if (PlatRegCreateKey(PLAT_HKEY_LOCAL_MACHINE, path, &key) == 0) {
                PlatFormatText(work, sizeof work, "Display\\%s", g_setup.instanceText);
                PlatRegSetValue(key, "Driver", PLAT_REG_SZ, work, std::strlen(work) + 1);
                ReadExtra("ConfigFlags", work);
                SetBinary(key, "ConfigFlags", work);
                PlatRegFlushKey(key);
                PlatRegCloseKey(key);
            }
        }
    }

    PlatFormatText(path, sizeof path, "System\\CurrentControlSet\\Services\\Class\\Display\\%s\\DEFAULT",
                   g_setup.instanceText);
    PlatKey chip = nullptr;
    if (PlatRegCreateKey(PLAT_HKEY_LOCAL_MACHINE, path, &chip) != 0) return;
    ReadExtra("CHIPID", work);
    SetBinary(chip, "CHIPID", work);
    PlatRegFlushKey(chip);
    PlatRegCloseKey(chip);
}
