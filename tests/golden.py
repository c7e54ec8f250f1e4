#!/usr/bin/env python3
"""Runs the golden scenarios of tests/golden/ through the batch build.

    golden.py --vsetup BIN [--bless] [NAME...]

A scenario folder holds
  base            optional: a disk to start from, as a path from the source root
  disk/           the driver disk, or what it changes of the base disk
  remove          optional: names of the base disk's files to leave out, one a line
  prefix/         optional: the prefix as it is before the run
  readonly        optional: files of prefix/ made read-only before the run
  start           optional: the directory of the disk the run starts in
  outside/        optional: a directory beside the prefix that drive D: maps;
                  it must be left as it was
  env             optional: NAME=value lines for the run (VSETUP_ANSWERS=...);
                  @DISK@ and @PREFIX@ stand for the run's directories
  wine            optional: the scenario runs under Wine too (tests/wine)
  kill            optional: with --shim, the run is also killed at every
                  write, rename and sync of its file output (and halfway
                  through every write): each time every file must be old or
                  new, the registry must hold what was flushed, and a run
                  started afterwards must finish the installation
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
import re
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


def run_batch(vsetup, scenario, work, extra_env=None, fresh=True):
    """Runs the scenario in work (a new disk and prefix when fresh)."""
    disk, prefix = os.path.join(work, "disk"), os.path.join(work, "prefix")
    outside = os.path.join(work, "outside")
    if fresh:
        assemble_disk(scenario, disk)
        copy_tree(os.path.join(scenario, "prefix"), prefix)
        copy_tree(os.path.join(scenario, "outside"), outside)
        insert_disk(prefix, disk)
        if os.path.isdir(outside):
            os.symlink(outside, os.path.join(prefix, "dosdevices", "d:"))
        for name in read(os.path.join(scenario, "readonly"), b"").decode().split():
            os.chmod(os.path.join(prefix, name), 0o444)
    start = os.path.join(disk, read(os.path.join(scenario, "start"), b"").decode().strip())
    os.makedirs(start, exist_ok=True)
    before = (snapshot(disk), snapshot(outside))
    env = dict(os.environ)
    for name in ("VSETUP_UI", "VSETUP_ANSWERS", "DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(name, None)
    env.update({"VSETUP_UI": "batch", "VSETUP_PREFIX": prefix})
    env.update(scenario_env(scenario, disk, prefix))
    env.update(extra_env or {})
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


def parse_reg(data):
    """REGEDIT4 (ANSI) or version 5 (UTF-16) text as {key: {name: (type, bytes)}},
    keys and names lower-cased, HKEY_CLASSES_ROOT as HKLM\\Software\\Classes."""
    if data.startswith(b"\xff\xfe"):
        text = data[2:].decode("utf-16-le")
        wide = True
    else:
        text = data.decode("cp1252")
        wide = False
    lines = text.replace("\r\n", "\n").split("\n")
    joined = []
    for line in lines:
        if joined and joined[-1].endswith("\\") and not joined[-1].startswith("["):
            joined[-1] = joined[-1][:-1] + line.strip()
        else:
            joined.append(line)
    keys = {}
    current = None
    for line in joined:
        line = line.strip()
        if not line or line.startswith(";"):
            continue
        if line.startswith("[") and line.endswith("]"):
            name = line[1:-1]
            if name.startswith("-"):
                current = None
                continue
            current = keys.setdefault(normal_key(name), {})
            continue
        if current is None:
            continue
        name, value = split_value_line(line)
        if name is None:
            continue
        current[name.lower()] = parse_value(value, wide)
    return keys


def normal_key(name):
    lowered = name.lower()
    for short, full in (("hkey_classes_root", "hkey_local_machine\\software\\classes"),
                        ("hklm", "hkey_local_machine")):
        if lowered == short or lowered.startswith(short + "\\"):
            lowered = full + lowered[len(short):]
    return lowered


def split_value_line(line):
    if line.startswith("@="):
        return "", line[2:]
    if not line.startswith('"'):
        return None, None
    i, name = 1, ""
    while i < len(line):
        c = line[i]
        if c == "\\" and i + 1 < len(line):
            name += line[i + 1]
            i += 2
            continue
        if c == '"':
            break
        name += c
        i += 1
    rest = line[i + 1:]
    if not rest.startswith("="):
        return None, None
    return name, rest[1:]


def parse_value(value, wide):
    if value.startswith('"'):
        text, i = "", 1
        while i < len(value) and value[i] != '"':
            if value[i] == "\\" and i + 1 < len(value):
                i += 1
            text += value[i]
            i += 1
        return (1, text.encode("cp1252", errors="replace"))
    if value.startswith("dword:"):
        return (4, int(value[6:], 16).to_bytes(4, "little"))
    match = re.match(r"hex(?:\(([0-9a-fA-F]+)\))?:(.*)", value)
    if match:
        kind = int(match.group(1), 16) if match.group(1) else 3
        data = bytes(int(b, 16) for b in match.group(2).replace(" ", "").split(",") if b)
        if kind in (1, 2) and wide:
            data = data.decode("utf-16-le").rstrip("\0").encode("cp1252", errors="replace")
        elif kind in (1, 2):
            data = data.rstrip(b"\0")
        return (kind, data)
    return (0, value.encode("utf-8"))


def registry_entries(data):
    """The (key, name) -> value pairs of a registry.reg file."""
    return {(key, name): value for key, values in parse_reg(data).items() for name, value in values.items()}


def kill_faults(vsetup, shim, scenario):
    """Kills the scenario's run at each counted call (see tests/robust/kill_shim.c)."""
    faults = []
    seed = files_below(os.path.join(scenario, "prefix"))
    done = files_below(os.path.join(scenario, "expect", "prefix"))
    registry = "registry.reg"
    seeded, complete = registry_entries(seed.get(registry, b"")), registry_entries(done.get(registry, b""))
    with tempfile.TemporaryDirectory(prefix="golden-kill-") as work:
        log, snapshots = os.path.join(work, "calls.log"), os.path.join(work, "snapshots")
        os.makedirs(snapshots)
        # The shim is preloaded before a sanitized program's runtime.
        asan = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
        shimmed = {"LD_PRELOAD": shim, "ROBUST_NO_SYNC": "1", "ASAN_OPTIONS": asan}
        run_batch(vsetup, scenario, os.path.join(work, "complete"),
                  dict(shimmed, ROBUST_LOG=log, ROBUST_SNAPSHOT=snapshots))
        calls = [line.split() for line in read(log, b"").decode().splitlines()]
        flushed = {int(n): registry_entries(read(os.path.join(snapshots, n))) for n in os.listdir(snapshots)}
        if len(calls) < 10:
            return ["only %d calls counted" % len(calls)]
        if registry in done and not flushed:
            return ["no flush of registry.reg was synced"]
        for number, kind, *paths in calls:
            for tear in ("0", "1") if kind in ("write", "pwrite") else ("0",):
                point = "killed at call %s (%s %s%s)" % (number, kind, " ".join(paths), ", torn" if tear == "1" else "")
                run = os.path.join(work, "run-%s-%s" % (number, tear))
                result, prefix = run_batch(vsetup, scenario, run, dict(shimmed, ROBUST_KILL_AT=number, ROBUST_TEAR=tear))
                left = files_below(prefix)
                wrong = sorted(name for name, data in left.items() if name != registry and
                               (name in seed or name in done) and data not in (seed.get(name), done.get(name)))
                lost = sorted(set(seed) - set(left))
                entries = registry_entries(left.get(registry, b""))
                before = [n for n in flushed if n < int(number)]
                durable = flushed[max(before)] if before else {}
                if result.returncode != -9:
                    wrong.append("exit %d, not killed" % result.returncode)
                if any(entries.get(k) != v for k, v in seeded.items()) or any(k not in entries for k in durable):
                    wrong.append("registry lost what was seeded or flushed")
                # Starting again finishes the installation: the files as a
                # whole run leaves them (the registry may hold a second instance).
                again, prefix = run_batch(vsetup, scenario, run, shimmed, fresh=False)
                finished = files_below(prefix)
                wrong += ["%s differs after a new run" % name for name in sorted(set(done) | set(finished))
                          if name != registry and done.get(name) != finished.get(name)]
                if any(registry_entries(finished.get(registry, b"")).get(k) != v for k, v in seeded.items()):
                    wrong.append("a new run lost seeded registry entries")
                if wrong or lost:
                    faults.append("%s: %s" % (point, "; ".join(wrong + ["%s lost" % n for n in lost])))
                    return faults
                shutil.rmtree(run, ignore_errors=True)
        print("  %d calls, each killed, every state old or new" % len(calls))
    return faults


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
    parser.add_argument("--shim", help="the kill shim library: run the kill points of scenarios marked `kill`")
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
        if not faults and args.shim and os.path.exists(os.path.join(scenario, "kill")):
            faults = kill_faults(os.path.abspath(args.vsetup), os.path.abspath(args.shim), scenario)
        print("%s: %s" % (name, "ok" if not faults else "FAILED\n  " + "\n  ".join(faults)), flush=True)
        failed += bool(faults)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
