// One session of vsetup on the host, from the start of the program to its
// end: the prefix (a directory, or a disk image worked on through a staging
// prefix, disk_image.h), the hold on it and the journal of each run
// (host_run.h), and the registry store (registry_backend.h).
//
//   HostSessionStart    at start-up: chooses and prepares the prefix, checks
//                       its registry and cleans up after a stopped run, under
//                       a hold it lets go again
//   PlatBeginRun        (frontend.h) an installation begins: holds the prefix
//                       to its end and loads the registry as it is now
//   PlatEndRun          writes what the registry holds only in memory and
//                       lets the prefix go
//   HostSessionFinish   at the end: once more the registry, then the results
//                       go into the disk image when the prefix is one
#ifndef VSETUP_HOST_SESSION_H
#define VSETUP_HOST_SESSION_H

#include <string>

class PlatFrontEnd;
class RegistryBackend;

// false with a reason when the session cannot start.
bool HostSessionStart(std::string* error);
// false with a reason when the results could not be kept.
bool HostSessionFinish(std::string* error);

// The prefix, resolved (with a disk image, its staging prefix).
const std::string& HostPrefix();

// The registry store, which exists once the session has started.
RegistryBackend* HostSessionRegistry();
// false when the registry could not be loaded again as the run began:
// nothing is written to it in that run, and every write fails.
bool HostSessionRegistryUsable();
// Reports a failed registry write, once per run.
void HostSessionReportRegistryFailure();

// The front end installed now, or null (host_platform.cpp keeps it).
PlatFrontEnd* HostFrontEnd();

#endif
