#!/usr/bin/env bash
# Installs the Debian packages that a build needs, only when some are missing.
#   tools/install-deps.sh demo   what the Linux program needs
#   tools/install-deps.sh all    everything the test suite needs as well
set -euo pipefail

demo=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-qpa-plugins fonts-liberation mtools)
all=("${demo[@]}" libmspack-dev mscompress libgtest-dev libgmock-dev xvfb xauth imagemagick
     g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32 clang libclang-rt-14-dev libbenchmark-dev
     libcreg-utils libparse-win32registry-perl python3 dosfstools dpkg-dev file)

case "${1:-all}" in
  demo) wanted=("${demo[@]}") ;;
  all) wanted=("${all[@]}") ;;
  *) echo "usage: $0 [demo|all]" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  if [ "$package" = wine32 ]; then
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
