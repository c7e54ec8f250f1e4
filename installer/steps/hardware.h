// The PCI device binding.
#ifndef VSETUP_INSTALLER_STEPS_HARDWARE_H
#define VSETUP_INSTALLER_STEPS_HARDWARE_H

#include <cstddef>

// Binds the [Extra] PCIBUS device to the chosen instance (its Driver and
// ConfigFlags values) and stores CHIPID under the instance's DEFAULT key.
// Does nothing when there is no free instance.
void InstallHardwareKeys();
// Packs pairs of decimal digits into bytes; returns the count (text length / 2).
size_t PairsToBytes(const char* text, unsigned char* out);

#endif
