#!/usr/bin/env bash
# Installs the Debian packages that a build needs, only when some are missing.
#   tools/install-deps.sh demo   what the Linux program needs
#   tools/install-deps.sh all    everything the test suite needs as well
set -euo pipefail

# Each package is here for a command that the build or the tests run, or a
# library they link: xauth for xvfb-run, dpkg-dev for the package's
# dependency list (dpkg-shlibdeps), libcreg-utils and
# libparse-win32registry-perl for the SYSTEM.DAT oracles, qemu-utils for
# disk images in the forms QEMU writes.
demo=(cmake ninja-build g++ qt6-base-dev qt6-qpa-plugins fonts-liberation mtools qemu-utils)
all=("${demo[@]}" libmspack-dev mscompress libgtest-dev xvfb xauth
     g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
     wine wine64 wine32 clang libclang-rt-14-dev
     libcreg-utils libparse-win32registry-perl python3 dosfstools dpkg-dev lintian)

# Whether this machine runs 32-bit x86 programs, found by running one: the
# smallest i386 Linux program, which only exits.
runs_32_bit() {
  local program
  program=$(mktemp) || return 1
  printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000'\
'\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000'\
'\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\135\000\000\000'\
'\135\000\000\000\005\000\000\000\000\020\000\000\270\001\000\000\000\061\333\315\200' >"$program"
  chmod +x "$program"
  local status=0
  "$program" 2>/dev/null || status=1
  rm -f "$program"
  return $status
}

case "${1:-all}" in
  demo) wanted=("${demo[@]}") ;;
  all) wanted=("${all[@]}") ;;
  *) echo "usage: $0 [demo|all]" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  if [ "$package" = wine32 ]; then
    if ! runs_32_bit; then
      echo "install-deps: leaving out wine32:i386, since this machine refuses 32-bit programs; the Wine tests run the 64-bit twin"
      continue
    fi
    dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'ok installed' || missing+=(wine32:i386)
    continue
  fi
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
