#!/usr/bin/env bash
# Installs what is missing, builds the Linux program and VSETUP.EXE, and runs
# the whole test suite.
set -euo pipefail
cd "$(dirname "$0")"

tools/install-deps.sh all
cmake --preset win32 >/dev/null
cmake --build --preset win32
cmake --preset host >/dev/null
cmake --build --preset host
ctest --preset host
