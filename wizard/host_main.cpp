// The vsetup program on Linux: picks the front end, prepares the prefix and
// runs the wizard.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/setup_state.h"
#include "platform/platform.h"
#include "wizard/batch/batch_frontend.h"
#include "wizard/host_frontends.h"

namespace {

int Run(int argc, char** argv) {
    const char* ui = std::getenv("VSETUP_UI");
    bool batch = ui && std::strcmp(ui, "batch") == 0;
    if (ui && *ui && !batch) {
        std::fprintf(stderr,
                     "vsetup: unknown VSETUP_UI value \"%s\"; the accepted values are \"batch\" (no windows) and "
                     "none or empty (the windowed wizard).\n",
                     ui);
        return 1;
    }
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
        if (!RunBatchWizard(std::getenv("VSETUP_ANSWERS"), stdout)) {
            std::fputs("vsetup: the transcript could not be written to standard output; the installation went on "
                       "to its end.\n",
                       stderr);
            code = 2;
        }
    } else {
        code = RunWindowedWizard(argc, argv);
    }
    PlatShutdown();
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    // A transcript reader that goes away must not stop the installation
    // half way: writes to it fail instead, and the run goes on.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return Run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("vsetup: out of memory\n", stderr);
        return 1;
    }
}
