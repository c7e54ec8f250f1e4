#!/bin/sh
# The installed program.
#   install_test.sh BUILD staged   cmake --install into a staging directory;
#                                  the staged vsetup answers --version and
#                                  installs the staged example disk
#   install_test.sh BUILD deb [WIN32_DIR]
#                                  the Debian package holds what it must
#                                  (VSETUP.EXE when the build was configured
#                                  with the Windows build WIN32_DIR, else not),
#                                  and lintian finds nothing wrong with it
set -eu
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

case $2 in
staged)
    DESTDIR=$work/stage cmake --install "$build" --prefix /usr >/dev/null
    usr=$work/stage/usr
    "$usr/bin/vsetup" --version | grep -qx 'vsetup [0-9][0-9.]*' || fail "--version"
    "$usr/bin/vsetup" --help | grep -q '^Usage: vsetup' || fail "--help"
    [ -f "$usr/share/man/man1/vsetup.1.gz" ] || fail "no man page"
    disk=$usr/share/doc/vsetup/examples/disk1
    mkdir -p "$work/prefix/dosdevices"
    ln -s "$disk" "$work/prefix/dosdevices/a:"
    (cd "$disk" && VSETUP_PREFIX=$work/prefix VSETUP_UI=batch "$usr/bin/vsetup" ignored -style fusion) >"$work/out"
    golden=$(dirname "$0")/golden/example-disk/expect
    cmp "$work/out" "$golden/transcript.jsonl" || fail "the staged example disk installs otherwise"
    cmp "$work/prefix/registry.reg" "$golden/prefix/registry.reg" || fail "registry.reg differs"
    ;;
deb)
    cmake --build "$build" --target package >/dev/null
    deb=$(ls "$build"/vsetup_*.deb)
    dpkg-deb -c "$deb" | awk '{print $6}' >"$work/list"
    for file in ./usr/bin/vsetup ./usr/bin/vsetup-diskettes ./usr/share/man/man1/vsetup.1.gz ./usr/share/doc/vsetup/examples/disk1/setup.dat; do
        grep -qx "$file" "$work/list" || fail "$file is not in the package"
    done
    exe=./usr/share/vsetup/VSETUP.EXE
    if [ -n "${3-}" ]; then
        grep -qx "$exe" "$work/list" || fail "$exe is not in the package"
    elif grep -qx "$exe" "$work/list"; then
        fail "$exe is in the package of a build configured without the Windows build"
    fi
    lintian --fail-on error,warning "$deb" >"$work/lintian" 2>&1 || fail "lintian: $(cat "$work/lintian")"
    dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6.*mtools\|mtools.*libqt6widgets6' || fail "no dependency on Qt: $(dpkg-deb -f "$deb" Depends)"
    ;;
*) fail "usage: $0 BUILD staged|deb" ;;
esac
echo ok
