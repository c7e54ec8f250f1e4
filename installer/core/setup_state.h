// The state of one installation run, shared by every step.
#ifndef VSETUP_INSTALLER_CORE_SETUP_STATE_H
#define VSETUP_INSTALLER_CORE_SETUP_STATE_H

#include <cstdint>

#include "platform/platform.h"

// Sizes of the text fields, terminating zero included.
enum {
    kPathSize = 256,
    kProductNameSize = 64,
    kInstanceTextSize = 16,
    // The longest source directory that leaves room for "\setup.dat".
    kMaxSourceDirLength = 245,
};

struct SetupState {
    void* instance;                      // the running module (Windows only)
    char sourceDir[kPathSize];           // start-up directory, no trailing backslash
    char setupFile[kPathSize];           // sourceDir + "\setup.dat"
    char productName[kProductNameSize];  // [Product] ProductName, cut to 63
    int64_t totalBytes;                  // [DiskSpace] SizeInKB x 1000
    char systemDir[kPathSize];
    char windowsDir[kPathSize];
    char instanceText[kInstanceTextSize];  // chosen display class instance, "%04d"
    char driverInf[kPathSize];             // [Product] DriverInf
    char oemInf[kPathSize];                // [Product] OemsetupInf
    PlatWindow progressBar;                // finish page's bar while installing
    int64_t copiedBytes;                   // running total of the copy step
    char messageText[kPathSize];           // where message texts are composed
    // Set when the start-up directory was too long to hold "\setup.dat"
    // behind it; the copy step reports it.
    int sourceDirTooLong;
    // Set when no free display class instance exists; the registry and
    // hardware steps are then skipped.
    int noFreeInstance;
    // Set when the setup text could not be loaded; the steps after the copy
    // step then write nothing (no instance, no hardware keys, no boot entry).
    int setupTextMissing;
};

extern SetupState g_setup;

// Fills sourceDir, setupFile, productName, totalBytes, systemDir, windowsDir.
void InitSetupState();

#endif
