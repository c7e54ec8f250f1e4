// The display class instance and the registry list.
#ifndef VSETUP_INSTALLER_STEPS_REG_INSTALL_H
#define VSETUP_INSTALLER_STEPS_REG_INSTALL_H

#include "platform/platform.h"
#include "installer/setupinfo/fields.h"

// The root keywords of a [Driver.AddReg] line, as LookupRoot reports them.
enum RootCode { kRootHKR = 1, kRootHKCR = 2, kRootHKLM = 3, kRootNone = 9 };

// Sets g_setup.instanceText to the first display class instance ("0000" to
// "9998") that has no key yet; when all are taken, sets noFreeInstance and
// says so.
void FindFreeInstance();
// Applies [Driver.AddReg] after checking that [Prev.DelReg] exists; reports a
// missing section. Does nothing when there is no free instance.
void InstallRegistry(PlatWindow page);
// Applies every line of the list that starts at position in text; returns 1.
int ApplyRegSection(const char* text, long position);
// Writes one split line: two fields make a key, five set a string or binary
// value; other counts and unknown roots write nothing.
void ApplyRegEntry(int count, const RegEntry* entry);
// The RootCode of a keyword, matched exactly (case counts), or kRootNone.
int LookupRoot(const char* keyword);
// Opens or creates parent\path one component at a time; a run of
// backslashes separates two components. Null on failure; parent itself for
// an empty path.
PlatKey OpenKeyPath(PlatKey parent, const char* path, unsigned access);

#endif
