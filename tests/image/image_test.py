#!/usr/bin/env python3
# vsetup with a hard-disk image as its prefix, checked with mtools and
# fsck.fat against the same installation into a directory prefix.
#
#     image_test.py VSETUP SOURCE_DIR KILL_SHIM

import fcntl
import os
import re
import resource
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

from qemu_forms import FORMS, identity, make_form, qemu_img

VSETUP, SOURCE, SHIM = sys.argv[1:4]
DISK = os.path.join(SOURCE, "examples", "disk1")
WORK = tempfile.mkdtemp(prefix="vsetup-image-test-")
ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1", LC_ALL="C", TMPDIR=WORK)  # killed runs leave their staging here
START = 63  # the partition's first sector
# Every STRIDE-th kill point, failing command and room size only: the
# sanitized pass walks the same paths with fewer runs.
STRIDE = int(os.environ.get("VSETUP_IMAGE_TEST_STRIDE", "1"))
# Every kill point and failing command of the forms QEMU writes, not only
# those of the write-back's steps.
FULL = os.environ.get("VSETUP_IMAGE_TEST_FULL") == "1"
SYSTEM_INI = b"[boot]\r\nshell=Explorer.exe\r\n[boot.description]\r\ndisplay.drv=Standard VGA\r\n"


def check(condition, message):
    if not condition:
        sys.exit("FAIL: " + message)


def run(args, **kw):
    return subprocess.run(args, env=kw.pop("env", ENV), stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)


def make_image(path, form="mbr", megabytes=32, windows=True, ini=True):
    # A disk with Windows' directories and SYSTEM.INI, copied in by mcopy.
    size = megabytes * 1024 * 1024
    offset = 0 if form == "bare" else START * 512
    with open(path, "wb") as f:
        if form != "bare":  # one FAT16 partition in the MBR
            f.write(bytes(446) + bytes([0, 1, 1, 0, 6, 254, 255, 255]) + struct.pack("<II", START, size // 512 - START))
            f.write(bytes(48) + b"\x55\xaa")
        f.truncate(size)
    mdrive = "%s@@%d" % (path, offset)
    run(["mformat", "-i", mdrive, "-T", str((size - offset) // 512), "-h", "16", "-s", "63", "-H", str(offset // 512),
         "::"], check=True)
    if windows:
        with open(os.path.join(WORK, "SYSTEM.INI"), "wb") as f:
            f.write(SYSTEM_INI)
        run(["mmd", "-i", mdrive, "::/WINDOWS", "::/WINDOWS/SYSTEM"], check=True)
    if windows and ini:
        run(["mcopy", "-i", mdrive, os.path.join(WORK, "SYSTEM.INI"), "::/WINDOWS/SYSTEM.INI"], check=True)
    if form == "vhd":
        footer = bytearray(512)
        footer[0:8] = b"conectix"
        footer[60:64] = struct.pack(">I", 2)
        with open(path, "ab") as f:
            f.write(footer)
    return mdrive


def vsetup(prefix, extra_env=None, disk=DISK):
    env = dict(os.environ, VSETUP_UI="batch", VSETUP_PREFIX=prefix, **(extra_env or {}))
    return run([VSETUP], cwd=disk, env=env)


def odd_disk(name, files):
    # The example disk with more files for the Windows directory.
    disk = os.path.join(WORK, name)
    shutil.copytree(DISK, disk)
    for file, data in files.items():
        with open(os.path.join(disk, file), "wb") as f:
            f.write(data)
    with open(os.path.join(disk, "setup.dat"), "rb") as f:
        text = f.read().replace(b"1,VORELMON.EX_\r\n", b"1,VORELMON.EX_\r\n" + b"".join(b"1,%s\r\n" % n.encode() for n in files))
    with open(os.path.join(disk, "setup.dat"), "wb") as f:
        f.write(text)
    return disk


def fill(mdrive, leave):
    # Fills the partition with a file that leaves `leave` bytes free.
    listing = run(["mdir", "-i", mdrive, "::/"], check=True).stdout.decode()
    free = int(listing.rsplit(" bytes free", 1)[0].rsplit("\n", 1)[1].replace(" ", ""))
    with open(os.path.join(WORK, "filler"), "wb") as f:
        f.write(bytes(free - leave))
    run(["mcopy", "-i", mdrive, os.path.join(WORK, "filler"), "::/FILLER"], check=True)


def state(mdrive):
    # What a user of the image sees: names, sizes, dates, attributes, room and contents.
    listing = run(["mdir", "-/", "-a", "-i", mdrive, "::/"]).stdout + run(["mattrib", "-/", "-i", mdrive, "::/"]).stdout
    return listing, tree(read_back(mdrive, os.path.join(WORK, "state")))


def fsck(path, offset=START * 512):
    # fsck.fat -n on the partition, copied out of the disk.
    part = os.path.join(WORK, "part.img")
    with open(path, "rb") as src, open(part, "wb") as dst:
        src.seek(offset)
        shutil.copyfileobj(src, dst)
    result = run(["fsck.fat", "-n", part])
    check(result.returncode == 0, "fsck.fat -n finds fault with %s:\n%s" % (path, result.stdout.decode()))


def read_back(mdrive, into):
    shutil.rmtree(into, ignore_errors=True)
    os.makedirs(into)
    run(["mcopy", "-s", "-n", "-i", mdrive, "::/WINDOWS", into], check=True)
    return os.path.join(into, "WINDOWS")


def tree(root):
    # Path (lower case) -> bytes of every file below root.
    found = {}
    for base, _, files in os.walk(root):
        for name in files:
            path = os.path.join(base, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, root).lower()] = f.read()
    return found


def digest(path):
    with open(path, "rb") as f:
        return f.read()


def main():
    # The reference: the same installation into a directory prefix.
    reference = os.path.join(WORK, "prefix")
    os.makedirs(os.path.join(reference, "drive_c", "WINDOWS", "SYSTEM"))
    with open(os.path.join(reference, "drive_c", "WINDOWS", "SYSTEM.INI"), "wb") as f:
        f.write(SYSTEM_INI)
    want = vsetup(reference)
    check(want.returncode == 0, "directory prefix: %s" % want.stderr.decode())
    want_tree = tree(os.path.join(reference, "drive_c", "WINDOWS"))
    with open(os.path.join(reference, "registry.reg"), "rb") as f:
        want_registry = f.read()

    # Each supported form: the same transcript, files, system.ini and registry.
    for form in ("mbr", "bare", "vhd"):
        image = os.path.join(WORK, form + ".img")
        mdrive = make_image(image, form)
        size = os.path.getsize(image)
        got = vsetup(image)
        check(got.returncode == 0 and got.stdout == want.stdout,
              "%s: exit %d, transcript differs:\n%s%s" % (form, got.returncode, got.stdout.decode(), got.stderr.decode()))
        check(tree(read_back(mdrive, os.path.join(WORK, "back"))) == want_tree, form + ": the files differ")
        with open(image + ".registry.reg", "rb") as f:
            check(f.read() == want_registry, form + ": the registry differs from the directory prefix's")
        check(os.path.getsize(image) == size, form + ": the image grew")
        fsck(image, 0 if form == "bare" else START * 512)
    print("mbr, bare and vhd images: as the directory prefix, fsck.fat clean")
    qemu_forms(want, want_tree)

    # Windows' directories and not one file: mtools has no attributes to list.
    make_image(os.path.join(WORK, "empty.img"), "bare", ini=False)
    got = vsetup(os.path.join(WORK, "empty.img"))
    check(got.returncode == 0, "directories only: exit %d: %s" % (got.returncode, got.stderr.decode()))

    # With the system's own SYSTEM.DAT: the registry as the directory run
    # into the same SYSTEM.DAT leaves it, with its attributes kept.
    creg = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "golden", "creg-install")
    image = os.path.join(WORK, "creg.img")
    mdrive = make_image(image)
    run(["mcopy", "-i", mdrive, os.path.join(creg, "prefix", "drive_c", "WINDOWS", "SYSTEM.DAT"), "::/WINDOWS"],
        check=True)
    run(["mattrib", "-i", mdrive, "+r", "+s", "+h", "::/WINDOWS/SYSTEM.DAT"], check=True)
    got = vsetup(image)
    check(got.returncode == 0 and not os.path.exists(image + ".registry.reg"), "SYSTEM.DAT: %s" % got.stderr)
    with open(os.path.join(creg, "expect", "prefix", "drive_c", "WINDOWS", "SYSTEM.DAT"), "rb") as f:
        check(run(["mtype", "-i", mdrive, "::/WINDOWS/SYSTEM.DAT"]).stdout == f.read(), "SYSTEM.DAT differs")
    check("SHR" in run(["mattrib", "-i", mdrive, "::/WINDOWS/SYSTEM.DAT"]).stdout.decode(), "attributes lost")
    fsck(image)
    print("an image with SYSTEM.DAT: the registry written into it, its attributes kept")

    # What is not supported: a clear message, an untouched image.
    data = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
    with open(os.path.join(data, "refusals.txt")) as f:
        for name, message, *make in (line.rstrip("\n").split("\t") for line in f if not line.startswith("#")):
            if make:
                run(["qemu-img"] + make[0].split(), cwd=WORK, check=True)
            else:
                shutil.copy(os.path.join(data, name), os.path.join(WORK, name))
            check_refused(name, os.path.join(WORK, name), message)
    image = os.path.join(WORK, "no-windows.img")
    make_image(image, windows=False)
    check_refused("no WINDOWS", image, "has no WINDOWS directory")
    image = os.path.join(WORK, "full.img")
    fill(make_image(image, megabytes=1), 20 * 1024)  # the driver needs more than the 20 KB left
    check_refused("full", image, "is too full for the installed files: ")
    print("unsupported forms, no WINDOWS directory, a full partition: refused, image untouched")

    # What would fail halfway is found before anything is written: a
    # device's name, a directory where a file goes, read-only files and
    # images, a registry beside the image that cannot be written.
    cases = [("NUL", "", "NUL is the name of a device"),
             ("mmd", "::/WINDOWS/SYSTEM/vorel.drv", "vorel.drv is a directory"),
             ("+r", "::/WINDOWS/SYSTEM.INI", "SYSTEM.INI is read-only"),
             ("+r", "::/WINDOWS/SYSTEM/vorel.drv", "vorel.drv is read-only"),
             ("0444", "", "is read-only"),
             ("name", "", "cannot write the registry")]
    for number, (how, path, message) in enumerate(cases):
        # 240 bytes: the registry's name beside the image fits, a temporary's does not.
        image = os.path.join(WORK, "%d-" % number + ("r" * 234 if how == "name" else "") + ".img")
        mdrive = make_image(image)
        if how == "+r":
            run(["mcopy", "-o", "-i", mdrive, os.path.join(WORK, "SYSTEM.INI"), path], check=True)
            run(["mattrib", "-i", mdrive, "+r", path], check=True)
        if how == "mmd":
            run(["mmd", "-i", mdrive, path], check=True)
        if how == "0444":
            os.chmod(image, 0o444)
        check_refused(how, image, message, odd_disk("nul", {"NUL": b"x"}) if how == "NUL" else DISK)

    # A start that fails removes its staging copy and names the image.
    image = os.path.join(WORK, "broken-registry.img")
    with open(os.path.join(WORK, "SYSTEM.DAT"), "wb") as f:
        f.write(b"not a registry")
    run(["mcopy", "-i", make_image(image), os.path.join(WORK, "SYSTEM.DAT"), "::/WINDOWS"], check=True)
    got = vsetup(image, {"TMPDIR": WORK})
    check(got.returncode == 1 and "C:\\WINDOWS\\SYSTEM.DAT in the disk image " + image in got.stderr.decode() and
          not [name for name in os.listdir(WORK) if name.startswith("vsetup-image-")],
          "a failed start: exit %d, its staging copy left, or the image not named: %s" % (got.returncode, got.stderr))

    # A run whose registry.reg reaches a file size limit puts nothing into the image.
    image = os.path.join(WORK, "limited.img")
    make_image(image, "bare", megabytes=1)
    with open(image + ".registry.reg", "wb") as f:
        f.write(b'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Seed]\r\n"Pad"="' + b"x" * 14500 + b'"\r\n\r\n')
    before = digest(image), digest(image + ".registry.reg")
    got = run([VSETUP], cwd=DISK, env=dict(os.environ, VSETUP_UI="batch", VSETUP_PREFIX=image), preexec_fn=limit)
    check(got.returncode == 1 and (digest(image), digest(image + ".registry.reg")) == before,
          "a registry that cannot be written: exit %d, or the image was written: %s" % (got.returncode, got.stderr))
    print("device names, directories, read-only files and images, an unwritable registry, a failed start: "
          "refused, image untouched")

    # "@@" in the image's path, with another disk at the path before it.
    image, decoy, plain = (os.path.join(WORK, name) for name in ("vm@@0", "vm", "plain.img"))
    make_image(decoy, "bare")
    mdrive, before = make_image(plain, "bare"), digest(decoy)
    os.rename(plain, image)
    got = vsetup(image)
    os.rename(image, plain)
    check(got.returncode == 0 and digest(decoy) == before and tree(read_back(mdrive, os.path.join(WORK, "back"))) == want_tree,
          "an image named vm@@0: exit %d, or the disk vm was written: %s" % (got.returncode, got.stderr.decode()))

    # A file larger than 16 MB goes in as into a directory prefix.
    big = bytes(range(256)) * (17 << 12)
    got = vsetup(plain, disk=odd_disk("big", {"BIG.BIN": big}))
    check(got.returncode == 0 and tree(read_back(mdrive, os.path.join(WORK, "back")))["big.bin"] == big,
          "a 17 MB file: exit %d: %s" % (got.returncode, got.stderr.decode()))
    print("an image with \"@@\" in its name, a 17 MB file: installed")

    # Directory growth: with each amount of room around what 40 more files
    # take, they go in whole or the image is as it was.
    disk = odd_disk("long-names", {"longname-%02d-of-the-directory-growth-sweep.txt" % i: b"x" for i in range(40)})
    image = os.path.join(WORK, "growth.img")
    mdrive = make_image(image)
    cluster = 512 * int(re.search(r"cluster size: (\d+)", run(["minfo", "-i", mdrive, "::"]).stdout.decode()).group(1))
    files = sum((len(data) + cluster - 1) // cluster for data in want_tree.values()) + 40
    outcomes = set()
    for leave in range(files, files + 30, 2 * STRIDE):
        make_image(image)
        fill(mdrive, leave * cluster)
        before = state(mdrive)
        got = vsetup(image, disk=disk)
        outcomes.add(got.returncode)
        after = state(mdrive)
        check(after == before if got.returncode == 1 else len(after[1]) == len(want_tree) + 40,
              "%d clusters free: exit %d, the image is half written: %s" % (leave, got.returncode, got.stderr.decode()))
        fsck(image)
    check(outcomes == {0, 1}, "the room tried was too little or too much: %s" % outcomes)
    print("40 long names with %d to %d clusters free: all or nothing" % (files, files + 28))

    # A second run waits for the first: here, for the test's own lock.
    image = os.path.join(WORK, "locked.img")
    make_image(image)
    with open(image, "rb") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        waiting = subprocess.Popen([VSETUP], cwd=DISK, env=dict(os.environ, VSETUP_UI="batch", VSETUP_PREFIX=image),
                                   stdout=subprocess.DEVNULL)
        time.sleep(1)
        check(waiting.poll() is None, "a run did not wait for the image's lock")
    check(waiting.wait(60) == 0, "the waiting run failed")
    print("a second run waits for the image's lock")

    for upgrade, form in [(False, None), (True, None)] + [(True, form) for form in FORMS]:
        kill_points(want_tree, want_registry, upgrade, form)
    shutil.rmtree(WORK)


def raw_view(image):
    # The virtual disk of an image QEMU reads, as a raw disk beside it.
    qemu_img("convert", "-O", "raw", image, image + ".raw")
    return image + ".raw"


def qemu_forms(want, want_tree):
    # The example installation into each: the transcript and files of the
    # directory prefix, fsck.fat and qemu-img check clean, the image's
    # identity, its snapshot and its backing file as they were.
    for number, form in enumerate(FORMS):
        image, raw, name = os.path.join(WORK, "qemu-%d" % number), os.path.join(WORK, "qemu.raw"), FORMS[form][0]
        make_image(raw)
        before = identity(make_form(form, raw, image), form)
        got = vsetup(image)
        check(got.returncode == 0 and got.stdout == want.stdout, "%s: exit %d: %s" % (name, got.returncode, got.stderr))
        check(tree(read_back("%s@@%d" % (raw_view(image), START * 512), os.path.join(WORK, "back"))) == want_tree,
              name + ": the files differ")
        fsck(raw_view(image))
        checked = run(["qemu-img", "check", image])  # exit 63: QEMU has no check for the form (VHD)
        check(checked.returncode in (0, 63), "%s: qemu-img check: %s" % (name, checked.stdout + checked.stderr))
        check(identity(image, form) == before, "%s: the image's identity, snapshot or backing file changed" % name)
    print("qcow2 with a snapshot and over a backing file, VDI, VMDK, flat VMDK, dynamic VHD: as the directory prefix, "
          "fsck.fat and qemu-img check clean, identity kept")

    # Held open for writing, as by a virtual machine that runs: refused.
    image = os.path.join(WORK, "qemu-0")
    os.remove(image + ".registry.reg")
    holder = subprocess.Popen(["qemu-io", image], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    holder.stdin.write(b"length\n")
    holder.stdin.flush()
    check(holder.stdout.readline().startswith(b"qemu-io> "), "qemu-io cannot hold the image open")  # now it does
    check_refused("held open", image, "is in use by another program that holds it open for writing, a virtual machine "
                  "perhaps: shut the virtual machine down and run vsetup again")
    holder.communicate()
    # Without qemu-utils: a raw image goes in, a qcow2 is refused naming the package.
    tools = os.path.join(WORK, "no-qemu")
    os.makedirs(tools)
    for tool in ("mcopy", "mmove", "mdel", "mmd", "mdir", "mdu", "mshowfat", "mattrib"):
        os.symlink(shutil.which(tool), os.path.join(tools, tool))
    got = vsetup(make_image(os.path.join(WORK, "no-qemu.img")).split("@@")[0], {"PATH": tools})
    check(got.returncode == 0, "a raw image without qemu-utils: %s" % got.stderr)
    check_refused("no qemu-utils", image, "is a qcow2 image, which vsetup reads and writes with qemu-img, which is not "
                  "installed: install the package qemu-utils", env={"PATH": tools})
    print("an image held open for writing, qemu-utils missing: refused, image untouched")


def limit():
    # Files of at most 16 KB, as on a full disk.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # stays ignored across exec
    resource.setrlimit(resource.RLIMIT_FSIZE, (16384, 16384))


def check_refused(name, image, message, disk=DISK, env=None):
    before = digest(image)
    got = vsetup(image, env, disk=disk)
    check(got.returncode == 1 and message in got.stderr.decode(),
          "%s: exit %d, wanted a message with %r: %s" % (name, got.returncode, message, got.stderr.decode()))
    check(digest(image) == before and not os.path.exists(image + ".registry.reg"), name + ": the image was touched")


# Stands in for each mtools (or qemu-io) command: counts it in the file
# "count" beside it and, before the one whose number the file "kill-at" holds,
# kills vsetup, as a kill between two changes of the file system would.
MTOOLS_WRAPPER = """#!/bin/sh
here=$(dirname "$0"); n=$(( $(cat "$here/count") + 1 )); echo $n >"$here/count"; echo "$n $(basename "$0") $*" >>"$here/log"
[ "$n" = "$(cat "$here/kill-at")" ] && kill -9 $PPID && exit 1
[ "$n" = "$(cat "$here/fail-at")" ] && exit 1
exec /usr/bin/$(basename "$0") "$@"
"""


def kill_points(want_tree, want_registry, upgrade, form=None):
    # Killed at each of its own file operations and before each mtools
    # command, the run leaves a clean file system whose files are each whole
    # and old or whole and new; a run afterwards completes the installation,
    # though the partition has room for one installation only. A command
    # that fails leaves the image as it was. An upgrade finds an older driver
    # installed: every file is replaced. An image of a form QEMU writes (a
    # key of FORMS) is killed before each QEMU command that writes it
    # and before the registry beside it takes the new one's name (with FULL,
    # before each QEMU command and at each of its own file operations of the
    # write-back), and must pass qemu-img check with its identity kept.
    pristine, image, bin_dir = (os.path.join(WORK, name) for name in ("pristine.img", "killed.img", "bin"))

    def view():  # the disk as mtools reads it, fsck.fat clean
        disk = raw_view(image) if form else image
        fsck(disk)
        check(not form or run(["qemu-img", "check", image]).returncode in (0, 63), "qemu-img check finds fault")
        check(not form or identity(image, form, data=False) == before, "the image's identity changed")
        return "%s@@%d" % (disk, START * 512)
    make_image(pristine)
    if upgrade:
        run(["mmd", "-i", "%s@@%d" % (pristine, START * 512), "::/WINDOWS/INF"], check=True)
    for path in [p for p in want_tree if upgrade and p != "system.ini"]:
        with open(os.path.join(WORK, "older"), "wb") as f:
            f.write(b"older " + path.encode())
        run(["mcopy", "-o", "-i", "%s@@%d" % (pristine, START * 512), os.path.join(WORK, "older"), "::/WINDOWS/" + path],
            check=True)
    fill("%s@@%d" % (pristine, START * 512), 40 * 1024)
    shutil.rmtree(bin_dir, ignore_errors=True)
    os.makedirs(bin_dir)
    # Through QEMU, the image changes only by QEMU's commands: they are the kill points.
    commands = ("qemu-io", "qemu-img") if form else ("mcopy", "mmove", "mdel", "mmd", "mdir", "mdu", "mshowfat")
    for name in commands + ("count", "kill-at", "fail-at"):
        with open(os.path.join(bin_dir, name), "w") as f:
            f.write("0\n" if name in ("count", "kill-at", "fail-at") else MTOOLS_WRAPPER)
        os.chmod(os.path.join(bin_dir, name), 0o755)
    # The shim is preloaded before a sanitized program's runtime.
    asan = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
    wrapped = {"PATH": bin_dir + os.pathsep + os.environ["PATH"], "LD_PRELOAD": SHIM, "ROBUST_NO_SYNC": "1",
               "ASAN_OPTIONS": asan}

    def fresh():
        nonlocal before
        for old in (image, image + ".registry.reg", image + ".base"):
            if os.path.exists(old):
                os.remove(old)
        if form:  # made anew, as a copy would name the first one's backing file or extent
            before = identity(make_form(form, pristine, image), form, data=False)
        else:
            shutil.copy(pristine, image)

    def killed_run(env, kill_before_command=0, fail_command=0):
        fresh()
        for name, value in (("count", 0), ("kill-at", kill_before_command), ("fail-at", fail_command)):
            with open(os.path.join(bin_dir, name), "w") as f:
                f.write("%d\n" % value)
        return vsetup(image, dict(wrapped, **env))

    before = None
    if os.path.exists(os.path.join(WORK, "calls.log")):
        os.remove(os.path.join(WORK, "calls.log"))
    killed_run({"ROBUST_LOG": os.path.join(WORK, "calls.log")})
    with open(os.path.join(WORK, "calls.log")) as f, open(os.path.join(bin_dir, "count")) as g:
        calls, commands = f.read().splitlines(), int(g.read())
    with open(os.path.join(bin_dir, "log")) as f:  # "N qemu-img convert ...", a command a line
        writers = [int(line.split()[0]) for line in f if " -n " in line or line.split()[1:3] == ["qemu-io", "-t"]]
    old_tree = tree(read_back("%s@@%d" % (pristine, START * 512), os.path.join(WORK, "old")))
    # The calls from the registry's temporary beside the image on are the write-back's.
    first = min([n for n, call in enumerate(calls, 1) if os.path.basename(image) in call] or [len(calls) + 1])
    shim = [n for n, call in enumerate(calls, 1) if n >= first and (FULL or call.split()[1] == "rename")]
    points = [({"ROBUST_KILL_AT": str(n)}, 0) for n in (shim if form else range(1, 0 if upgrade else len(calls) + 1))]
    points += [({}, n) for n in range(1, commands + 1) if FULL or not form or n in writers]
    for point, (env, command) in list(enumerate(points, 1))[::STRIDE]:
        killed_run(env, command)
        for path, data in tree(read_back(view(), os.path.join(WORK, "back"))).items():
            check(data in (want_tree.get(path), old_tree.get(path)) or path.endswith(".tmp"),
                  "kill point %d: %s is neither old nor new" % (point, path))
        if os.path.exists(image + ".registry.reg"):
            with open(image + ".registry.reg", "rb") as f:
                check(f.read() == want_registry, "kill point %d: the registry beside the image is torn" % point)
        vsetup(image)
        back = tree(read_back(view(), os.path.join(WORK, "back")))
        check({k: v for k, v in back.items() if not k.endswith(".tmp")} == want_tree,
              "kill point %d: the run afterwards did not complete the installation" % point)
    fresh()
    old_state = state(view())
    failing = [n for n in range(1, commands + 1) if FULL or not form or n in writers]
    for command in failing[::STRIDE]:
        got = killed_run({}, fail_command=command)
        mdrive = view()
        check(got.returncode == 1 and state(mdrive) == old_state and not os.path.exists(image + ".registry.reg") or
              got.returncode == 0 and tree(read_back(mdrive, os.path.join(WORK, "back"))) == want_tree,
              "command %d failed: exit %d, the image is half written: %s" % (command, got.returncode, got.stderr))
    print("%s: every %d. of %d kill points (in vsetup's own file operations and before %d commands): "
          "fsck.fat clean, files whole, a second run completes; %d commands failing: the image as it was"
          % (FORMS[form][0] if form else "upgrade" if upgrade else "new", STRIDE, len(points), commands, len(failing)))

if __name__ == "__main__":
    main()
