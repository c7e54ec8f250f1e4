// Where the host backend sends the dialogue services.
//
// On Windows the dialogue services are the real windows of the wizard. On the
// host the wizard is one of several front ends (the batch transcript, the Qt
// wizard); the front end that runs installs itself here before the run, and
// the host backend forwards every dialogue call to it. The window handles
// that pass through are the front end's own.
#ifndef VSETUP_HOST_FRONTEND_H
#define VSETUP_HOST_FRONTEND_H

#include "platform/platform.h"

class PlatFrontEnd {
public:
    virtual ~PlatFrontEnd() = default;
    // Shows a message box; returns PLAT_IDOK, PLAT_IDCANCEL, PLAT_IDYES or
    // PLAT_IDNO, or 0 when it could not be shown.
    virtual int MessageBox(const char* text, const char* caption, unsigned style) = 0;
    virtual void SetItemText(PlatWindow page, int control, const char* text) = 0;
    virtual PlatWindow CreateProgressBar(PlatWindow page) = 0;
    virtual void SetProgressPos(PlatWindow bar, int position) = 0;
    virtual void DestroyWindow(PlatWindow window) = 0;
    virtual void SetFocus(PlatWindow window) = 0;
    // Told after every process launch, with its outcome.
    virtual void Launched(const char* commandLine, bool started) = 0;
    // Told, before the run waits, that another installation holds the
    // Windows system; text says so. Nothing by default.
    virtual void Waiting(const char* text) { (void)text; }
};

// Installs the front end (null removes it; the dialogue services then do
// nothing and message boxes count as not shown).
void PlatSetFrontEnd(PlatFrontEnd* frontEnd);

// An installation run: PlatBeginRun holds the prefix to PlatEndRun and
// loads the registry as it is then (waiting, told to the front end, while
// another run holds the Windows system); PlatEndRun writes what the
// registry holds only in memory and lets the prefix go.
void PlatBeginRun();
void PlatEndRun();

// A run with its front end, for as long as the guard lives: the front end
// is installed and the run begun, and both end however the run ends.
class PlatFrontEndGuard {
public:
    explicit PlatFrontEndGuard(PlatFrontEnd* frontEnd) {
        PlatSetFrontEnd(frontEnd);
        PlatBeginRun();
    }
    ~PlatFrontEndGuard() {
        PlatEndRun();
        PlatSetFrontEnd(nullptr);
    }
    PlatFrontEndGuard(const PlatFrontEndGuard&) = delete;
    PlatFrontEndGuard& operator=(const PlatFrontEndGuard&) = delete;
};

#endif
