// The vsetup program on Linux: picks the front end, prepares the prefix and
// runs the wizard.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/setup_state.h"
#include "platform/platform.h"
#include "wizard/batch/batch_frontend.h"
#include "wizard/host_frontends.h"

int main(int argc, char** argv) {
    const char* ui = std::getenv("VSETUP_UI");
    bool batch = ui && std::strcmp(ui, "batch") == 0;
    if (!batch && !HostHasDisplay()) {
        std::fputs("vsetup: no display to show the wizard on; set VSETUP_UI=batch to install without windows.\n",
                   stderr);
        return 0;
    }
    if (!PlatStartup()) {
        std::fprintf(stderr, "vsetup: %s\n", PlatStartupError());
        // The wizard's user may have no terminal to read that line on.
        if (!batch) ShowStartupFailure(PlatStartupError());
        return 1;
    }
    int code = 0;
    if (batch) {
        InitSetupState();
        RunBatchWizard(std::getenv("VSETUP_ANSWERS"), stdout);
    } else {
        code = RunWindowedWizard(argc, argv);
    }
    PlatShutdown();
    return code;
}
