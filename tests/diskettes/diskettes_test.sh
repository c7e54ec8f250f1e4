#!/bin/sh
# vsetup-diskettes: its findings on setup.dat, its refusals, and the images
# it makes read back with mtools and checked with fsck.fat.
#   diskettes_test.sh VSETUP_DISKETTES SOURCE_DIR [VSETUP.EXE]
set -eu
tool=$1 src=$2 exe=${3:-}
data=$src/tests/diskettes/data
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export MTOOLS_SKIP_CHECK=1
fail() { echo "FAIL: $*" >&2; exit 1; }

# expect CODE TEXT-IN-OUTPUT COMMAND...: the exit code and a line of output.
expect() {
    want=$1 text=$2; shift 2
    set +e; "$@" >"$work/out" 2>&1; code=$?; set -e
    [ "$code" = "$want" ] || { cat "$work/out"; fail "$* exited $code, not $want"; }
    [ -z "$text" ] || grep -qF -- "$text" "$work/out" || { cat "$work/out"; fail "$* did not say: $text"; }
}

# The findings, line by line, as the installer will read each setup.dat.
for name in lint nosections; do
    expect 1 "" "$tool" --check "$data/$name"
    diff -u "$data/$name.expected" "$work/out" || fail "findings on $name differ"
done
expect 1 "" "$tool" --check "$src/examples/disk1"
diff -u "$data/disk1.expected" "$work/out" || fail "findings on examples/disk1 differ"
printf '[WindowsDir]\r\n[SystemDir]\r\n[Prev.DelReg]\r\n[Driver.AddReg]\r\n' >"$work/clean.dat"
mkdir "$work/clean" && cp "$work/clean.dat" "$work/clean/SETUP.DAT"
expect 0 "" "$tool" --check "$work/clean"

# The refusals: nothing is written for any of them.
disk=$work/disk
cp -r "$src/examples/disk1" "$disk"
if [ -z "$exe" ]; then exe=$work/VSETUP.EXE; printf 'MZ stand-in' >"$exe"; fi
expect 1 "VSETUP.EXE is missing from $disk" "$tool" "$disk" "$work/none"
expect 1 "would make the installation fail; no image written" "$tool" --exe "$exe" "$data/lint" "$work/none"
mv "$disk/vorel3d.dl_" "$work/vorel3d.dl_"
expect 1 "setup.dat:41: vorel3d.dl_ is missing from $disk" "$tool" --exe "$exe" "$disk" "$work/none"
ln -s "$work/vorel3d.dl_" "$disk/vorel3d.dl_"
expect 1 "setup.dat:41: $disk/vorel3d.dl_ is not read: it is a link leading off $disk" \
    "$tool" --exe "$exe" "$disk" "$work/none"
rm "$disk/vorel3d.dl_" && mkfifo "$disk/vorel3d.dl_"
expect 1 "$disk/vorel3d.dl_ is not read: it is not a regular file" "$tool" --exe "$exe" "$disk" "$work/none"
rm "$disk/vorel3d.dl_"
head -c 1500000 /dev/zero >"$disk/VOREL3D.DL_"
expect 1 "disk 2's files do not fit on a 1.44 MB diskette: 42496 bytes too many" \
    "$tool" --exe "$exe" "$disk" "$work/none"
[ ! -e "$work/none" ] || fail "a refused run wrote $work/none"
rm "$disk/VOREL3D.DL_" && mv "$work/vorel3d.dl_" "$disk/vorel3d.dl_"

# Names are found and told apart as the installer does, by the Windows-1252
# case rules: \311 and \351 (E and e acute) are one letter, so one file.
mkdir "$work/fold" && printf x >"$work/fold/$(printf '\351t\351.drv')"
printf '[WindowsDir]\r\n1,\311T\311.DRV\r\n1,\351t\351.drv\r\n[SystemDir]\r\n[Prev.DelReg]\r\n[Driver.AddReg]\r\n' >"$work/fold/setup.dat"
expect 0 "disk 1, 3 files" "$tool" --exe "$exe" "$work/fold" "$work/fold/img"

# Root directory entries (long names take more) and subdirectory clusters:
# full fits to the last entry and cluster, crowded goes one over.
for name in full crowded; do
    mkdir -p "$work/$name/sub" && cp "$data/$name/setup.dat" "$work/$name/"
    sed -n 's/^[0-9],//p' "$data/$name/setup.dat" | tr '\\' / | (cd "$work/$name" && xargs touch)
    head -c 1448960 /dev/zero >"$work/$name/big.drv"
done
expect 1 "" "$tool" --exe "$exe" "$work/crowded" "$work/none"
grep -v '^setup.dat:' "$work/out" | diff -u "$data/crowded.expected" - || fail "crowded disks: other refusals"
expect 0 "" "$tool" --exe "$exe" "$work/full" "$work/full/img"
for n in 1 2; do fsck.fat -n "$work/full/img/disk$n.img" >"$work/fsck" || fail "full disk$n.img: $(cat "$work/fsck")"; done

# examples/disk1 as two diskettes, reached through a link: labels, contents,
# a clean file system. A stand-in mformat first puts a link to a file of the
# user's where the image is to be (as another user may): it is never followed.
ln -s disk "$work/disklink" && mkdir "$work/bin" && echo precious >"$work/victim"
printf '#!/bin/sh\nln -s %s "$2" 2>/dev/null\nexec %s "$@"\n' "$work/victim" "$(command -v mformat)" >"$work/bin/mformat"
chmod +x "$work/bin/mformat"
expect 0 "(cut to 11 characters)" env PATH="$work/bin:$PATH" "$tool" --exe "$exe" "$work/disklink" "$work/img"
[ "$(cat "$work/victim")" = precious ] || fail "an image was written through a link"
grep -qF "disk 2: the volume label \"VOREL DISPL\" is the same as disk 1's" "$work/out" || fail "no same-label note"
for n in 1 2; do
    img=$work/img/disk$n.img
    [ "$(stat -c %s "$img")" = 1474560 ] || fail "disk$n.img is not 1.44 MB"
    fsck.fat -n "$img" >"$work/fsck" 2>&1 || { cat "$work/fsck"; fail "fsck.fat finds fault with disk$n.img"; }
    [ "$(mlabel -s -i "$img" ::)" = " Volume label is VOREL DISPL" ] || fail "disk$n.img label: $(mlabel -s -i "$img" ::)"
    mkdir "$work/back$n" && mcopy -s -i "$img" '::*' "$work/back$n/"
done
# Disk 2 holds what the second diskette's lines name; both together hold the
# disk's files, byte for byte, and VSETUP.EXE.
[ "$(ls "$work/back2")" = vorel3d.dl_ ] || fail "disk 2 holds $(ls "$work/back2")"
cmp "$exe" "$work/back1/VSETUP.EXE" || fail "VSETUP.EXE differs on disk 1"
rm "$work/back1/VSETUP.EXE" && mv "$work/back2/vorel3d.dl_" "$work/back1/"
diff -r "$disk" "$work/back1" || fail "the diskettes do not hold the disk's files"
echo "vsetup-diskettes: findings, refusals and the two images of examples/disk1 as expected"
