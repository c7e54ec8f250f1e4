// The windowed front end of the vsetup program on Linux.
#include <QApplication>

#include <cstdlib>

#include "core/setup_state.h"
#include "wizard/host_frontends.h"
#include "wizard/qt/wizard_pages.h"

bool HostHasDisplay() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 && *x11) || (wayland && *wayland);
}

int RunWindowedWizard(int argc, char** argv) {
    QApplication app(argc, argv);
    ApplyClassicLook();
    InitSetupState();
    VorelWizard wizard;
    wizard.show();
    // Finish returns after the whole run; Cancel and the close box return
    // having changed nothing. Either way the program ends well.
    wizard.exec();
    return 0;
}
