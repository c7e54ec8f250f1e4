#!/usr/bin/env python3
"""Runs the golden scenarios of tests/golden/ through the batch build.

    golden.py --vsetup BIN [--bless] [NAME...]

A scenario folder holds
  base            optional: a disk to start from, as a path from the source root
  disk/           the driver disk, or what it changes of the base disk
  remove          optional: names of the base disk's files to leave out, one a line
  prefix/         optional: the prefix as it is before the run
  start           optional: the directory of the disk the run starts in
  outside/        optional: a directory beside the prefix that drive D: maps;
                  it must be left as it was
  env             optional: NAME=value lines for the run (VSETUP_ANSWERS=...);
                  @DISK@ and @PREFIX@ stand for the run's directories
  wine            optional: the scenario runs under Wine too (tests/wine)
  expect/transcript.jsonl   the transcript, exactly
  expect/exit     the exit code (0 when absent)
  expect/stderr   optional: lines that must each appear in standard error
  expect/prefix/  the prefix afterwards: the same files, byte for byte, and no
                  other (dosdevices/ aside, and what expect/ignore's globs match)

The disk is reached as drive A: (dosdevices/a:), as a diskette would be, and
must be left as it was.
--bless writes expect/ from the run instead of comparing: read the result
before committing it. Standard library only.
"""

import argparse
import fnmatch
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
GOLDEN = os.path.join(HERE, "golden")


def read(path, default=None):
    if not os.path.exists(path):
        return default
    with open(path, "rb") as f:
        return f.read()


def files_below(root, skip=("dosdevices",)):
    """{relative path: bytes} of every file below root."""
    found = {}
    for directory, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if os.path.relpath(os.path.join(directory, d), root) not in skip)
        for name in files:
            path = os.path.join(directory, name)
            if not os.path.islink(path):
                found[os.path.relpath(path, root)] = read(path)
    return found


def copy_tree(source, target):
    if os.path.isdir(source):
        shutil.copytree(source, target, symlinks=True, dirs_exist_ok=True)


def assemble_disk(scenario, disk):
    """The scenario's disk in disk: the base disk, changed by disk/ and remove."""
    base = read(os.path.join(scenario, "base"))
    if base:
        copy_tree(os.path.join(SOURCE_DIR, base.decode().strip()), disk)
    copy_tree(os.path.join(scenario, "disk"), disk)
    os.makedirs(disk, exist_ok=True)
    for name in (read(os.path.join(scenario, "remove"), b"").decode().split()):
        os.remove(os.path.join(disk, name))


def scenario_env(scenario, disk, prefix):
    """The scenario's env lines as a dict, with @DISK@ and @PREFIX@ filled in."""
    settings = {}
    for line in read(os.path.join(scenario, "env"), b"").decode().splitlines():
        if "=" in line and not line.startswith("#"):
            name, value = line.split("=", 1)
            settings[name] = value.replace("@DISK@", disk).replace("@PREFIX@", prefix)
    return settings


def insert_disk(prefix, disk):
    os.makedirs(os.path.join(prefix, "dosdevices"), exist_ok=True)
    drive = os.path.join(prefix, "dosdevices", "a:")
    if os.path.lexists(drive):
        os.remove(drive)
    os.symlink(disk, drive)


def snapshot(root):
    return {name: data for name, data in files_below(root, ()).items()}


def run_batch(vsetup, scenario, work):
    disk, prefix = os.path.join(work, "disk"), os.path.join(work, "prefix")
    outside = os.path.join(work, "outside")
    assemble_disk(scenario, disk)
    copy_tree(os.path.join(scenario, "prefix"), prefix)
    copy_tree(os.path.join(scenario, "outside"), outside)
    insert_disk(prefix, disk)
    if os.path.isdir(outside):
        os.symlink(outside, os.path.join(prefix, "dosdevices", "d:"))
    start = os.path.join(disk, read(os.path.join(scenario, "start"), b"").decode().strip())
    os.makedirs(start, exist_ok=True)
    before = (snapshot(disk), snapshot(outside))
    env = dict(os.environ)
    for name in ("VSETUP_UI", "VSETUP_ANSWERS", "DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(name, None)
    env.update({"VSETUP_UI": "batch", "VSETUP_PREFIX": prefix})
    env.update(scenario_env(scenario, disk, prefix))
    result = subprocess.run([vsetup], cwd=start, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            timeout=300)
    result.untouched = before == (snapshot(disk), snapshot(outside))
    return result, prefix


def compare(scenario, result, prefix):
    """The differences between the run and expect/, as a list of lines."""
    expect = os.path.join(scenario, "expect")
    faults = [] if result.untouched else ["the disk or the directory D: maps changed"]
    wanted_exit = int(read(os.path.join(expect, "exit"), b"0"))
    if result.returncode != wanted_exit:
        faults.append("exit code %d, expected %d" % (result.returncode, wanted_exit))
    got = result.stdout.decode("utf-8", "replace").splitlines()
    wanted = read(os.path.join(expect, "transcript.jsonl"), b"").decode("utf-8").splitlines()
    if got != wanted:
        for i in range(max(len(got), len(wanted))):
            left = wanted[i] if i < len(wanted) else "(nothing)"
            right = got[i] if i < len(got) else "(nothing)"
            if left != right:
                faults.append("transcript line %d:\n    expected %s\n    got      %s" % (i + 1, left, right))
                break
    stderr = result.stderr.decode("utf-8", "replace")
    for line in read(os.path.join(expect, "stderr"), b"").decode().splitlines():
        if line and line not in stderr:
            faults.append("stderr lacks %r; it was:\n%s" % (line, stderr))
    ignore = read(os.path.join(expect, "ignore"), b"").decode().split()
    got_files = {k: v for k, v in files_below(prefix).items() if not any(fnmatch.fnmatch(k, g) for g in ignore)}
    wanted_files = files_below(os.path.join(expect, "prefix"))
    for name in sorted(set(got_files) | set(wanted_files)):
        if name not in got_files:
            faults.append("%s: missing" % name)
        elif name not in wanted_files:
            faults.append("%s: not expected (%d bytes)" % (name, len(got_files[name])))
        elif got_files[name] != wanted_files[name]:
            faults.append("%s: differs\n    expected %r\n    got      %r" %
                          (name, wanted_files[name][:300], got_files[name][:300]))
    return faults


def bless(scenario, result, prefix):
    expect = os.path.join(scenario, "expect")
    shutil.rmtree(os.path.join(expect, "prefix"), ignore_errors=True)
    os.makedirs(os.path.join(expect, "prefix"))
    with open(os.path.join(expect, "transcript.jsonl"), "wb") as f:
        f.write(result.stdout)
    exit_file = os.path.join(expect, "exit")
    if result.returncode:
        with open(exit_file, "w") as f:
            f.write("%d\n" % result.returncode)
    elif os.path.exists(exit_file):
        os.remove(exit_file)
    ignore = read(os.path.join(expect, "ignore"), b"").decode().split()
    for name, data in files_below(prefix).items():
        if not any(fnmatch.fnmatch(name, g) for g in ignore):
            os.makedirs(os.path.dirname(os.path.join(expect, "prefix", name)), exist_ok=True)
            with open(os.path.join(expect, "prefix", name), "wb") as f:
                f.write(data)


def scenarios(names):
    every = sorted(d for d in os.listdir(GOLDEN) if os.path.isdir(os.path.join(GOLDEN, d)))
    unknown = sorted(set(names) - set(every))
    if unknown:
        sys.exit("no such scenario: %s" % ", ".join(unknown))
    return [os.path.join(GOLDEN, n) for n in (names or every)]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--vsetup", required=True)
    parser.add_argument("--bless", action="store_true")
    parser.add_argument("names", nargs="*")
    args = parser.parse_args()
    failed = 0
    for scenario in scenarios(args.names):
        name = os.path.basename(scenario)
        with tempfile.TemporaryDirectory(prefix="golden-") as work:
            result, prefix = run_batch(os.path.abspath(args.vsetup), scenario, work)
            if args.bless:
                bless(scenario, result, prefix)
                print("%s: blessed (exit %d)" % (name, result.returncode))
                continue
            faults = compare(scenario, result, prefix)
        print("%s: %s" % (name, "ok" if not faults else "FAILED\n  " + "\n  ".join(faults)), flush=True)
        failed += bool(faults)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
