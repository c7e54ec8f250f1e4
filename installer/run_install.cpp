#include "installer/run_install.h"

#include "installer/core/setup_state.h"
#include "installer/steps/boot_entry.h"
#include "installer/steps/copy_files.h"
#include "installer/steps/hardware.h"
#include "installer/steps/reg_install.h"

const char kDisplayPanelCommand[] = "CONTROL.EXE DESK.CPL,,3";

void RunInstall(PlatWindow page) {
    g_setup.progressBar = PlatCreateProgressBar(page);
    InstallFiles(page);
    FindFreeInstance();
    InstallRegistry(page);
    InstallHardwareKeys();
    WriteBootEntry();
    if (g_setup.progressBar) {
        PlatDestroyWindow(g_setup.progressBar);
        g_setup.progressBar = nullptr;
    }
    if (PlatMessageBox("Setup is complete.\n\nWould you like to run Display control panel right now?",
                       g_setup.productName, PLAT_MB_YESNO) == PLAT_IDYES)
        LaunchDisplayPanel();
}

void LaunchDisplayPanel() {
    if (!PlatLaunch(kDisplayPanelCommand))
        PlatMessageBox("Unable to launch the Display Control Panel", "Warning", PLAT_MB_OK);
}
