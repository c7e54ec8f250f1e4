// What the robustness tests add to the shared fixtures: running the vsetup
// program with a preloaded library, and copies of directory trees.
#ifndef VSETUP_TESTS_ROBUST_SUPPORT_H
#define VSETUP_TESTS_ROBUST_SUPPORT_H

#include <string>
#include <vector>

#include "tests/test_support.h"

struct ChildOptions {
    std::vector<std::string> env;  // further NAME=VALUE settings
    std::string preload;           // a library for LD_PRELOAD
    // The exit code the run must end with (a sanitizer's report makes it
    // another), or -1 for any.
    int expectedExit = 0;
};

// Runs vsetup in batch mode from disk_dir into prefix, and fails the test
// when it does not end with options.expectedExit. A child killed by a signal
// gets exitCode 128 + the signal's number.
RunResult RunVsetup(const std::string& disk_dir, const std::string& prefix, const ChildOptions& options);

// A copy of the directory tree from at to (which must not exist).
void CopyTree(const std::string& from, const std::string& to);

#endif
