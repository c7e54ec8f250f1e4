// What the SYSTEM.DAT tests share: hives made by tools/creg-gen.py, the tree
// that both independent readers see (tools/creg-oracle.py), and the store's
// own tree in the same form.
#ifndef VSETUP_TESTS_CREG_SUPPORT_H
#define VSETUP_TESTS_CREG_SUPPORT_H

#include <set>
#include <string>

#include "platform/host/creg_file.h"

// Writes the generator's "display" hive to path; false when it failed.
bool GenerateHive(const std::string& path);
// What cregexport and Parse::Win32Registry both see in the file, one line a
// key or value; fails the test when either cannot read it or they differ.
std::string Oracle(const std::string& file);
// The hive in the oracle's form.
std::string Dump(const CregHive& hive);
// The lines of Dump() of the SYSTEM.DAT at path as the store opens it (with
// its journal replayed), each value line prefixed with its key's path.
std::set<std::string> HiveEntries(const std::string& path);

#endif
