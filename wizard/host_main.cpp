// The vsetup program on Linux: picks the front end, prepares the prefix and
// runs the wizard.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/setup_state.h"
#include "platform/platform.h"
#include "wizard/batch/batch_frontend.h"
#include "wizard/host_frontends.h"

namespace {

const char kHelp[] =
    "Usage: vsetup [--help | --version]\n"
    "Installs the Vorel display driver from the driver disk in the current directory\n"
    "into a Windows 95/98 system tree (a prefix), with a wizard or without windows.\n"
    "\n"
    "Environment:\n"
    "  VSETUP_PREFIX   the Windows system to set up, in Wine's layout\n"
    "                  (default: $XDG_DATA_HOME/vsetup/prefix)\n"
    "  VSETUP_UI       batch: no windows, a JSON-lines transcript on standard output\n"
    "  VSETUP_ANSWERS  batch: answers to the message boxes in order, e.g. ok,cancel,yes\n"
    "\n"
    "Exit status: 0 once the wizard has run, 1 when the prefix cannot be prepared.\n"
    "Any other argument is ignored. See vsetup(1).\n";

}  // namespace

int main(int argc, char** argv) {
    // Like the Windows program, vsetup takes nothing from its command line
    // but these two requests; any other argument is ignored.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("vsetup " VSETUP_VERSION);
            return 0;
        }
    }
    const char* ui = std::getenv("VSETUP_UI");
    bool batch = ui && std::strcmp(ui, "batch") == 0;
    if (!batch && !HostHasDisplay()) {
        std::fputs("vsetup: no display to show the wizard on; set VSETUP_UI=batch to install without windows.\n",
                   stderr);
        return 0;
    }
    if (!PlatStartup()) {
        std::fprintf(stderr, "vsetup: %s\n", PlatStartupError());
        return 1;
    }
    int code = 0;
    if (batch) {
        InitSetupState();
        RunBatchWizard(std::getenv("VSETUP_ANSWERS"), stdout);
    } else {
        // The wizard's look is fixed: Qt sees no option (-style, -reverse, ...).
        int qt_argc = 1;
        char* qt_argv[] = {argv[0], nullptr};
        code = RunWindowedWizard(qt_argc, qt_argv);
    }
    PlatShutdown();
    return code;
}
