// The vsetup program on Linux: picks the front end, prepares the prefix and
// runs the wizard.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "installer/core/setup_state.h"
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
    "  VSETUP_PREFIX   the Windows system to set up (Wine's layout) or a disk image\n"
    "                  (default: $XDG_DATA_HOME/vsetup/prefix)\n"
    "  VSETUP_UI       batch: no windows, a JSON-lines transcript on standard output\n"
    "  VSETUP_ANSWERS  batch: answers to the message boxes in order, e.g. ok,cancel,yes\n"
    "\n"
    "Exit status:\n"
    "  0      the wizard has run, whatever the run reported; --help and --version\n"
    "  1      start-up stopped (no display, a prefix or registry that cannot be made\n"
    "         ready, an unknown VSETUP_UI), or a disk image could not take the results\n"
    "  2      the batch transcript could not be written; the installation still ran\n"
    "  128+N  the run was ended by signal N (SIGINT, SIGTERM, SIGHUP)\n"
    "\n"
    "Any other argument is ignored. See vsetup(1).\n";

int Run(char* program) {
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
        // Nothing was installed: a stop at start-up like any other.
        std::fputs("vsetup: no display to show the wizard on; set VSETUP_UI=batch to install without windows.\n",
                   stderr);
        return 1;
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
        if (!RunBatchWizard(std::getenv("VSETUP_ANSWERS"), stdout)) {
            std::fputs(
                "vsetup: the transcript could not be written to standard output; the installation went on "
                "to its end.\n",
                stderr);
            code = 2;
        }
    } else {
        // The wizard's look is fixed: Qt sees no option (-style, -reverse, ...).
        int qtArgc = 1;
        char* qtArgv[] = {program, nullptr};
        code = RunWindowedWizard(qtArgc, qtArgv);
    }
    // The results that could not be kept make the run a failure.
    if (!PlatShutdown()) return 1;
    return code;
}

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
    // A transcript reader that goes away must not stop the installation
    // half way: writes to it fail instead, and the run goes on.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return Run(argv[0]);
    } catch (const std::bad_alloc&) {
        std::fputs("vsetup: out of memory\n", stderr);
        return 1;
    }
}
