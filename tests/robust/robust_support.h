// What the robustness tests add to the shared fixtures: running the vsetup
// program under hostile conditions (a file size limit, an unprivileged user,
// a preloaded library), snapshots of directory trees, and registry.reg read
// back entry by entry.
#ifndef VSETUP_TESTS_ROBUST_SUPPORT_H
#define VSETUP_TESTS_ROBUST_SUPPORT_H

#include <map>
#include <string>
#include <vector>

#include "tests/test_support.h"

struct ChildOptions {
    std::string answers;
    std::vector<std::string> env;  // further NAME=VALUE settings
    long long fileSizeLimit = -1;  // RLIMIT_FSIZE in bytes, SIGXFSZ ignored
    bool unprivileged = false;     // run as nobody when the tests run as root
    std::string preload;           // a library for LD_PRELOAD
    // The exit code the run must end with (a sanitizer's report makes it
    // another), or -1 for any.
    int expectedExit = 0;
};

// Runs vsetup in batch mode from disk_dir into prefix, and fails the test
// when it does not end with options.expectedExit. A child killed by a signal
// gets exitCode 128 + the signal's number.
RunResult RunVsetup(const std::string& disk_dir, const std::string& prefix, const ChildOptions& options);

// The user an unprivileged child runs as (nobody), or -1 when the tests do
// not run as root and every child is unprivileged anyway.
int UnprivilegedUid();
// Hands the tree at path to the unprivileged user, so that only the
// permissions a test sets stop that user.
void GiveToUnprivileged(const std::string& path);

// Every entry below root (itself included as ""), with its type, mode, and
// content or link target: equal snapshots mean nothing there changed.
std::map<std::string, std::string> SnapshotTree(const std::string& root);

// A registry file as sets of entries: key path (lower case) -> value name
// (lower case, "@" for the unnamed value) -> the value as REGEDIT4 spells it.
// A key without values maps to an empty set.
using RegEntries = std::map<std::string, std::map<std::string, std::string>>;
// Loads the file through the registry store (false when it cannot be read)
// and lists what it holds.
bool LoadRegistry(const std::string& path, RegEntries* entries);
RegEntries RegistryFromText(const std::string& text);
// The entries of part missing from, or different in, whole ("" when part is
// contained in whole).
std::string MissingEntries(const RegEntries& part, const RegEntries& whole);

// A copy of the directory tree from at to (which must not exist).
void CopyTree(const std::string& from, const std::string& to);

#endif
