// The installation run behind the wizard's Finish button, shared by every
// front end.
#ifndef VSETUP_WIZARD_RUN_INSTALL_H
#define VSETUP_WIZARD_RUN_INSTALL_H

#include "platform/platform.h"

extern const char kDisplayPanelCommand[];

// Creates the progress bar on page, runs the copy, instance, registry,
// hardware and boot steps in that order, removes the bar and ends with the
// completion prompt. The front end has already set the wizard's buttons.
void RunInstall(PlatWindow page);
void LaunchDisplayPanel();

#endif
