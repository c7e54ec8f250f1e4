// The windowed front end of the vsetup program on Linux.
#include <QApplication>

#include <cstdlib>
#include <memory>

#include "installer/core/setup_state.h"
#include "wizard/host_frontends.h"
#include "wizard/qt/qt_frontend.h"
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

void ShowStartupFailure(const char* reason) {
    int argc = 1;
    char name[] = "vsetup";
    char* argv[] = {name, nullptr};
    std::unique_ptr<QApplication> app;
    if (!qApp) {
        app = std::make_unique<QApplication>(argc, argv);
        ApplyClassicLook();
    }
    QtFrontEnd front(nullptr);
    front.MessageBox(reason, "Error", PLAT_MB_OK | PLAT_MB_ICONERROR);
}
