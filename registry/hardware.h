// The PCI device binding and the boot description.
#ifndef VSETUP_REGISTRY_HARDWARE_H
#define VSETUP_REGISTRY_HARDWARE_H

#include <cstddef>

void InstallHardwareKeys();
// Packs pairs of decimal digits into bytes; returns the count (text length / 2).
size_t PairsToBytes(const char* text, unsigned char* out);
void WriteBootEntry();

#endif
