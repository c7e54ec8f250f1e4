#!/usr/bin/env bash
# Installs what is missing, builds the Linux program and VSETUP.EXE, and runs
# the whole test suite.
set -euo pipefail
cd "$(dirname "$0")"

tools/install-deps.sh all
cmake --preset win32 >/dev/null
cmake --build --preset win32
# The same Windows sources for x86_64: the twin that 64-bit Wine runs where
# this machine refuses 32-bit programs.
cmake --preset win64 >/dev/null
cmake --build --preset win64
cmake --preset host >/dev/null
cmake --build --preset host
ctest --preset host

# The whole host suite again under AddressSanitizer and UndefinedBehaviorSanitizer,
# then every fuzz target for a bounded time (about a minute each).
cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
tools/run-fuzzers.sh 60

# The benchmark suite on small inputs: every case still runs and every output
# is right. Speed is judged by bench/run.sh, never here.
bench/run.sh --quick
