// The test seam of the host backend (see host_fault.h).
#include "platform/host/host_fault.h"

namespace {

struct Fault {
    int countdown = 0;
    bool sticky = false;
    bool tripped = false;
};
Fault g_faults[kHostOperationCount];

}  // namespace

void HostFailOperation(HostOperation operation, int nth, bool sticky) {
    g_faults[operation] = Fault{nth, sticky, false};
}

bool HostShouldFail(HostOperation operation) {
    Fault& fault = g_faults[operation];
    if (fault.tripped) return fault.sticky;
    if (fault.countdown <= 0) return false;
    if (--fault.countdown == 0) {
        fault.tripped = true;
        return true;
    }
    return false;
}
