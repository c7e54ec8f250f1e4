// The host build without a windowed front end: batch is the only way to run.
#include "wizard/host_frontends.h"

bool HostHasDisplay() { return false; }
int RunWindowedWizard(int, char**) { return 0; }
void ShowStartupFailure(const char*) {}
