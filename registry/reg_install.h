// The display class instance and the registry list.
#ifndef VSETUP_REGISTRY_REG_INSTALL_H
#define VSETUP_REGISTRY_REG_INSTALL_H

#include "platform/platform.h"
#include "setupinfo/fields.h"

enum RootCode { kRootHKR = 1, kRootHKCR = 2, kRootHKLM = 3, kRootNone = 9 };

void FindFreeInstance();
void InstallRegistry(PlatWindow page);
int ApplyRegSection(const char* text, long position);
void ApplyRegEntry(int count, const RegEntry* entry);
int LookupRoot(const char* keyword);
// Opens or creates parent\path one component at a time; a run of
// backslashes separates two components. Null on failure; parent itself for
// an empty path.
PlatKey OpenKeyPath(PlatKey parent, const char* path, unsigned access);

#endif
