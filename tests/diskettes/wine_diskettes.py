#!/usr/bin/env python3
# VSETUP.EXE under Wine, run from the files of disk 1's image as drive A:,
# installs examples/disk1; when it asks for disk 2, A: gets disk 2's files,
# as a user swaps diskettes, and disk 1's back when it asks for it. Every listed file must then be installed.
#
#     wine_diskettes.py --win32-dir DIR --work DIR --diskettes VSETUP-DISKETTES

import argparse
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
import wine_test as wt  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    for option in ("--win32-dir", "--work", "--diskettes"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    args.keep = False
    args.template = os.path.join(args.work, "template")
    try:
        with wt.Session(args, "diskettes") as session:
            images = os.path.join(session.work, "img")
            exe = os.path.join(args.win32_dir, "wizard", "win32", "VSETUP.exe")
            subprocess.run([args.diskettes, "--exe", exe, os.path.join(wt.SOURCE_DIR, "examples", "disk1"), images], check=True,
                           stdout=subprocess.DEVNULL)
            # Both diskettes copied into one directory, as onto a hard disk.
            drive = os.path.join(session.work, "a")
            os.makedirs(drive)
            for number in (1, 2):
                subprocess.run(["mcopy", "-s", "-n", "-i", os.path.join(images, "disk%d.img" % number), "::*",
                                drive + "/"], env=dict(os.environ, MTOOLS_SKIP_CHECK="1"), check=True)
            code, events = wt.run_driver(args, session.wine, session.work, drive, "next,finish", exe="A:\\VSETUP.EXE")
            wt.check(code == 0, "VSETUP.EXE did not end with 0: %d" % code)
            wt.check("Please insert" not in str(events), "VSETUP.EXE asked for a diskette")
            # The files the example disk's golden scenario installs, byte for byte.
            expected = wt.golden.files_below(os.path.join(wt.golden.GOLDEN, "example-disk", "expect", "prefix"))
            count = 0
            for relative, data in expected.items():
                target = wt.wine_path(session.prefix, relative)
                if target and not relative.lower().endswith("system.ini"):
                    wt.check(os.path.exists(target) and open(target, "rb").read() == data,
                             "%s is not installed as from the disk" % relative)
                    count += 1
            wt.check(count == 12, "examples/disk1 installs 12 files, %d checked" % count)
            wt.log("examples/disk1 installed from its two diskette images: %d files" % count)
    except wt.Failure as failure:
        print("FAIL: %s" % failure, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
