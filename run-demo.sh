#!/usr/bin/env bash
# Installs what is missing, builds vsetup and installs the example driver disk
# into a fresh demo prefix: in the wizard when there is a display, otherwise
# as a batch run. Then shows what was installed.
set -euo pipefail
top="$(cd "$(dirname "$0")" && pwd)"
cd "$top"

tools/install-deps.sh demo
cmake --preset demo >/dev/null
cmake --build --preset demo

prefix="$top/build/demo-prefix"
rm -rf "$prefix"
# The disk is drive A:, as a diskette would be.
mkdir -p "$prefix/dosdevices"
ln -s "$top/examples/disk1" "$prefix/dosdevices/a:"
export VSETUP_PREFIX="$prefix"
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  export VSETUP_UI=batch
  echo "No display: installing in batch mode. Transcript:"
fi
(cd examples/disk1 && "$top/build/demo/wizard/vsetup")

echo
echo "Installed into $prefix:"
(cd "$prefix" && find drive_c -type f -printf '  %-40p %8s bytes\n' | sort)
echo
echo "system.ini:"
sed 's/^/  /' "$prefix/drive_c/WINDOWS/system.ini" 2>/dev/null || echo "  (not written)"
echo
echo "registry.reg:"
sed 's/^/  /' "$prefix/registry.reg" 2>/dev/null || echo "  (not written)"
