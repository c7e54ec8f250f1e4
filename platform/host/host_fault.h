// A seam for tests: makes chosen host operations fail, to prove that the
// installer reports a failed write and loses nothing.
#ifndef VSETUP_HOST_FAULT_H
#define VSETUP_HOST_FAULT_H

// The operations that can be made to fail.
enum HostOperation {
    kHostLzCopy,
    kHostReplaceFile,
    kHostCreateTempFile,
    kHostWriteProfile,
    kHostRegFlush,
    kHostOperationCount
};

// Makes the nth call (1 = the next one) of operation fail, and every call
// after it when sticky; 0 clears the fault.
void HostFailOperation(HostOperation operation, int nth, bool sticky = false);
// Called by the backend: true when this call must fail.
bool HostShouldFail(HostOperation operation);

#endif
