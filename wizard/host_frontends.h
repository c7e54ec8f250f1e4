// The windowed front end of the host build, when it has one.
#ifndef VSETUP_WIZARD_HOST_FRONTENDS_H
#define VSETUP_WIZARD_HOST_FRONTENDS_H

// true when a windowed wizard can be shown here.
bool HostHasDisplay();
// Fills the setup state and runs the windowed wizard; returns the exit code.
int RunWindowedWizard(int argc, char** argv);
// Tells the user in a message box why the wizard cannot start (reason is
// one line of text); nothing where there is no windowed front end.
void ShowStartupFailure(const char* reason);

#endif
