#include "installer/steps/boot_entry.h"

#include "installer/core/messages.h"
#include "installer/core/setup_state.h"

void WriteBootEntry() {
    // Without the setup text the product name is empty: the entry would
    // name no driver.
    if (g_setup.setupTextMissing) return;
    if (!PlatWriteProfileString("boot.description", "display.drv", g_setup.productName, "system.ini"))
        ShowError("Can't write the display entry to system.ini.");
}
