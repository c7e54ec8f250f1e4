#include "installer/steps/reg_install.h"

#include <cstring>

#include "installer/core/messages.h"
#include "installer/core/setup_state.h"
#include "installer/setupinfo/setup_text.h"

namespace {

const char kDisplayClassFormat[] = "System\\CurrentControlSet\\Services\\Class\\Display\\%s";
const int kInstanceCount = 9999;

void DisplayClassPath(char* out) { PlatFormatText(out, kPathSize, kDisplayClassFormat, g_setup.instanceText); }

// Reports a missing section, lets the setup text go and says so.
void MissingSection(const char* header) {
    ShowErrorF("Can't find section: %s", header);
    ReleaseSetupText();
}

}  // namespace

void FindFreeInstance() {
    char path[kPathSize];
    for (int i = 0; i < kInstanceCount; ++i) {
        PlatFormatText(g_setup.instanceText, sizeof g_setup.instanceText, "%04d", i);
        DisplayClassPath(path);
        PlatKey key = nullptr;
        if (PlatRegOpenKey(PLAT_HKEY_LOCAL_MACHINE, path, PLAT_KEY_READ, &key) != 0) return;
        PlatRegCloseKey(key);
    }
    // Every instance is taken: writing into one of them would damage another
    // driver's settings, so the registry steps stand down.
    g_setup.noFreeInstance = 1;
    ShowError("Can't find a free display instance.");
}

void InstallRegistry(PlatWindow /*page*/) {
    if (g_setup.noFreeInstance) {
        ReleaseSetupText();
        return;
    }
    if (FindSection(g_setupText.bytes, g_setupText.length, "[Prev.DelReg]") == -1) {
        MissingSection("[Prev.DelReg]");
        return;
    }
    long position = FindSection(g_setupText.bytes, g_setupText.length, "[Driver.AddReg]");
    if (position == -1) {
        MissingSection("[Driver.AddReg]");
        return;
    }
    ApplyRegSection(g_setupText.bytes, position);
    ReleaseSetupText();
}

int ApplyRegSection(const char* text, long position) {
    char line[kLineSize];
    for (;;) {
        int read = ReadSectionLine(text, line, &position);
        if (read == kLineEnd) break;
        if (read == kLineTooLong) {
            ShowErrorF("Line too long in section %s: %s", "[Driver.AddReg]", line);
            continue;
        }
        if (IsBlankLine(line)) continue;
        RegEntry entry;
        std::memset(&entry, 0, sizeof entry);
        const char* overlong = nullptr;
        int count = SplitRegLine(line, &entry, &overlong);
        if (overlong) {
            ShowErrorF("Value name too long in section %s: %s", "[Driver.AddReg]", line);
            continue;
        }
        ApplyRegEntry(count, &entry);
    }
    return 1;
}

int LookupRoot(const char* keyword) {
    if (std::strcmp(keyword, "HKR") == 0) return kRootHKR;
    if (std::strcmp(keyword, "HKCR") == 0) return kRootHKCR;
    if (std::strcmp(keyword, "HKLM") == 0) return kRootHKLM;
    return kRootNone;
}

void ApplyRegEntry(int count, const RegEntry* entry) {
    int code = LookupRoot(entry->root);
    if (code == kRootNone) return;
    PlatKey root = nullptr;
    long opened;
    if (code == kRootHKR) {
        char path[kPathSize];
        DisplayClassPath(path);
        opened = PlatRegCreateKey(PLAT_HKEY_LOCAL_MACHINE, path, &root);
    } else {
        opened = PlatRegCreateKey(code == kRootHKCR ? PLAT_HKEY_CLASSES_ROOT : PLAT_HKEY_LOCAL_MACHINE, nullptr, &root);
    }
    if (opened != 0) return;

    // Exactly two fields make a key; all five set a value.
    if (count == 2 || count == 5) {
        PlatKey key = OpenKeyPath(root, entry->subkey, PLAT_KEY_ALL_ACCESS);
        if (key) {
            if (count == 5)
                PlatRegSetValue(key, entry->valueName, PLAT_REG_SZ, entry->value, std::strlen(entry->value) + 1);
            PlatRegFlushKey(key);
            if (key != root) PlatRegCloseKey(key);
        }
    }
    PlatRegCloseKey(root);
}

PlatKey OpenKeyPath(PlatKey parent, const char* path, unsigned access) {
    char prefix[kPathSize];
    size_t used = 0;
    PlatKey current = nullptr;
    const char* p = path;
    for (;;) {
        while (*p == '\\') ++p;
        if (*p == '\0') break;
        const char* end = p;
        while (*end && *end != '\\') ++end;
        size_t length = static_cast<size_t>(end - p);
        size_t needed = used + (used ? 1 : 0) + length;
        if (needed >= sizeof prefix) {
            if (current) PlatRegCloseKey(current);
            return nullptr;
        }
        if (used) prefix[used++] = '\\';
        std::memcpy(prefix + used, p, length);
        used += length;
        prefix[used] = '\0';

        PlatKey next = nullptr;
        if (PlatRegOpenKey(parent, prefix, access, &next) != 0 && PlatRegCreateKey(parent, prefix, &next) != 0) {
            if (current) PlatRegCloseKey(current);
            return nullptr;
        }
        if (current) PlatRegCloseKey(current);
        current = next;
        p = end;
    }
    return current ? current : parent;
}
