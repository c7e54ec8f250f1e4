// The installation run behind the wizard's Finish button, shared by every
// front end.
#ifndef VSETUP_INSTALLER_RUN_INSTALL_H
#define VSETUP_INSTALLER_RUN_INSTALL_H

#include "platform/platform.h"

// The command that opens the Display control panel on its Settings page.
extern const char kDisplayPanelCommand[];

// Creates the progress bar on page, runs the copy, instance, registry,
// hardware and boot steps in that order, removes the bar and ends with the
// completion prompt. The front end has already set the wizard's buttons.
void RunInstall(PlatWindow page);
// Starts the Display control panel; warns when it cannot be started.
void LaunchDisplayPanel();

#endif
