#!/usr/bin/env python3
"""VSETUP.EXE under Wine: the wizard's buttons, installs checked on disk and
in the registry, and the same runs compared with the Linux batch build.

    wine_test.py COMMAND --win32-dir DIR --work DIR [options]

Commands:
  unconfigured   fails, saying how to point the tests at a cross build
  imports        VSETUP.EXE imports only from the DLLs Windows 95 has
  template       makes the initialised Wine prefix the other tests copy
  cleanup        removes it again
  buttons        Next, Back and Cancel on each page: exit 0, nothing touched;
                 the same by keyboard, the focus after each page change and
                 keys typed during the copy, with and without Version=win95
  install        the tiny disk (and the example disk) installed, checked
  differential   the same runs through the batch build and VSETUP.EXE
  screenshots    the two pages as PNG files (--out DIR)

Every test copies the template into a prefix of its own, runs Wine on an
Xvfb display of its own (never the caller's), and ends its wineserver.
Standard library only.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))
EXAMPLE_DISK = os.path.join(SOURCE_DIR, "examples", "disk1")

# DLLs VSETUP.EXE may import: all part of Windows 95 (MSVCRT with its
# OSR releases and every program that ships it).
ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "advapi32.dll", "lz32.dll",
                "msvcrt.dll"}
# Functions of those DLLs that Windows 95 lacks (they came with Windows 98 or
# NT); importing one keeps the program from loading.
WIN95_MISSING = {
    "MoveFileExA", "MoveFileExW", "GetFileSizeEx", "SetFilePointerEx", "GetFileAttributesExA",
    "GetFileAttributesExW", "IsDebuggerPresent", "InitializeCriticalSectionAndSpinCount",
    "TryEnterCriticalSection", "SwitchToThread", "GetLongPathNameA", "GetLongPathNameW",
    "CreateHardLinkA", "ReplaceFileA", "ReplaceFileW", "GetModuleHandleExA", "GetModuleHandleExW",
    "FindFirstFileExA", "FindFirstFileExW", "GetSystemTimePreciseAsFileTime", "GetTickCount64",
    "InitOnceExecuteOnce", "AddVectoredExceptionHandler", "CreateWaitableTimerA", "GetVersionExW",
    "GlobalMemoryStatusEx", "GetDiskFreeSpaceExA", "SetThreadStackGuarantee", "QueueUserAPC",
    "GetNativeSystemInfo", "RtlCaptureContext", "RtlUnwind", "LockFileEx", "UnlockFileEx",
    "GetFileInformationByHandleEx", "CreateSymbolicLinkA", "AttachConsole",
}

WIZARD_CAPTION = "Vorel Setup Wizard"


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def log(message):
    print(message, flush=True)


# ---------------------------------------------------------------- Wine

def windows_path(path):
    """The Z: drive path Wine gives a host path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Display:
    """A private Xvfb server for one test."""

    def __init__(self):
        self.process = None
        self.name = None

    def __enter__(self):
        xvfb = shutil.which("Xvfb")
        check(xvfb is not None, "Xvfb is needed to run the wizard under Wine")
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            [xvfb, "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        deadline = time.time() + 30
        while not number.endswith(b"\n") and time.time() < deadline:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        check(number.strip().isdigit(), "Xvfb did not start")
        self.name = ":" + number.strip().decode()
        return self

    def __exit__(self, *exc):
        if self.process:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()


class Wine:
    """Wine on one prefix and one display."""

    def __init__(self, prefix, display):
        self.prefix = prefix
        self.env = dict(os.environ)
        for name in ("WINEPREFIX", "WINEARCH", "WINEDEBUG", "WINEDLLOVERRIDES", "DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(name, None)
        self.env.update({
            "WINEPREFIX": prefix,
            "WINEARCH": "win32",
            "WINEDEBUG": "-all",
            # No Gecko or Mono installer prompts.
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
            "DISPLAY": display.name,
            "LANG": "C.UTF-8",
        })

    def run(self, args, timeout=180):
        """Runs a Wine command; its output goes through files, since the
        prefix's background processes keep inherited pipes open."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            process = subprocess.run(["wine"] + args, env=self.env, timeout=timeout, stdout=out, stderr=err)
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(process.args, process.returncode, out.read(), err.read())

    def start(self):
        """Keeps the prefix's wineserver running between commands, so each
        one starts quickly."""
        subprocess.run(["wineserver", "-p"], env=self.env, timeout=60, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def stop(self):
        """Ends every process of the prefix; the server writes the registry
        files as it goes."""
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=60)

    def export_key(self, key, work):
        """The key and its subkeys as regedit exports them, parsed; None
        when the key does not exist."""
        out = os.path.join(work, "export.reg")
        if os.path.exists(out):
            os.remove(out)
        self.run(["regedit", "/E", windows_path(out), key])
        if not os.path.exists(out):
            return None
        with open(out, "rb") as f:
            return parse_reg(f.read())


def make_template(template):
    if os.path.exists(template):
        shutil.rmtree(template)
    with Display() as display:
        wine = Wine(template, display)
        result = wine.run(["wineboot", "-i"], timeout=600)
        check(result.returncode == 0, "wineboot -i failed:\n" + result.stderr.decode(errors="replace"))
        # Without a window manager Wine draws the frames itself.
        for value in ("Decorated", "Managed"):
            wine.run(["reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", value, "/d", "N", "/f"])
        wine.stop()
    check(os.path.isdir(os.path.join(template, "drive_c", "windows")), "wineboot made no C:\\windows")
    with open(os.path.join(template, "vsetup-template.ok"), "w") as f:
        f.write("ready\n")


# The template's large files are shared by hard links: Wine never writes to
# them in place. Everything else (profiles, registry, the installer's own
# directories) is a copy of its own.
SHARED_SUFFIXES = (".dll", ".exe", ".drv", ".acm", ".cpl", ".ocx", ".sys", ".tlb", ".ttf", ".fon", ".ax",
                   ".ds", ".vxd", ".msstyles", ".nls", ".mui")


def clone_prefix(template, prefix):
    check(os.path.exists(os.path.join(template, "vsetup-template.ok")),
          "no Wine prefix template at %s: the wine_prefix_template test makes it" % template)

    def copy(source, destination):
        if source.lower().endswith(SHARED_SUFFIXES) and os.sep + "drive_c" + os.sep + "windows" + os.sep in source:
            try:
                os.link(source, destination)
                return destination
            except OSError:
                pass
        return shutil.copy2(source, destination)

    shutil.copytree(template, prefix, symlinks=True, copy_function=copy)


def wine_system_dir(prefix):
    return os.path.join(prefix, "drive_c", "windows", "system32")


def wine_windows_dir(prefix):
    return os.path.join(prefix, "drive_c", "windows")


# ---------------------------------------------------------------- driver

def insert_disk(prefix, disk):
    """Makes disk drive A: of the prefix (Wine's and the Linux build's
    prefixes map drives the same way), so that both runs start from A:, whatever
    directory the test works in."""
    devices = os.path.join(prefix, "dosdevices")
    os.makedirs(devices, exist_ok=True)
    drive = os.path.join(devices, "a:")
    if os.path.lexists(drive):
        os.remove(drive)
    os.symlink(os.path.abspath(disk), drive)


def run_driver(args, wine, work, disk, steps, answers="", shots=None, timeout=120):
    """Runs VSETUP.EXE through DRIVE.EXE from disk; returns (exit code, events)."""
    insert_disk(wine.prefix, disk)
    transcript = os.path.join(work, "transcript.jsonl")
    if os.path.exists(transcript):
        os.remove(transcript)
    command = [os.path.join(args.win32_dir, "tests", "wine", "DRIVE.exe"),
               "--exe", windows_path(os.path.join(args.win32_dir, "wizard", "win32", "VSETUP.exe")),
               "--dir", "A:\\", "--log", windows_path(transcript),
               "--steps", steps, "--answers", answers, "--timeout", str(timeout)]
    if shots:
        command += ["--shots", windows_path(shots)]
    result = wine.run(command, timeout=timeout + 60)
    output = result.stdout.decode(errors="replace")
    match = re.search(r"exit (-?\d+)", output)
    check(match is not None, "DRIVE.EXE did not finish (code %d): %s %s" %
          (result.returncode, output, result.stderr.decode(errors="replace")))
    check(result.returncode < 200, "DRIVE.EXE failed with %d: %s" %
          (result.returncode, result.stderr.decode(errors="replace")))
    events = []
    if os.path.exists(transcript):
        with open(transcript, encoding="utf-8") as f:
            events = [json.loads(line) for line in f if line.strip()]
    check(events, "the transcript is empty")
    # The driver's observer reports that it is in place; nothing else of
    # the installer's comes before that.
    check(events[:1] == [{"event": "observer", "attached": True}],
          "the observer did not attach to VSETUP.EXE: %r" % events[:1])
    return int(match.group(1)), events[1:]


def run_batch(args, prefix, disk, answers=""):
    """Runs the Linux batch build from disk into prefix; returns the events."""
    insert_disk(prefix, disk)
    env = dict(os.environ)
    env.update({"VSETUP_UI": "batch", "VSETUP_PREFIX": prefix, "VSETUP_ANSWERS": answers})
    result = subprocess.run([args.vsetup], cwd=disk, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            timeout=120)
    check(result.returncode == 0, "the batch build failed (%d): %s" %
          (result.returncode, result.stderr.decode(errors="replace")))
    return [json.loads(line) for line in result.stdout.decode("utf-8").splitlines() if line.strip()]


# ---------------------------------------------------------------- registry files

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


def subtree(keys, top):
    return {k: v for k, v in keys.items() if k == top or k.startswith(top + "\\")}


def top_keys(keys):
    """The keys of a store that have no ancestor in it."""
    tops = []
    for key in sorted(keys):
        if not any(key.startswith(t + "\\") for t in tops):
            tops.append(key)
    return tops


def wine_registry(wine, work, tops):
    """The Wine prefix's keys under each of tops (exported by regedit)."""
    found = {}
    for top in tops:
        exported = wine.export_key(top, work)
        if exported:
            found.update(subtree(exported, top))
    return found


# ---------------------------------------------------------------- disks

SZDD_SIGNATURE = b"SZDD\x88\xf0\x27\x33"


def szdd_expand(data):
    """The bytes of an SZDD file, or the data itself when it is plain."""
    if not data.startswith(SZDD_SIGNATURE):
        return data
    size = int.from_bytes(data[10:14], "little")
    window = bytearray(b" " * 4096)
    position = 4096 - 16
    out = bytearray()
    i = 14
    while i < len(data):
        flags = data[i]
        i += 1
        for bit in range(8):
            if i >= len(data):
                break
            if flags & (1 << bit):
                byte = data[i]
                i += 1
                out.append(byte)
                window[position] = byte
                position = (position + 1) & 4095
            else:
                if i + 1 >= len(data):
                    i = len(data)
                    break
                offset = data[i] | ((data[i + 1] & 0xF0) << 4)
                length = (data[i + 1] & 0x0F) + 3
                i += 2
                for k in range(length):
                    byte = window[(offset + k) & 4095]
                    out.append(byte)
                    window[position] = byte
                    position = (position + 1) & 4095
    return bytes(out[:size])


def pseudo_random_bytes(seed, count):
    """Deterministic bytes with some repetition, so that LZ has work to do."""
    out = bytearray()
    state = seed
    while len(out) < count:
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        if state % 5 == 0 and len(out) > 64:
            start = (state >> 8) % (len(out) - 32)
            out += out[start:start + 8 + state % 24]
        else:
            out.append((state >> 16) & 0xFF)
    return bytes(out[:count])


def compress(path):
    """SZDD-compresses path into its "_" name (last extension letter)."""
    tool = shutil.which("mscompress")
    check(tool is not None, "mscompress is needed to make the tiny disk")
    subprocess.run([tool, path], check=True, stdout=subprocess.DEVNULL)
    os.replace(path + "_", path[:-1] + "_")
    os.remove(path)


TINY_SETUP = """; The tiny test disk of the Wine tests.
[Product]
{product_line}
DriverInf=vorel.inf
OemsetupInf=oemsetup.inf

[DiskSpace]
SizeInKB=24

[Source Media Descriptions]
1="Vorel Test Disk 1"

[Banner]
FontHi=30

[WindowsDir]
1,vorelhlp.tx_
1,vorel.inf

[SystemDir]
1,vorel.drv
1,vorel.vx_
{extra_system}
[Prev.DelReg]

[Driver.AddReg]
HKR,,DriverDesc,0,"Vorel Test Display"
HKR,DEFAULT,drv,0,vorel.drv
HKR,DEFAULT,Mode,0,"8,640,480"
HKR,INFO
HKLM,Software\\Vorel\\Display,Installed,0,yes
HKCR,VorelFile,,0,"Vorel display settings"

[Extra]
PCIBUS=VEN_5654&DEV_0001
ConfigFlags=0000
CHIPID=12345678
"""

TINY_FILES = {
    "vorelhlp.txt": ("".join("Line %d of the Vorel help text.\r\n" % i for i in range(120))).encode(),
    "vorel.inf": b"[Version]\r\nSignature=\"$CHICAGO$\"\r\nClass=DISPLAY\r\n",
    "vorel.drv": pseudo_random_bytes(7, 5000),
    "vorel.vxd": pseudo_random_bytes(11, 9000),
}


def long_path_lines(disk):
    """Two plain files in subdirectories whose paths on A: are 127 and 128
    bytes long: the longest LZOpenFile (OpenFile) opens, and one more."""
    lines = ""
    for length in (127, 128):
        name = "vorel%d.drv" % length
        directory = "long" + "x" * (length - len("A:\\") - len("\\") - len(name) - 4)
        os.makedirs(os.path.join(disk, directory))
        with open(os.path.join(disk, directory, name), "wb") as f:
            f.write(pseudo_random_bytes(length, 300))
        lines += "1,%s\\%s\n" % (directory, name)
    return lines


def make_tiny_disk(disk, extra_system="", corrupt=None, long_paths=False, product_line="ProductName=Vorel Test"):
    """The tiny disk: two compressed files, a plain driver file and the INF
    that becomes oemsetup.inf. extra_system adds lines to [SystemDir];
    corrupt names a compressed file to cut short; long_paths adds the files
    of long_path_lines; product_line replaces the ProductName line."""
    os.makedirs(disk)
    if long_paths:
        extra_system += long_path_lines(disk)
    with open(os.path.join(disk, "setup.dat"), "w", newline="\r\n") as f:
        f.write(TINY_SETUP.format(extra_system=extra_system, product_line=product_line))
    for name, data in TINY_FILES.items():
        with open(os.path.join(disk, name), "wb") as f:
            f.write(data)
    for name in ("vorelhlp.txt", "vorel.vxd"):
        compress(os.path.join(disk, name))
    if corrupt:
        path = os.path.join(disk, corrupt)
        with open(path, "rb") as f:
            data = f.read()
        with open(path, "wb") as f:
            f.write(data[:len(data) // 2])
    return disk


# ---------------------------------------------------------------- snapshots

def tree_state(root):
    """Every file below root with its size and modification time."""
    state = {}
    for directory, _, files in os.walk(root):
        for name in files:
            path = os.path.join(directory, name)
            if os.path.islink(path):
                continue
            info = os.stat(path)
            state[os.path.relpath(path, root).lower()] = (info.st_size, info.st_mtime_ns)
    return state


# Keys Wine itself adds or refreshes as its programs start.
WINE_OWN_KEYS = ("software\\\\microsoft\\\\", "software\\\\wine\\\\", "system\\\\currentcontrolset\\\\control\\\\",
                 "system\\\\currentcontrolset\\\\enum\\\\", "hardware\\\\")


def registry_keys(prefix):
    """The names of the keys in the prefix's machine and user registry,
    without those Wine keeps for itself. (Values are left out: Wine
    refreshes some of its own at each start.)"""
    keys = set()
    for name in ("system.reg", "user.reg"):
        with open(os.path.join(prefix, name), encoding="utf-8", errors="replace") as f:
            for line in f:
                match = re.match(r"^\[(.*)\](?: \d+)?$", line.rstrip("\n"))
                if match and not match.group(1).lower().startswith(WINE_OWN_KEYS):
                    keys.add(name + ":" + match.group(1).lower())
    return keys


def describe_difference(before, after):
    added = sorted(set(after) - set(before))
    removed = sorted(set(before) - set(after))
    changed = sorted(k for k in before if k in after and before[k] != after[k])
    return "added %s, removed %s, changed %s" % (added[:10], removed[:10], changed[:10])


# ---------------------------------------------------------------- commands

def command_unconfigured(args):
    raise Failure("the Wine tests need the cross build: configure this build with "
                  "-DVSETUP_WIN32_DIR=<dir of the win32 build holding wizard/win32/VSETUP.exe>, "
                  "e.g. cmake --preset win32 && cmake --build --preset win32")


def command_imports(args):
    exe = os.path.join(args.win32_dir, "wizard", "win32", "VSETUP.exe")
    check(os.path.exists(exe), "no VSETUP.exe in %s: build the win32 preset first" % args.win32_dir)
    result = subprocess.run([args.objdump, "-p", exe], stdout=subprocess.PIPE, check=True)
    dump = result.stdout.decode(errors="replace")
    dlls = [name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)]
    check(dlls, "objdump shows no imports")
    others = sorted(set(dlls) - ALLOWED_DLLS)
    check(not others, "VSETUP.EXE imports from DLLs Windows 95 does not have: %s" % others)
    functions = set(re.findall(r"^\s+[0-9a-f]+\s+\d+\s+(\w+)\s*$", dump, re.M))
    missing = sorted(functions & WIN95_MISSING)
    check(not missing, "VSETUP.EXE imports functions Windows 95 lacks: %s" % missing)
    for field, wanted in (("MajorOSystemVersion", "4"), ("MajorSubsystemVersion", "4"),
                          ("MinorSubsystemVersion", "0")):
        match = re.search(r"^%s\s+(\d+)" % field, dump, re.M)
        check(match and match.group(1) == wanted, "%s is not %s" % (field, wanted))
    check(re.search(r"^Subsystem\s+00000002", dump, re.M), "VSETUP.EXE is not a GUI program")
    log("imports: %s" % ", ".join(sorted(set(dlls))))


def command_template(args):
    make_template(args.template)
    log("template prefix ready")


def command_cleanup(args):
    if os.path.exists(args.template):
        shutil.rmtree(args.template)
    log("template prefix removed")


class Session:
    """One test's own prefix, display and work directory."""

    def __init__(self, args, name):
        self.args = args
        self.work = tempfile.mkdtemp(prefix=name + "-", dir=args.work)
        self.prefix = os.path.join(self.work, "prefix")
        self.display = None
        self.wine = None

    def __enter__(self):
        clone_prefix(self.args.template, self.prefix)
        self.display = Display().__enter__()
        self.wine = Wine(self.prefix, self.display)
        self.wine.start()
        return self

    def __exit__(self, exc_type, *rest):
        try:
            self.wine.stop()
        finally:
            self.display.__exit__(None, None, None)
        if exc_type is None and not self.args.keep:
            shutil.rmtree(self.work, ignore_errors=True)
        else:
            log("work directory kept: %s" % self.work)


def command_buttons(args):
    # Each way out of the wizard without Finish: the installer exits with 0,
    # shows nothing and leaves the Windows tree and the registry as they were.
    with Session(args, "buttons") as session:
        disk = make_tiny_disk(os.path.join(session.work, "disk"))
        installer_keys = top_keys(expected_tiny_registry())
        session.wine.stop()
        keys_before = registry_keys(session.prefix)
        session.wine.start()
        for steps in ("cancel", "next,cancel", "next,back,cancel", "next,back,next,back,cancel"):
            files_before = tree_state(os.path.join(session.prefix, "drive_c"))
            code, events = run_driver(args, session.wine, session.work, disk, steps)
            check(code == 0, "%s: exit code %d" % (steps, code))
            check(events == [], "%s: the installer showed %r" % (steps, events))
            files_after = tree_state(os.path.join(session.prefix, "drive_c"))
            check(files_after == files_before,
                  "%s: files changed: %s" % (steps, describe_difference(files_before, files_after)))
            check(not wine_registry(session.wine, session.work, installer_keys),
                  "%s: the installer's registry keys exist" % steps)
            log("%s: exit 0, nothing touched" % steps)
        session.wine.stop()
        keys_after = registry_keys(session.prefix)
        check(keys_after == keys_before, "registry keys changed: %s" % sorted(keys_after ^ keys_before)[:10])
        log("no registry key made or removed")
        session.wine.start()
        # Back and then Finish installs as Next and Finish do.
        code, events = run_driver(args, session.wine, session.work, disk, "next,back,next,finish")
        check(code == 0, "next,back,next,finish: exit code %d" % code)
        check(events and events[-1]["event"] == "message" and events[-1]["buttons"] == "yesno",
              "next,back,next,finish: no completion prompt at the end: %r" % events[-1:])
        check(os.path.exists(os.path.join(wine_system_dir(session.prefix), "vorel.drv")),
              "next,back,next,finish: vorel.drv not installed")
        log("next,back,next,finish: installed")
        # The same by keyboard, with Wine's default version and as Windows 95.
        for version in (None, "win95"):
            keyboard_runs(args, session, disk, version)


# The sheet's buttons, as the focus events name them.
BACK, NEXT, FINISH = 0x3023, 0x3024, 0x3025
KEYBOARD_RUNS = [
    # steps, focus events expected, whether the run installs
    ("panel,focus,tab,focus,esc", [NEXT, 2], False),     # Next, then Cancel; Esc cancels
    ("focus,tab,enter", [NEXT], False),                  # Enter on Cancel cancels
    ("enter,panel,focus,tab,enter", [FINISH], False),    # Next by Enter; Enter on Cancel
    ("alt-n,focus,shift-tab,enter,focus,esc", [FINISH, NEXT], False),  # Enter on Back goes back
    ("enter,focus,enter", [FINISH], True),               # Next and Finish by Enter
]


def keyboard_runs(args, session, disk, version):
    label = "Version=%s" % version if version else "default version"
    key = "HKCU\\Software\\Wine\\AppDefaults\\VSETUP.EXE"
    if version:
        session.wine.run(["reg", "add", key, "/v", "Version", "/d", version, "/f"])
    else:
        session.wine.run(["reg", "delete", key, "/f"])
    system = wine_system_dir(session.prefix)
    for steps, focus, installs in KEYBOARD_RUNS:
        for name in ("vorel.drv", "vorel.vxd"):
            found = find_no_case(system, name)
            if found:
                os.remove(found)
        code, events = run_driver(args, session.wine, session.work, disk, steps)
        check(code == 0, "%s, %s: exit code %d" % (label, steps, code))
        seen = [e for e in events if e["event"] == "focus"]
        check(seen == [{"event": "focus", "control": c, "usable": True} for c in focus],
              "%s, %s: focus %r, wanted on %r" % (label, steps, seen, focus))
        panels = [e for e in events if e["event"] == "panel"]
        check(all(e["whole"] for e in panels), "%s, %s: a logo panel is cut: %r" % (label, steps, panels))
        installed = find_no_case(system, "vorel.drv") is not None
        check(installed == installs, "%s, %s: installed %r" % (label, steps, installed))
        check(not installs or (events[-1]["event"] == "message" and events[-1]["answer"] == "no"),
              "%s, %s: no completion prompt at the end: %r" % (label, steps, events[-1:]))
        log("%s, %s: focus on the default button, logo panels whole, %s" %
            (label, steps, "installed" if installs else "cancelled"))
    # Enter and Esc typed while a long copy runs wait in the queue; the
    # completion prompt still waits for its own answer (the driver's No),
    # and nothing is launched.
    slow = os.path.join(session.work, "disk-slow")
    if not os.path.exists(slow):
        shutil.copytree(disk, slow)
        with open(os.path.join(slow, "big.bin"), "wb") as f:
            f.write(bytes(range(256)) * (96 << 10))
        with open(os.path.join(slow, "setup.dat"), "rb") as f:
            text = f.read()
        with open(os.path.join(slow, "setup.dat"), "wb") as f:
            f.write(text.replace(b"[SystemDir]\r\n", b"[SystemDir]\r\n1,big.bin\r\n", 1))
    code, events = run_driver(args, session.wine, session.work, slow, "next,finish-typeahead")
    check(code == 0, "%s, type-ahead: exit code %d" % (label, code))
    prompts = [e for e in events if e["event"] == "message"]
    check(len(prompts) == 1 and prompts[0]["buttons"] == "yesno" and prompts[0]["answer"] == "no",
          "%s, type-ahead: the prompt was not left to the driver: %r" % (label, prompts))
    check(not [e for e in events if e["event"] == "launch"], "%s, type-ahead: something was launched" % label)
    log("%s, type-ahead during the copy: the prompt waited for its answer" % label)


def expected_tiny_registry(instance="0000"):
    display = "hkey_local_machine\\system\\currentcontrolset\\services\\class\\display\\" + instance
    return {
        display: {"driverdesc": (1, b"Vorel Test Display")},
        display + "\\default": {"drv": (1, b"vorel.drv"), "mode": (1, b"8,640,480"),
                                "chipid": (3, bytes([0x12, 0x34, 0x56, 0x78]))},
        display + "\\info": {},
        "hkey_local_machine\\enum\\pci\\ven_5654&dev_0001": {
            "driver": (1, ("Display\\" + instance).encode()), "configflags": (3, b"\0\0")},
        "hkey_local_machine\\software\\vorel\\display": {"installed": (1, b"yes")},
        "hkey_local_machine\\software\\classes\\vorelfile": {"": (1, b"Vorel display settings")},
    }


def read_ini_value(path, section, key):
    current = None
    with open(path, "rb") as f:
        for raw in f.read().decode("cp1252").splitlines():
            line = raw.strip()
            if line.startswith("[") and "]" in line:
                current = line[1:line.index("]")].strip().lower()
            elif current == section.lower() and "=" in line:
                name, value = line.split("=", 1)
                if name.strip().lower() == key.lower():
                    return value.strip()
    return None


def check_listed_files(disk, windows_dir, system_dir):
    """Every file of the disk's copy lists is installed with its expanded
    bytes, under its installed name."""
    setup = os.path.join(disk, "setup.dat")
    with open(setup, "rb") as f:
        text = re.sub(r";[^\r\n]*", "", f.read().decode("cp1252"))
    sections, current = {}, None
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("[") and line.endswith("]"):
            current = line.lower()
            sections.setdefault(current, [])
        elif current and line:
            sections[current].append(line)
    product = dict(l.split("=", 1) for l in sections.get("[product]", []) if "=" in l)
    product = {k.strip().lower(): v.strip() for k, v in product.items()}
    checked = 0
    for header, target in (("[windowsdir]", windows_dir), ("[systemdir]", system_dir)):
        for line in sections.get(header, []):
            parts = [p for p in re.split(r"[,\s]+", line) if p]
            if len(parts) < 2:
                continue
            source = os.path.join(disk, parts[1].replace("\\", "/"))
            name = re.split(r"[\\/]", parts[1])[-1]
            mapping = {"dr_": "v", "vx_": "d", "in_": "f", "dl_": "l", "hl_": "p", "da_": "t", "re_": "g",
                       "tx_": "t"}
            if name.lower()[-4:-3] == "." and name.lower()[-3:] in mapping:
                name = name[:-1] + mapping[name.lower()[-3:]]
            directory = target
            if product.get("driverinf") and name.lower() == product["driverinf"].lower():
                directory = os.path.join(target, "inf")
                name = product.get("oemsetupinf") or name
            installed = find_no_case(directory, name)
            check(installed is not None, "%s not installed in %s" % (name, directory))
            with open(source, "rb") as f:
                expected = szdd_expand(f.read())
            with open(installed, "rb") as f:
                check(f.read() == expected, "%s does not hold the expanded %s" % (installed, parts[1]))
            checked += 1
    return checked, product.get("productname", "")


def find_no_case(directory, name):
    if not os.path.isdir(directory):
        return None
    for entry in os.listdir(directory):
        if entry.lower() == name.lower():
            return os.path.join(directory, entry)
    return None


def command_install(args):
    with Session(args, "install") as session:
        disk = make_tiny_disk(os.path.join(session.work, "disk"))
        code, events = run_driver(args, session.wine, session.work, disk, "next,finish", answers="yes")
        check(code == 0, "exit code %d" % code)
        windows, system = wine_windows_dir(session.prefix), wine_system_dir(session.prefix)
        count, product = check_listed_files(disk, windows, system)
        check(count == 4, "the tiny disk lists 4 files, %d checked" % count)
        check(read_ini_value(os.path.join(windows, "system.ini"), "boot.description", "display.drv") == product,
              "system.ini does not name %r as the display" % product)
        expected = expected_tiny_registry()
        found = wine_registry(session.wine, session.work, top_keys(expected))
        check(found == expected, "registry differs:\n  wanted %r\n  found  %r" % (expected, found))
        # The run shows each copy, moves the bar on after each, then asks; Yes
        # starts the Display control panel.
        kinds = [e["event"] for e in events]
        statuses = [e for e in events if e["event"] == "status"]
        check(any(e["text"] == "Copy : a:\\vorel.vx_" for e in statuses),
              "no status line for vorel.vx_: %r" % statuses)
        check(any(e["text"] == "To : c:\\windows\\system32\\vorel.vxd" for e in statuses),
              "no status line for the installed vorel.vxd: %r" % statuses)
        progress = [e["position"] for e in events if e["event"] == "progress"]
        check(len(progress) == count and progress == sorted(set(progress)),
              "progress does not climb once per file: %r" % progress)
        check(kinds.count("message") == 1 and events[-2]["event"] == "message" and
              events[-2]["buttons"] == "yesno" and events[-2]["caption"] == "Vorel Test",
              "not exactly one message, the completion prompt: %r" % events)
        check(events[-1] == {"event": "launch", "command": "CONTROL.EXE DESK.CPL,,3", "started": True},
              "no launch of the Display control panel: %r" % events[-1])
        log("tiny disk: %d files, registry, system.ini and transcript as expected" % count)

        if os.path.exists(os.path.join(EXAMPLE_DISK, "setup.dat")):
            fresh = os.path.join(session.work, "prefix-example")
            session.wine.stop()
            clone_prefix(args.template, fresh)
            example_wine = Wine(fresh, session.display)
            example_wine.start()
            try:
                code, events = run_driver(args, example_wine, session.work, EXAMPLE_DISK, "next,finish")
                check(code == 0, "example disk: exit code %d" % code)
                count, product = check_listed_files(EXAMPLE_DISK, wine_windows_dir(fresh), wine_system_dir(fresh))
                check(read_ini_value(os.path.join(wine_windows_dir(fresh), "system.ini"), "boot.description",
                                     "display.drv") == product, "example disk: system.ini entry")
                check(wine_registry(example_wine, session.work,
                                    ["hkey_local_machine\\system\\currentcontrolset\\services\\class\\display\\0000"]),
                      "example disk: no display class instance 0000")
                log("example disk: %d files, system.ini and registry instance present" % count)
            finally:
                example_wine.stop()
        else:
            log("examples/disk1 not present: the tiny disk only")


# What a Linux batch run and a Wine run may differ in: the system directory
# is C:\WINDOWS\SYSTEM on the Linux build and C:\windows\system32 under Wine.
def normalise_events(events):
    out = []
    for event in events:
        event = dict(event)
        for field in ("text", "caption"):
            if field in event:
                event[field] = re.sub(r"(?i)c:\\windows\\system32(?=\\|$|\W)", r"c:\\windows\\system",
                                      event[field])
                event[field] = re.sub(r"(?i)c:\\windows(?=\\|$|\W)", lambda m: m.group(0).lower(), event[field])
        out.append(event)
    return out


# A system.ini as Windows 95 leaves it, with a display already named.
SEED_SYSTEM_INI = (
    "[boot]\r\nshell=Explorer.exe\r\ndisplay.drv=pnpdrvr.drv\r\n\r\n"
    "[boot.description]\r\nkeyboard.typ=Standard 101/102-Key or Microsoft Natural Keyboard\r\n"
    "Display.Drv=Standard Display Adapter (VGA)\r\n\r\n"
    "[386Enh]\r\nebios=*ebios\r\n")

SCENARIOS = [
    # name, disk maker arguments, answers, what both trees hold before
    ("plain install", {}, "", {}),
    ("missing file, prompt answered OK then Cancel", {"extra_system": "1,absent.dll\n"}, "ok,cancel", {}),
    ("corrupt compressed file", {"corrupt": "vorel.vx_"}, "", {}),
    ("over an older driver and a used system.ini, with a quoted product name",
     {"product_line": 'ProductName =  "Vorel  Test ; 2"  '}, "",
     {"system.ini": SEED_SYSTEM_INI.encode("cp1252"), "vorel.drv": b"an older driver"}),
    ("sources at the longest path LZ opens and one byte beyond", {"long_paths": True}, "", {}),
]


def seed_tree(windows_dir, system_dir, seed):
    """Puts the scenario's files in place before a run: system.ini in the
    Windows directory, any other file in the System directory."""
    for name, data in seed.items():
        directory = windows_dir if name == "system.ini" else system_dir
        os.makedirs(directory, exist_ok=True)
        with open(os.path.join(find_no_case(directory, name) or os.path.join(directory, name)), "wb") as f:
            f.write(data)


def compare_runs(args, session, name, disk, answers, seed):
    host_prefix = os.path.join(session.work, "host-" + re.sub(r"\W+", "-", name))
    wine_prefix = os.path.join(session.work, "wine-" + re.sub(r"\W+", "-", name))
    seed_tree(os.path.join(host_prefix, "drive_c", "WINDOWS"), os.path.join(host_prefix, "drive_c", "WINDOWS", "SYSTEM"),
              seed)
    batch_events = run_batch(args, host_prefix, disk, answers)
    clone_prefix(args.template, wine_prefix)
    seed_tree(wine_windows_dir(wine_prefix), wine_system_dir(wine_prefix), seed)
    wine = Wine(wine_prefix, session.display)
    wine.start()
    try:
        code, wine_events = run_driver(args, wine, session.work, disk, "next,finish", answers=answers)
        check(code == 0, "%s: VSETUP.EXE exit code %d" % (name, code))
        faults = []
        a, b = normalise_events(batch_events), normalise_events(wine_events)
        if a != b:
            for i in range(max(len(a), len(b))):
                left = a[i] if i < len(a) else None
                right = b[i] if i < len(b) else None
                if left != right:
                    faults.append("transcripts part at event %d:\n    batch: %s\n    wine:  %s" %
                                  (i, json.dumps(left), json.dumps(right)))
                    break

        host_windows = find_no_case(os.path.join(host_prefix, "drive_c"), "windows")
        host_system = find_no_case(host_windows, "system") if host_windows else None
        check(host_windows and host_system, "%s: the batch build made no C:\\WINDOWS\\SYSTEM" % name)
        for label, host_dir, wine_dir in (("system", host_system, wine_system_dir(wine_prefix)),
                                          ("windows", host_windows, wine_windows_dir(wine_prefix))):
            host_files = {}
            for entry in os.listdir(host_dir):
                path = os.path.join(host_dir, entry)
                if os.path.isfile(path) and entry.lower() != "system.ini":
                    with open(path, "rb") as f:
                        host_files[entry.lower()] = f.read()
            inf = find_no_case(host_dir, "inf")
            if inf and label == "windows":
                for entry in os.listdir(inf):
                    with open(os.path.join(inf, entry), "rb") as f:
                        host_files["inf/" + entry.lower()] = f.read()
            for relative, data in sorted(host_files.items()):
                parts = relative.split("/")
                directory = wine_dir if len(parts) == 1 else find_no_case(wine_dir, parts[0])
                installed = find_no_case(directory, parts[-1]) if directory else None
                if installed is None:
                    faults.append("%s dir: %s installed by the batch build only" % (label, relative))
                    continue
                with open(installed, "rb") as f:
                    if f.read() != data:
                        faults.append("%s dir: %s differs" % (label, relative))
        # Files that only VSETUP.EXE installed: anything of the disk's that
        # the template does not have.
        template_system = set(e.lower() for e in os.listdir(wine_system_dir(args.template)))
        for entry in os.listdir(wine_system_dir(wine_prefix)):
            if entry.lower() not in template_system and find_no_case(host_system, entry) is None:
                faults.append("system dir: %s installed by VSETUP.EXE only" % entry)

        host_ini = os.path.join(host_windows, find_no_case(host_windows, "system.ini") or "system.ini")
        host_entry = read_ini_value(host_ini, "boot.description", "display.drv") if os.path.exists(host_ini) else None
        wine_entry = read_ini_value(os.path.join(wine_windows_dir(wine_prefix), "system.ini"),
                                    "boot.description", "display.drv")
        if host_entry != wine_entry:
            faults.append("system.ini display.drv: batch %r, wine %r" % (host_entry, wine_entry))
        if "system.ini" in seed:
            # Both started from the same file: the edit must be the same,
            # byte for byte, but for blank lines, which Wine's profile
            # writer drops and Windows keeps.
            def without_blank_lines(path):
                with open(path, "rb") as f:
                    return b"".join(l for l in f.read().splitlines(True) if l.strip())
            host_bytes = without_blank_lines(host_ini)
            wine_bytes = without_blank_lines(os.path.join(wine_windows_dir(wine_prefix), "system.ini"))
            if host_bytes != wine_bytes:
                faults.append("system.ini differs:\n    batch: %r\n    wine:  %r" % (host_bytes, wine_bytes))

        store = os.path.join(host_prefix, "registry.reg")
        host_keys = {}
        if os.path.exists(store):
            with open(store, "rb") as f:
                host_keys = parse_reg(f.read())
        # The store also holds every parent of what the installer made;
        # the comparison starts at the keys that hold values or are leaves.
        made = {k for k, values in host_keys.items()
                if values or not any(other.startswith(k + "\\") for other in host_keys)}
        tops = top_keys(made) or ["hkey_local_machine\\system\\currentcontrolset\\services\\class\\display"]
        host_keys = {k: v for k, v in host_keys.items() if any(k == t or k.startswith(t + "\\") for t in tops)}
        wine_keys = wine_registry(wine, session.work, tops)
        for key in sorted(set(host_keys) | set(wine_keys)):
            if host_keys.get(key) != wine_keys.get(key):
                faults.append("registry %s:\n    batch: %r\n    wine:  %r" % (key, host_keys.get(key),
                                                                             wine_keys.get(key)))
        return faults, len(batch_events)
    finally:
        wine.stop()


def command_differential(args):
    check(args.vsetup and os.path.exists(args.vsetup), "the batch build's vsetup is needed (--vsetup)")
    all_faults = []
    with Session(args, "differential") as session:
        runs = []
        for name, disk_args, answers, seed in SCENARIOS:
            disk = make_tiny_disk(os.path.join(session.work, "disk-" + re.sub(r"\W+", "-", name)), **disk_args)
            runs.append(("tiny disk, " + name, disk, answers, seed))
        if os.path.exists(os.path.join(EXAMPLE_DISK, "setup.dat")):
            runs.append(("example disk", EXAMPLE_DISK, "", {}))
        else:
            log("examples/disk1 not present: the tiny disk only")
        for name, disk, answers, seed in runs:
            faults, count = compare_runs(args, session, name, disk, answers, seed)
            if faults:
                all_faults.append("%s:\n  %s" % (name, "\n  ".join(faults)))
            else:
                log("%s: same %d events, files, registry and system.ini" % (name, count))
    check(not all_faults, "the batch build and VSETUP.EXE differ:\n" + "\n".join(all_faults))


def command_screenshots(args):
    out = args.out or os.path.join(args.work, "screenshots")
    os.makedirs(out, exist_ok=True)
    with Session(args, "screenshots") as session:
        if os.path.exists(os.path.join(EXAMPLE_DISK, "setup.dat")):
            disk = EXAMPLE_DISK
        else:
            disk = make_tiny_disk(os.path.join(session.work, "disk"))
        shots = os.path.join(session.work, "shots")
        os.makedirs(shots)
        code, _ = run_driver(args, session.wine, session.work, disk, "next,cancel", shots=shots)
        check(code == 0, "exit code %d" % code)
        convert = shutil.which("convert")
        for page in ("welcome", "finish"):
            bitmap = os.path.join(shots, page + ".bmp")
            check(os.path.exists(bitmap), "no picture of the %s page" % page)
            target = os.path.join(out, "wine-%s.png" % page)
            if convert:
                subprocess.run([convert, bitmap, "-strip", target], check=True)
            else:
                shutil.copy(bitmap, target[:-4] + ".bmp")
            log("%s page: %s" % (page, target))


COMMANDS = {
    "unconfigured": command_unconfigured,
    "imports": command_imports,
    "template": command_template,
    "cleanup": command_cleanup,
    "buttons": command_buttons,
    "install": command_install,
    "differential": command_differential,
    "screenshots": command_screenshots,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command", choices=sorted(COMMANDS))
    parser.add_argument("--win32-dir", help="the cross build directory")
    parser.add_argument("--work", default=tempfile.gettempdir(), help="where test prefixes are made")
    parser.add_argument("--template", help="the initialised prefix (default: WORK/template)")
    parser.add_argument("--vsetup", help="the batch build's vsetup program")
    parser.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    parser.add_argument("--out", help="screenshots: where the PNG files go")
    parser.add_argument("--keep", action="store_true", help="keep the work directories")
    args = parser.parse_args()
    args.work = os.path.abspath(args.work)
    if args.vsetup:
        args.vsetup = os.path.abspath(args.vsetup)
    os.makedirs(args.work, exist_ok=True)
    args.template = args.template or os.path.join(args.work, "template")
    try:
        check(args.win32_dir or args.command in ("unconfigured", "template", "cleanup"), "--win32-dir is needed")
        COMMANDS[args.command](args)
    except Failure as failure:
        print("FAIL: %s" % failure, file=sys.stderr, flush=True)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
