#include "installer/core/setup_state.h"

#include <cstring>

SetupState g_setup;

namespace {

// Big enough to tell a too-long start-up directory from one that fits.
const size_t kCurrentDirectoryBuffer = 4096;

}  // namespace

void InitSetupState() {
    char current[kCurrentDirectoryBuffer];
    if (PlatGetCurrentDirectory(current, sizeof current)) {
        size_t length = std::strlen(current);
        // A drive root reads as "A:\"; the installer joins names with a
        // backslash of its own, so one trailing backslash goes.
        if (length > 0 && current[length - 1] == '\\') current[--length] = '\0';
        if (length <= kMaxSourceDirLength) {
            std::memcpy(g_setup.sourceDir, current, length + 1);
        } else {
            g_setup.sourceDirTooLong = 1;
        }
    } else {
        g_setup.sourceDirTooLong = 1;
    }

    // With no usable source directory there is no setup file to read either:
    // setupFile stays empty and every read below keeps its default.
    if (!g_setup.sourceDirTooLong) {
        PlatFormatText(g_setup.setupFile, sizeof g_setup.setupFile, "%s\\%s", g_setup.sourceDir, "setup.dat");
        PlatGetProfileString("Product", "ProductName", g_setup.productName, g_setup.productName,
                             sizeof g_setup.productName, g_setup.setupFile);
        long long kilobytes = PlatGetProfileInt("DiskSpace", "SizeInKB", 0, g_setup.setupFile);
        g_setup.totalBytes = kilobytes * 1000;
    }

    PlatGetSystemDirectory(g_setup.systemDir, sizeof g_setup.systemDir);
    PlatGetWindowsDirectory(g_setup.windowsDir, sizeof g_setup.windowsDir);
}
