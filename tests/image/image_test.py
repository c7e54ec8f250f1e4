#!/usr/bin/env python3
"""vsetup with a hard-disk image as its prefix, checked with mtools and
fsck.fat against the same installation into a directory prefix.

    image_test.py VSETUP SOURCE_DIR KILL_SHIM
"""

import fcntl
import filecmp
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

VSETUP, SOURCE, SHIM = sys.argv[1:4]
DISK = os.path.join(SOURCE, "examples", "disk1")
WORK = tempfile.mkdtemp(prefix="vsetup-image-test-")
ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1", LC_ALL="C")
START = 63  # the partition's first sector
SYSTEM_INI = b"[boot]\r\nshell=Explorer.exe\r\n[boot.description]\r\ndisplay.drv=Standard VGA\r\n"


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def run(args, **kw):
    return subprocess.run(args, env=kw.pop("env", ENV), stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)


def mbr(entries):
    """A master boot record with (type, first sector, sectors) entries."""
    data = bytearray(512)
    for i, (kind, first, count) in enumerate(entries):
        data[446 + 16 * i:462 + 16 * i] = bytes([0, 1, 1, 0, kind, 0xFE, 0xFF, 0xFF]) + struct.pack("<II", first, count)
    data[510:512] = b"\x55\xaa"
    return bytes(data)


def make_image(path, form="mbr", megabytes=32, windows=True):
    """A disk with Windows' directories and SYSTEM.INI, copied in by mcopy."""
    size = megabytes * 1024 * 1024
    offset = 0 if form == "bare" else START * 512
    with open(path, "wb") as f:
        if form != "bare":
            f.write(mbr([(0x06, START, size // 512 - START)]))
        f.truncate(size)
    spec = "%s@@%d" % (path, offset)
    run(["mformat", "-i", spec, "-T", str((size - offset) // 512), "-h", "16", "-s", "63", "-H", str(offset // 512),
         "::"], check=True)
    if windows:
        with open(os.path.join(WORK, "SYSTEM.INI"), "wb") as f:
            f.write(SYSTEM_INI)
        run(["mmd", "-i", spec, "::/WINDOWS", "::/WINDOWS/SYSTEM"], check=True)
        run(["mcopy", "-i", spec, os.path.join(WORK, "SYSTEM.INI"), "::/WINDOWS/SYSTEM.INI"], check=True)
    if form == "vhd":
        footer = bytearray(512)
        footer[0:8] = b"conectix"
        footer[60:64] = struct.pack(">I", 2)
        with open(path, "ab") as f:
            f.write(footer)
    return spec


def vsetup(prefix, extra_env=None):
    env = dict(os.environ, VSETUP_UI="batch", VSETUP_PREFIX=prefix, **(extra_env or {}))
    return run([VSETUP], cwd=DISK, env=env)


def fsck(path, offset=START * 512):
    """fsck.fat -n on the partition, copied out of the disk."""
    part = os.path.join(WORK, "part.img")
    with open(path, "rb") as src, open(part, "wb") as dst:
        src.seek(offset)
        shutil.copyfileobj(src, dst)
    result = run(["fsck.fat", "-n", part])
    if result.returncode != 0:
        fail("fsck.fat -n finds fault with %s:\n%s" % (path, result.stdout.decode()))


def read_back(spec, into):
    shutil.rmtree(into, ignore_errors=True)
    os.makedirs(into)
    run(["mcopy", "-s", "-n", "-i", spec, "::/WINDOWS", into], check=True)
    return os.path.join(into, "WINDOWS")


def tree(root):
    """Path (lower case) -> bytes of every file below root."""
    found = {}
    for base, _, files in os.walk(root):
        for name in files:
            path = os.path.join(base, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, root).lower()] = f.read()
    return found


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def main():
    # The reference: the same installation into a directory prefix.
    reference = os.path.join(WORK, "prefix")
    os.makedirs(os.path.join(reference, "drive_c", "WINDOWS", "SYSTEM"))
    with open(os.path.join(reference, "drive_c", "WINDOWS", "SYSTEM.INI"), "wb") as f:
        f.write(SYSTEM_INI)
    want = vsetup(reference)
    if want.returncode != 0:
        fail("directory prefix: %s" % want.stderr.decode())
    want_tree = tree(os.path.join(reference, "drive_c", "WINDOWS"))
    with open(os.path.join(reference, "registry.reg"), "rb") as f:
        want_registry = f.read()

    # Each supported form: the same transcript, files, system.ini and registry.
    for form in ("mbr", "bare", "vhd"):
        image = os.path.join(WORK, form + ".img")
        spec = make_image(image, form)
        size = os.path.getsize(image)
        got = vsetup(image)
        if got.returncode != 0 or got.stdout != want.stdout:
            fail("%s: exit %d, transcript differs:\n%s%s" % (form, got.returncode, got.stdout.decode(),
                                                               got.stderr.decode()))
        if tree(read_back(spec, os.path.join(WORK, "back"))) != want_tree:
            fail("%s: the installed files differ from the directory prefix's" % form)
        with open(image + ".registry.reg", "rb") as f:
            if f.read() != want_registry:
                fail("%s: the registry differs from the directory prefix's" % form)
        if os.path.getsize(image) != size:
            fail("%s: the image grew" % form)
        fsck(image, 0 if form == "bare" else START * 512)
    print("mbr, bare and vhd images: as the directory prefix, fsck.fat clean")

    # What is not supported: a clear message, an untouched image.
    forms = {
        "qcow2": (b"QFI\xfb" + bytes(508), "qemu-img convert -O raw"),
        "vdi": (b"<<< Oracle VM VirtualBox Disk Image >>>\n".ljust(64, b"\0") + struct.pack("<I", 0xBEDA107F)
                + bytes(444), "qemu-img convert -O raw"),
        "vmdk": (b"KDMV" + bytes(508), "qemu-img convert -O raw"),
        "dynamic-vhd": (b"conectix" + bytes(52) + struct.pack(">I", 3) + bytes(448), "qemu-img convert -O raw"),
        "gpt": (mbr([(0xEE, 1, 100000)]), "GPT partition table"),
        "no-fat": (mbr([(0x83, START, 100000)]), "no FAT12, FAT16 or FAT32 partition"),
    }
    for name, (head, message) in forms.items():
        image = os.path.join(WORK, name + ".img")
        with open(image, "wb") as f:
            f.write(head)
            f.truncate(1024 * 1024)
        if name == "dynamic-vhd":
            with open(image, "ab") as f:
                f.write(head)
        check_refused(name, image, message)
    image = os.path.join(WORK, "no-windows.img")
    make_image(image, windows=False)
    check_refused("no WINDOWS", image, "has no WINDOWS directory")
    image = os.path.join(WORK, "full.img")
    spec = make_image(image, megabytes=1)
    listing = run(["mdir", "-i", spec, "::/"], check=True).stdout.decode()
    free = int(listing.rsplit(" bytes free", 1)[0].rsplit("\n", 1)[1].replace(" ", ""))
    with open(os.path.join(WORK, "filler"), "wb") as f:
        f.write(bytes(free - 20 * 1024))  # the driver needs more than the 20 KB left
    run(["mcopy", "-i", spec, os.path.join(WORK, "filler"), "::/FILLER"], check=True)
    check_refused("full", image, "is too full for the installed files: ")
    print("unsupported forms, no WINDOWS directory, a full partition: refused, image untouched")

    # A second run waits for the first: here, for the test's own lock.
    image = os.path.join(WORK, "locked.img")
    make_image(image)
    with open(image, "rb") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        waiting = subprocess.Popen([VSETUP], cwd=DISK, env=dict(os.environ, VSETUP_UI="batch", VSETUP_PREFIX=image),
                                   stdout=subprocess.DEVNULL)
        time.sleep(1)
        if waiting.poll() is not None:
            fail("a run did not wait for the image's lock")
    if waiting.wait(60) != 0:
        fail("the waiting run failed")
    print("a second run waits for the image's lock")

    kill_points(want_tree, want_registry)
    shutil.rmtree(WORK)


def check_refused(name, image, message):
    before = digest(image)
    got = vsetup(image)
    if got.returncode == 0 or message not in got.stderr.decode():
        fail("%s: exit %d, wanted a message with %r: %s" % (name, got.returncode, message, got.stderr.decode()))
    if digest(image) != before or os.path.exists(image + ".registry.reg"):
        fail("%s: the image or its registry was touched" % name)


# Stands in for each mtools command: counts it, and before the one whose
# number is in kill-at, kills vsetup, as a kill between two changes of the
# file system would.
MTOOLS_WRAPPER = """#!/bin/sh
here=$(dirname "$0")
n=$(( $(cat "$here/count") + 1 )); echo $n >"$here/count"
[ "$n" = "$(cat "$here/kill-at")" ] && kill -9 $PPID && exit 1
exec /usr/bin/$(basename "$0") "$@"
"""


def kill_points(want_tree, want_registry):
    """Killed at each file operation of its own and before each mtools
    command, the run leaves a clean file system whose files are each whole
    and old or whole and new; a run afterwards completes the installation."""
    pristine = os.path.join(WORK, "pristine.img")
    make_image(pristine)
    wrappers = os.path.join(WORK, "bin")
    os.makedirs(wrappers)
    for tool in ("mcopy", "mmove", "mdel", "mmd", "mdir"):
        with open(os.path.join(wrappers, tool), "w") as f:
            f.write(MTOOLS_WRAPPER)
        os.chmod(os.path.join(wrappers, tool), 0o755)
    mtools_env = lambda at: {"PATH": wrappers + os.pathsep + os.environ["PATH"]}

    def counting(at):
        for name, value in (("count", 0), ("kill-at", at)):
            with open(os.path.join(wrappers, name), "w") as f:
                f.write("%d\n" % value)

    log = os.path.join(WORK, "calls.log")
    image = os.path.join(WORK, "killed.img")
    shutil.copy(pristine, image)
    counting(0)
    vsetup(image, dict(mtools_env(0), LD_PRELOAD=SHIM, ROBUST_LOG=log, ROBUST_NO_SYNC="1"))
    with open(log) as f:
        calls = len(f.readlines())
    with open(os.path.join(wrappers, "count")) as f:
        commands = int(f.read())
    points = [{"LD_PRELOAD": SHIM, "ROBUST_KILL_AT": str(n), "ROBUST_NO_SYNC": "1"} for n in range(1, calls + 1)]
    points += [dict(mtools_env(n), MTOOLS_KILL=str(n)) for n in range(1, commands + 1)]
    check_kill_points(pristine, image, points, want_tree, want_registry)
    counting(0)
    print("%d kill points in vsetup's own file operations, %d before mtools commands: fsck.fat clean, "
          "files whole, a second run completes" % (calls, commands))


def check_kill_points(pristine, image, points, want_tree, want_registry):
    spec_of = lambda path: "%s@@%d" % (path, START * 512)
    old_tree = tree(read_back(spec_of(pristine), os.path.join(WORK, "old")))
    wrappers = os.path.join(WORK, "bin")
    for point, env in enumerate(points, 1):
        shutil.copy(pristine, image)
        if os.path.exists(image + ".registry.reg"):
            os.remove(image + ".registry.reg")
        for name, value in (("count", 0), ("kill-at", int(env.pop("MTOOLS_KILL", 0)))):
            with open(os.path.join(wrappers, name), "w") as f:
                f.write("%d\n" % value)
        vsetup(image, env)
        with open(os.path.join(wrappers, "kill-at"), "w") as f:
            f.write("0\n")
        fsck(image)
        for path, data in tree(read_back(spec_of(image), os.path.join(WORK, "back"))).items():
            if data != want_tree.get(path) and data != old_tree.get(path) and not path.endswith(".tmp"):
                fail("kill point %d: %s is neither old nor new" % (point, path))
        if os.path.exists(image + ".registry.reg"):
            with open(image + ".registry.reg", "rb") as f:
                if f.read() != want_registry:
                    fail("kill point %d: the registry beside the image is torn" % point)
        vsetup(image)
        fsck(image)
        back = tree(read_back(spec_of(image), os.path.join(WORK, "back")))
        if {k: v for k, v in back.items() if not k.endswith(".tmp")} != want_tree:
            fail("kill point %d: the run afterwards did not complete the installation" % point)


if __name__ == "__main__":
    main()
