#!/usr/bin/env python3
"""VSETUP.EXE under Wine: the wizard's buttons, and the golden scenarios
(tests/golden) that are marked for Wine installed by VSETUP.EXE and compared
with what the batch build is expected to leave.

    wine_test.py probe [--win32-dir DIR] [--win64-dir DIR]
    wine_test.py COMMAND --build i686|x86_64 --build-dir DIR --work DIR [options]

The i686 build is VSETUP.EXE itself, run by 32-bit Wine; the x86_64 build is
its 64-bit twin from the same sources, run by 64-bit Wine, for machines
whose kernel refuses 32-bit programs. A test for a build whose Wine cannot
run here says so and exits 77, which CTest shows as skipped; the probe
fails when no configured build can run at all.

Commands:
  unconfigured   fails, saying how to point the tests at a cross build
  probe          tries each build's Wine and says which runs here; fails
                 when none does, naming what is missing
  template       makes the initialised Wine prefix the other tests copy
  cleanup        removes it again
  buttons        the wizard worked by buttons and keys (data/wizard-runs.txt):
                 the focus, the logo panel, what each run leaves
  golden         the scenarios marked `wine = yes`, through VSETUP.EXE; the
                 registry keys it makes must be as expect/wine.reg holds
                 them (--bless writes that file from the run)

Every test copies the template into a prefix of its own, runs Wine on an
Xvfb display of its own (never the caller's), and ends its wineserver.
Standard library only.
"""

import argparse
import contextlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import types

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))
TINY_DISK = os.path.join(SOURCE_DIR, "tests", "disks", "tiny")
sys.path.insert(0, os.path.dirname(HERE))
import golden  # noqa: E402  (the scenario folders: disks, answers, expectations)

# With --win95, every prefix has Wine behave as Windows 95 for VSETUP.EXE.
WIN95_SETTING = ["reg", "add", "HKCU\\Software\\Wine\\AppDefaults\\VSETUP.EXE", "/v", "Version", "/d", "win95", "/f"]
WIN95 = False

# The two builds and the Wine each needs. The loader is named: /usr/bin/wine
# picks the 32-bit one wherever that file is executable, even where the
# kernel then refuses it.
BUILDS = {
    "i686": types.SimpleNamespace(name="VSETUP.EXE (i686)", wine="32-bit Wine", loader="/usr/lib/wine/wine",
                                  arch="win32", package="wine32:i386", preset="win32"),
    "x86_64": types.SimpleNamespace(name="the 64-bit twin of VSETUP.EXE (x86_64)", wine="64-bit Wine",
                                    loader="/usr/lib/wine/wine64", arch="win64", package="wine64", preset="win64"),
}
BUILD = BUILDS["i686"]


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def log(message):
    """Every line says which build ran under which Wine."""
    print("[%s under %s] %s" % (BUILD.name, BUILD.wine, message), flush=True)


def why_wine_cannot_run(build):
    """Runs the build's Wine loader, a real program of its word size; None
    when it runs, else the reason ("Exec format error" where the kernel
    refuses its word size)."""
    try:
        result = subprocess.run([build.loader, "--version"], capture_output=True, timeout=60)
    except OSError as error:
        return "%s: %s (package %s)" % (build.loader, error.strerror, build.package)
    return None if result.stdout.startswith(b"wine-") else "%s --version failed" % build.loader


# ---------------------------------------------------------------- Wine

def windows_path(path):
    """The Z: drive path Wine gives a host path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Display:
    """A private Xvfb server for one test, numbered by Xvfb itself."""

    def __enter__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as numbers:
            self.name = ":" + numbers.readline().strip()
        check(self.name[1:].isdigit(), "Xvfb did not start")
        return self

    def __exit__(self, *exc):
        self.process.kill()
        self.process.wait()


class Wine:
    """Wine on one prefix and one display."""

    def __init__(self, prefix, display):
        self.prefix = prefix
        # No Gecko or Mono installer prompts; never the caller's display.
        self.env = dict({k: v for k, v in os.environ.items() if k != "WAYLAND_DISPLAY"}, WINEPREFIX=prefix,
                        WINEARCH=BUILD.arch, WINELOADER=BUILD.loader, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY=display.name, LANG="C.UTF-8")

    def run(self, args, timeout=180):
        """Runs a Wine command; its output goes through files, since the
        prefix's background processes keep inherited pipes open."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            process = subprocess.run([BUILD.loader] + args, env=self.env, timeout=timeout, stdout=out, stderr=err)
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(process.args, process.returncode, out.read(), err.read())

    def start(self):
        """Keeps the prefix's wineserver running between commands, so each
        one starts quickly."""
        subprocess.run(["wineserver", "-p"], env=self.env, timeout=60, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        if WIN95:
            check(self.run(WIN95_SETTING).returncode == 0, "could not set Version=win95 for VSETUP.EXE")

    def stop(self):
        """Ends every process of the prefix; the server writes the registry
        files as it goes."""
        for flag in ("-k", "-w"):
            subprocess.run(["wineserver", flag], env=self.env, timeout=60, stderr=subprocess.DEVNULL)

    def export_key(self, key, work):
        """The key and its subkeys as regedit exports them (UTF-16 made UTF-8,
        without the header line); "" when the key does not exist."""
        out = os.path.join(work, "export.reg")
        if os.path.exists(out):
            os.remove(out)
        self.run(["regedit", "/E", windows_path(out), key])
        if not os.path.exists(out):
            return ""
        with open(out, "rb") as f:
            return f.read().decode("utf-16").split("\n", 1)[1].replace("\r\n", "\n")


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
    log("template prefix ready (%s, made by %s)" % (BUILD.arch, BUILD.loader))


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


# ---------------------------------------------------------------- driver

def run_driver(args, wine, work, disk, steps, answers="", timeout=120, exe=None):
    """Runs VSETUP.EXE through DRIVE.EXE from disk; returns (exit code, events)."""
    golden.insert_disk(wine.prefix, disk)
    transcript = os.path.join(work, "transcript.jsonl")
    if os.path.exists(transcript):
        os.remove(transcript)
    answers = ",".join(answer.strip() for answer in answers.split(",")) if answers else ""
    command = [os.path.join(args.build_dir, "tests", "wine", "DRIVE.exe"),
               exe or windows_path(os.path.join(args.build_dir, "wizard", "win32", "VSETUP.exe")), "A:\\",
               windows_path(transcript), steps, answers, str(timeout)]
    result = wine.run(command, timeout=timeout + 60)
    output = result.stdout.decode(errors="replace")
    match = re.search(r"exit (-?\d+)", output)
    check(match is not None, "DRIVE.EXE did not finish (code %d): %s %s" %
          (result.returncode, output, result.stderr.decode(errors="replace")))
    check(result.returncode < 200, "DRIVE.EXE failed with %d: %s" %
          (result.returncode, result.stderr.decode(errors="replace")))
    events = [json.loads(line) for line in golden.read(transcript, b"").decode().splitlines()]
    # The driver's observer reports that it is in place; nothing else of
    # the installer's comes before that.
    check(events[:1] == [{"event": "observer", "attached": True}],
          "the observer did not attach to VSETUP.EXE: %r" % events[:1])
    return int(match.group(1)), events[1:]


# ---------------------------------------------------------------- registry

def installer_keys(scenario):
    """The keys holding values that the scenario's run adds to registry.reg,
    without those below another of them."""
    seeded = golden.registry_entries(golden.seed_files(scenario).get("registry.reg", b""))
    made = golden.registry_entries(golden.expected_files(scenario).get("registry.reg", b""))
    tops = []
    for key in sorted(set(k[1:-1] for k, _ in made) - set(k[1:-1] for k, _ in seeded)):
        if not any(key.startswith(t + "\\") for t in tops):
            tops.append(key)
    return tops


def wine_registry(wine, work, keys):
    """The Wine prefix's keys (with their subkeys) as regedit exports them."""
    return "".join(wine.export_key(key, work) for key in keys)


# ---------------------------------------------------------------- snapshots

def tree_state(root):
    """Every file below root with its size and modification time."""
    return {os.path.relpath(path, root).lower(): (info.st_size, info.st_mtime_ns) for path, info in
            ((os.path.join(d, n), os.lstat(os.path.join(d, n))) for d, _, names in os.walk(root) for n in names)}


# ---------------------------------------------------------------- commands

def command_unconfigured(args):
    raise Failure("the Wine tests need a cross build: configure this build with "
                  "-DVSETUP_WIN32_DIR=<dir of the win32 build holding wizard/win32/VSETUP.exe> and "
                  "-DVSETUP_WIN64_DIR=<the same of the win64 build>, "
                  "e.g. cmake --preset win32 && cmake --build --preset win32 (and win64)")


def command_probe(args):
    """Which configured build can run here; a build whose Wine runs must
    have been built."""
    global BUILD
    missing = []
    for key, directory in (("i686", args.win32_dir), ("x86_64", args.win64_dir)):
        BUILD = BUILDS[key]
        reason = why_wine_cannot_run(BUILD)
        if reason:
            missing.append(reason)
            log("not run here: %s cannot run: %s" % (BUILD.wine, reason))
            continue
        check(os.path.exists(os.path.join(directory, "wizard", "win32", "VSETUP.exe")),
              "%s runs here, but %s is not built: cmake --build --preset %s" % (BUILD.wine, BUILD.name, BUILD.preset))
        log("runs here: the Wine tests run it")
    check(len(missing) < 2, "no Wine here can run a Windows build of the installer: " + "; ".join(missing))


def command_template(args):
    make_template(args.template)


def command_cleanup(args):
    if os.path.exists(args.template):
        shutil.rmtree(args.template)
    log("template prefix removed")


@contextlib.contextmanager
def session(args, name):
    """One test's own prefix, display and work directory; the directory is
    kept when the test fails or --keep asks for it."""
    work = tempfile.mkdtemp(prefix=name + "-", dir=args.work)
    clone_prefix(args.template, os.path.join(work, "prefix"))
    passed = False
    with Display() as display:
        wine = Wine(os.path.join(work, "prefix"), display)
        wine.start()
        try:
            yield types.SimpleNamespace(work=work, prefix=wine.prefix, display=display, wine=wine)
            passed = True
        finally:
            wine.stop()
            if passed and not args.keep:
                shutil.rmtree(work, ignore_errors=True)
            else:
                log("work directory kept: %s" % work)


# Esc on the completion prompt: where Wine is known to differ from Windows,
# the check states what Windows does and is marked as Wine's own tests mark
# it (todo_wine): expected to fail under Wine, for the reason given, and
# failing the test once it passes, so that the mark goes once Wine does as
# Windows.
ESC_ON_YES_NO = ("Wine's message box (MSGBOX_DlgProc, user32) ends on the IDCANCEL that Esc sends whether or not it "
                 "has a Cancel button; Windows ignores Esc on a box without one. VSETUP.EXE takes IDCANCEL as No")


def command_buttons(args):
    """The runs of data/wizard-runs.txt, by buttons and by keys (with --win95,
    as Windows 95)."""
    label = "Version=win95" if WIN95 else "default version"
    with open(os.path.join(HERE, "data", "wizard-runs.txt")) as f:
        runs = [line.rstrip("\n").split("\t") for line in f if not line.startswith("#")]
    # The pages' texts, as the Qt tests have them (page ; text ; place).
    with open(os.path.join(HERE, "..", "qt", "data", "pages.txt"), encoding="utf-8") as f:
        pages = [line.split(" ; ")[:2] for line in f if not line.startswith("#")]
    with session(args, "buttons") as test:
        system = wine_system_dir(test.prefix)
        keys = installer_keys(os.path.join(golden.GOLDEN, "tiny-install"))
        for steps, focus, installs, prompt in runs:
            for name in filter(None, (find_no_case(system, n) for n in ("vorel.drv", "vorel.vxd"))):
                os.remove(os.path.join(system, name))
            files_before = tree_state(os.path.join(test.prefix, "drive_c"))
            disk = TINY_DISK
            if "typeahead" in steps:
                disk = slow_disk(test.work)
            code, events = run_driver(args, test.wine, test.work, disk, steps, answers=prompt)
            what = "%s, %s, %s" % (label, steps, prompt)
            check(code == 0, "%s: exit code %d" % (what, code))
            seen = [e for e in events if e["event"] == "focus"]
            check(seen == [{"event": "focus", "control": int(c, 16), "usable": True} for c in focus.split()],
                  "%s: focus %r, wanted on %s" % (what, seen, focus))
            check(all(e["whole"] for e in events if e["event"] == "panel"), "%s: a logo panel is cut" % what)
            texts = [e for e in events if e["event"] == "texts"]
            check(len(texts) == steps.split(",").count("texts") and all(
                [[e["page"], t] for t in e["texts"]] == [p for p in pages if p[0] == e["page"]] for e in texts),
                  "%s: the pages show %r, not the texts of pages.txt" % (what, texts))
            prompts = [e for e in events if e["event"] == "message"]
            if installs == "yes":
                check(find_no_case(system, "vorel.drv"), "%s: vorel.drv not installed" % what)
                escapes = [e for e in events if e["event"] == "escape"]
                check(len(prompts) == 1 and prompts[0]["buttons"] == "yesno" and prompts[0]["answer"] == prompt
                      and events[-1 - len(escapes)] == prompts[0] and len(escapes) == (prompt == "esc"),
                      "%s: not the completion prompt alone, at the end: %r" % (what, prompts + escapes))
                if escapes:
                    check(escapes[0]["closed"], "%s: Esc ignored as on Windows: remove its todo_wine mark" % what)
                    log("todo_wine: %s: Esc closed the Yes/No box: %s" % (what, ESC_ON_YES_NO))
            else:
                check(not [e for e in events if e["event"] not in ("focus", "panel", "texts")],
                      "%s: the installer showed %r" % (what, events))
                files_after = tree_state(os.path.join(test.prefix, "drive_c"))
                check(files_after == files_before, "%s: files changed: %s" %
                      (what, sorted(set(files_before.items()) ^ set(files_after.items()))[:10]))
                check(not wine_registry(test.wine, test.work, keys), "%s: installer keys made" % what)
            log("%s: as expected (%s)" % (what, "installed" if installs == "yes" else "nothing touched"))


def slow_disk(work):
    """The tiny disk with a large file more, so that keys can be typed during
    the copy."""
    slow = os.path.join(work, "disk-slow")
    if not os.path.exists(slow):
        shutil.copytree(TINY_DISK, slow)
        with open(os.path.join(slow, "big.bin"), "wb") as f:
            f.write(bytes(range(256)) * (96 << 10))
        with open(os.path.join(slow, "setup.dat"), "rb") as f:
            text = f.read()
        with open(os.path.join(slow, "setup.dat"), "wb") as f:
            f.write(text.replace(b"[SystemDir]\r\n", b"[SystemDir]\r\n1,big.bin\r\n", 1))
    return slow


# What a Linux batch run and a Wine run may differ in: the system directory
# is C:\WINDOWS\SYSTEM on the Linux build and C:\windows\system32 under Wine.
def normalise_events(events):
    def normal(text):
        text = re.sub(r"(?i)c:\\windows\\system32(?=\\|$|\W)", r"c:\\windows\\system", text)
        return re.sub(r"(?i)c:\\windows(?=\\|$|\W)", lambda m: m.group(0).lower(), text)
    return [{k: normal(v) if k in ("text", "caption") else v for k, v in event.items()} for event in events]


def wine_path(prefix, relative):
    r"""Where a file of the batch build's prefix lies in a Wine prefix: the
    Windows directory is C:\windows, the System directory system32; names
    match without regard to case."""
    parts = relative.split("/")
    if len(parts) < 3 or parts[:2] != ["drive_c", "WINDOWS"]:
        return None
    parts[1] = "windows"
    if len(parts) > 3 and parts[2].lower() == "system":
        parts[2] = "system32"
    path = prefix
    for part in parts:
        path = os.path.join(path, find_no_case(path, part) or part)
    return path


def find_no_case(directory, name):
    if os.path.isdir(directory):
        for entry in os.listdir(directory):
            if entry.lower() == name.lower():
                return entry
    return None


def display_entries(data):
    return re.findall(rb"(?im)^display\.drv=.*$", data)


def without_blank_lines(data):
    return b"".join(line for line in data.splitlines(True) if line.strip())


def golden_faults(args, test, scenario):
    """Runs the scenario through VSETUP.EXE in a fresh prefix and lists how
    the result differs from what the batch build is expected to leave."""
    work = tempfile.mkdtemp(prefix="scenario-", dir=test.work)
    disk, prefix = os.path.join(work, "disk"), os.path.join(work, "prefix")
    golden.assemble_disk(scenario, disk)
    clone_prefix(args.template, prefix)
    template_system = set(e.lower() for e in os.listdir(wine_system_dir(prefix)))
    seeds = golden.seed_files(scenario)
    for relative, data in seeds.items():
        golden.write_file(wine_path(prefix, relative), data)
    for name, mode, *_ in golden.entries(scenario, "mode"):
        os.chmod(wine_path(prefix, name), int(mode, 8))
    answers = golden.scenario_env(scenario, disk, prefix).get("VSETUP_ANSWERS", "")
    wine = Wine(prefix, test.display)
    wine.start()
    try:
        code, events = run_driver(args, wine, work, disk, "next,finish", answers=answers)
        faults = [] if code == 0 else ["VSETUP.EXE exit code %d" % code]
        wanted = [json.loads(line) for line in
                  golden.read(os.path.join(scenario, "expect", "transcript.jsonl"), b"").decode().splitlines()]
        faults += golden.first_difference([json.dumps(e) for e in normalise_events(wanted)],
                                          [json.dumps(e) for e in normalise_events(events)])
        expected_files = golden.expected_files(scenario)
        for relative, data in sorted(expected_files.items()):
            target = wine_path(prefix, relative)
            if target is None:
                continue
            if not os.path.exists(target):
                faults.append("%s: not installed by VSETUP.EXE" % relative)
            elif os.path.basename(relative).lower() == "system.ini":
                with open(target, "rb") as f:
                    got = f.read()
                # A seeded system.ini must be edited the same, but for blank
                # lines, which Wine's profile writer drops and Windows keeps;
                # Wine's own gets the same display entry.
                if any(k.lower().endswith("/system.ini") for k in seeds):
                    same = without_blank_lines(got) == without_blank_lines(data)
                else:
                    same = display_entries(got) == display_entries(data)
                if not same:
                    faults.append("system.ini differs:\n    expected %r\n    wine     %r" % (data, got))
            else:
                with open(target, "rb") as f:
                    if f.read() != data:
                        faults.append("%s differs" % relative)
        # The System directory's entries the run is expected to leave.
        expected_names = set(k.split("/")[3].lower() for k in expected_files
                             if k.lower().startswith("drive_c/windows/system/"))
        for entry in os.listdir(wine_system_dir(prefix)):
            if entry.lower() not in template_system and entry.lower() not in expected_names:
                faults.append("system dir: %s installed by VSETUP.EXE only" % entry)
        found = wine_registry(wine, work, installer_keys(scenario) or
                              ["HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Display"])
        baseline = os.path.join(scenario, "expect", "wine.reg")
        if args.bless:
            with open(baseline, "w", encoding="utf-8", newline="\n") as f:
                f.write(found)
        elif found != golden.read(baseline, b"").decode("utf-8"):
            faults.append("the registry keys differ from expect/wine.reg:\n%s" % found)
        return faults
    finally:
        wine.stop()


def command_golden(args):
    every = golden.scenarios(args.names)
    chosen = [s for s in every if golden.setting(s, "wine") == "yes"]
    check(chosen, "no scenario is marked for Wine")
    all_faults = []
    with session(args, "golden") as test:
        test.wine.stop()
        for scenario in chosen:
            faults = golden_faults(args, test, scenario)
            name = os.path.basename(scenario)
            if faults:
                all_faults.append("%s:\n  %s" % (name, "\n  ".join(faults)))
            log("%s: %s" % (name, "FAILED" if faults else "as the batch build"))
    check(not all_faults, "VSETUP.EXE differs from the expected results:\n" + "\n".join(all_faults))


COMMANDS = {
    "unconfigured": command_unconfigured,
    "probe": command_probe,
    "template": command_template,
    "cleanup": command_cleanup,
    "buttons": command_buttons,
    "golden": command_golden,
}


# What CTest takes for a skipped test.
SKIPPED = 77


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command", choices=sorted(COMMANDS))
    parser.add_argument("--build", choices=sorted(BUILDS), default="i686", help="which build is tested")
    parser.add_argument("--build-dir", help="its cross build directory")
    parser.add_argument("--win32-dir", help="probe: the i686 build directory")
    parser.add_argument("--win64-dir", help="probe: the x86_64 build directory")
    parser.add_argument("--work", default=tempfile.gettempdir(), help="where test prefixes are made")
    parser.add_argument("--template", help="the initialised prefix (default: WORK/template)")
    parser.add_argument("--win95", action="store_true",
                        help="run VSETUP.EXE with Wine set to behave as Windows 95 for it")
    parser.add_argument("--bless", action="store_true", help="golden: write expect/wine.reg from the run")
    parser.add_argument("--keep", action="store_true", help="keep the work directories")
    parser.add_argument("names", nargs="*", help="golden: the scenarios to run (default: every one for Wine)")
    args = parser.parse_intermixed_args()
    global WIN95, BUILD
    WIN95 = args.win95
    BUILD = BUILDS[args.build]
    args.work = os.path.abspath(args.work)
    os.makedirs(args.work, exist_ok=True)
    args.template = args.template or os.path.join(args.work, "template")
    try:
        if args.command not in ("unconfigured", "probe", "cleanup"):
            reason = why_wine_cannot_run(BUILD)
            if reason:
                log("SKIPPED: %s cannot run here: %s" % (BUILD.wine, reason))
                return SKIPPED
        check(args.build_dir or args.command in ("unconfigured", "probe", "template", "cleanup"),
              "--build-dir is needed")
        COMMANDS[args.command](args)
    except Failure as failure:
        print("FAIL: %s" % failure, file=sys.stderr, flush=True)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
