#!/bin/sh
# Makes the driver disk in disk1/ from the plain files in src/: compresses
# the files the copy lists name with a "_" extension using mscompress, copies
# the plain ones, and checks that setup.dat's SizeInKB is the figure that
# ends the progress bar at 100. mscompress is deterministic, so running this reproduces the
# committed disk byte for byte.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
src=$here/src
disk=$here/disk1

command -v mscompress >/dev/null 2>&1 || {
    echo "make-disk.sh: mscompress is needed (Debian package mscompress)" >&2
    exit 1
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# pack SOURCE TARGET: compress src/SOURCE into disk1/TARGET. mscompress
# names its output SOURCE_; the disk uses the 8.3 form with the last
# character of the extension replaced by "_".
pack() {
    cp "$src/$1" "$work/$1"
    (cd "$work" && mscompress "$1")
    mkdir -p "$(dirname "$disk/$2")"
    mv "$work/$1_" "$disk/$2"
}

pack vorel.inf    vorel.in_
pack readme.txt   readme.tx_
pack vorel.hlp    vorel.hl_
pack vorel.reg    vorel.re_
pack VORELMON.EXE VORELMON.EX_
pack vorel.drv    vorel.dr_
pack VOREL.VXD    VOREL.VX_
pack vorelui.dll  vorelui.dl_
pack vorelx.dll   win/vorelx.dl_
pack vorel3d.dll  vorel3d.dl_
pack vorel.dat    vorel.da_
cp "$src/vorel.cpl" "$disk/vorel.cpl"

# Every file in src/ is installed once. Setup counts each copied file as its
# expanded size rounded up to a multiple of 2048 bytes and shows
# counted * 100 / (SizeInKB * 1000) percent, cut to a whole number; the bar
# ends at its end when SizeInKB is the counted total in units of 1000 bytes,
# rounded down (the bar's last position is then 100 as long as the part cut
# off is under 1 percent of the total).
counted=0
for file in "$src"/*; do
    size=$(wc -c < "$file")
    counted=$(( counted + (size + 2047) / 2048 * 2048 ))
done
expected=$(( counted / 1000 ))
if [ $(( counted * 100 / (expected * 1000) )) != 100 ]; then
    echo "make-disk.sh: no SizeInKB ends the bar at 100 for $counted counted bytes" >&2
    exit 1
fi
listed=$(sed -n 's/^SizeInKB=\([0-9]*\).*/\1/p' "$disk/setup.dat")
if [ "$listed" != "$expected" ]; then
    echo "make-disk.sh: setup.dat says SizeInKB=$listed, the progress bar needs $expected ($counted bytes counted)" >&2
    exit 1
fi
echo "disk1/ made: $counted bytes counted for progress, SizeInKB=$expected"
