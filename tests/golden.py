#!/usr/bin/env python3
"""Runs the golden scenarios of tests/golden/ through the batch build.

    golden.py --vsetup BIN [--bless] [--shim KILL_SHIM] [NAME...]

Each folder of tests/golden/ is one installation: its settings in the file
`scenario` (one "key = value" a line), the disk and the prefix before the
run, and expect/, what the run must leave; docs/testing.md lists them all.
The transcript and stderr name the run's directories @DISK@ and @PREFIX@.
The disk is reached as drive A: (dosdevices/a:), as a diskette would be, and
must be left as it was. --bless writes expect/ from the run instead of
comparing: read the result before committing it. Standard library only.
"""

import argparse
import fnmatch
import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import stat
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "image"))
import qemu_forms  # noqa: E402
SOURCE_DIR = os.path.dirname(HERE)
GOLDEN = os.path.join(HERE, "golden")
NOBODY = 65534


def read(path, default=None):
    if not os.path.exists(path):
        return default
    with open(path, "rb") as f:
        return f.read()


def generated_files(scenario, where="prefix"):
    """{path below where (disk or prefix): bytes} of the scenario's generated files."""
    made = {}
    for path, script, *args in entries(scenario, "generated"):
        place, _, name = path.partition("/")
        if place == where:
            made[name] = subprocess.run([sys.executable, os.path.join(SOURCE_DIR, script)] + args,
                                        stdout=subprocess.PIPE, check=True).stdout
    return made


def seed_files(scenario):
    """The prefix before the run: prefix/ and the generated files."""
    return dict(files_below(os.path.join(scenario, "prefix")), **generated_files(scenario))


def expected_files(scenario):
    """The prefix after the run: the generated files, then expect/prefix/."""
    return dict(generated_files(scenario), **files_below(os.path.join(scenario, "expect", "prefix")))


def write_file(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def lines(path):
    return [line.split() for line in read(path, b"").decode().splitlines() if line.strip()]


SETTINGS = ("base", "remove", "start", "answers", "env", "mode", "odd-file", "user", "file-size-limit", "stdout",
            "runs", "ignore", "generated", "wine", "kill", "crash", "image")


def settings(scenario):
    """The scenario file's settings: {key: [value, ...]}, values in their order."""
    found = {}
    text = read(os.path.join(scenario, "scenario"), b"").decode()
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        key, equals, value = (part.strip() for part in line.partition("="))
        if not equals or key not in SETTINGS:
            sys.exit("%s/scenario line %d is no setting: %s" % (scenario, number, line))
        if len(value) > 1 and value[0] == value[-1] == '"':
            value = value[1:-1]
        if key == "image" and value != "raw" and value not in qemu_forms.FORMS:
            sys.exit("%s/scenario line %d names no image form: %s" % (scenario, number, value))
        found.setdefault(key, []).append(value)
    return found


def setting(scenario, key, default=None):
    return settings(scenario).get(key, [default])[-1]


def entries(scenario, key):
    """A repeatable setting's values, each split at blanks."""
    return [value.split() for value in settings(scenario).get(key, [])]


def files_below(root, skip=("dosdevices",)):
    """{relative path: bytes} of every file below root; FIFOs and huge files by
    their kind and size."""
    found = {}
    for directory, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if os.path.relpath(os.path.join(directory, d), root) not in skip)
        for name in files:
            path = os.path.join(directory, name)
            info = os.lstat(path)
            if stat.S_ISLNK(info.st_mode):
                continue
            small = stat.S_ISREG(info.st_mode) and info.st_size < 1 << 26
            found[os.path.relpath(path, root)] = read(path) if small else b"%o %d" % (info.st_mode, info.st_size)
    return found


def make_odd_file(path, kind):
    if os.path.lexists(path):
        os.remove(path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if kind == "fifo":
        os.mkfifo(path)
    else:
        with open(path, "wb") as f:
            f.truncate(100 << 30)


def set_modes(prefix, entries):
    for path, mode, *owner in entries:
        if owner and os.geteuid() == 0:
            os.chown(os.path.join(prefix, path), int(owner[0]), int(owner[0]))
        os.chmod(os.path.join(prefix, path), int(mode, 8))


def in_child(scenario, user):
    """What the run's process sets before it starts vsetup: umask, limits and,
    when user, the user nobody."""
    size = setting(scenario, "file-size-limit")

    def setup():
        os.umask(0o022)  # the mode installed files get is then known
        if size:
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # stays ignored across exec
            resource.setrlimit(resource.RLIMIT_FSIZE, (int(size), int(size)))
        if user:
            os.setgroups([])
            os.setgid(NOBODY)
            os.setuid(NOBODY)
    return setup


def copy_tree(source, target):
    if os.path.isdir(source):
        shutil.copytree(source, target, symlinks=True, dirs_exist_ok=True)


def assemble_disk(scenario, disk):
    """The scenario's disk in disk: the base disk without remove's files,
    changed by disk/ and the generated files."""
    base = setting(scenario, "base")
    if base:
        copy_tree(os.path.join(SOURCE_DIR, base), disk)
    for names in entries(scenario, "remove"):
        for name in names:
            os.remove(os.path.join(disk, name))
    copy_tree(os.path.join(scenario, "disk"), disk)
    os.makedirs(disk, exist_ok=True)
    for name, data in generated_files(scenario, "disk").items():
        write_file(os.path.join(disk, name), data)


def scenario_env(scenario, disk, prefix):
    """The scenario's variables (env and answers) as a dict, with @DISK@ and
    @PREFIX@ filled in."""
    pairs = [value.split("=", 1) for value in settings(scenario).get("env", [])]
    answers = setting(scenario, "answers")
    if answers is not None:
        pairs.append(("VSETUP_ANSWERS", answers))
    return {name: value.replace("@DISK@", disk).replace("@PREFIX@", prefix) for name, value in pairs}


def insert_disk(prefix, disk):
    os.makedirs(os.path.join(prefix, "dosdevices"), exist_ok=True)
    drive = os.path.join(prefix, "dosdevices", "a:")
    if os.path.lexists(drive):
        os.remove(drive)
    os.symlink(disk, drive)


def mtools(*args, check=True):
    return subprocess.run(args, env=dict(os.environ, MTOOLS_SKIP_CHECK="1", LC_ALL="C"), stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, check=check)


def make_image(prefix, image, form):
    """A bare FAT volume of 8 MiB holding prefix/drive_c, with Windows'
    directories, and prefix/registry.reg beside it; for a form QEMU writes,
    the image of that form qemu-img makes of the volume (left outside the
    image's directory, where it would show as a file beside the image)."""
    os.makedirs(os.path.join(prefix, "drive_c", "WINDOWS", "SYSTEM"), exist_ok=True)
    os.makedirs(os.path.dirname(image))
    raw = image if form == "raw" else os.path.dirname(image) + ".raw"
    with open(raw, "wb") as f:
        f.truncate(8 << 20)
    mtools("mformat", "-i", raw, "-T", "16384", "-h", "16", "-s", "63", "::")
    mtools("mcopy", "-s", "-i", raw, os.path.join(prefix, "drive_c", "WINDOWS"), "::/")
    if form != "raw":
        qemu_forms.make_form(form, raw, image)
    if os.path.exists(os.path.join(prefix, "registry.reg")):
        shutil.copy(os.path.join(prefix, "registry.reg"), image + ".registry.reg")


def read_image(image, into, form="raw", parts=()):
    """The image's files read back into into/drive_c, and the files beside it
    but its parts (registry.reg, any other as beside/NAME); the fault fsck.fat
    -n finds or None. A form QEMU writes is read as the raw disk qemu-img
    converts it to, outside the image's directory."""
    volume = image if form == "raw" else os.path.dirname(image) + ".raw"
    if form != "raw":
        qemu_forms.qemu_img("convert", "-O", "raw", image, volume)
    shutil.rmtree(into, ignore_errors=True)
    os.makedirs(os.path.join(into, "drive_c", "WINDOWS"))
    mtools("mcopy", "-s", "-n", "-i", volume, "::/WINDOWS", os.path.join(into, "drive_c"), check=False)
    for name in os.listdir(os.path.dirname(image)):
        beside = "registry.reg" if name == os.path.basename(image) + ".registry.reg" else "beside/" + name
        if name not in (os.path.basename(image),) + tuple(parts):
            write_file(os.path.join(into, beside), read(os.path.join(os.path.dirname(image), name)))
    fsck = subprocess.run(["fsck.fat", "-n", volume], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return fsck.stdout.decode() if fsck.returncode else None


def image_faults(image, form, identity, parts, into):
    """Reads the image back into into (see read_image): fault lines for what
    fsck.fat -n finds and, for a form QEMU writes, for what qemu-img check
    finds and each part of the identity taken before the run that changed."""
    faults = []
    if form != "raw":
        check = subprocess.run(["qemu-img", "check", image], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        # Exit 63: QEMU has no check for the form (VHD).
        faults += [] if check.returncode in (0, 63) else ["qemu-img check: " + check.stdout.decode()]
        try:
            now = qemu_forms.identity(image, form)
        except subprocess.CalledProcessError as error:
            return faults + ["qemu-img cannot read the image after the run: " + error.stderr.decode().strip()]
        faults += ["the image's %s: %s, before the run %s" % (what, now.get(what), identity.get(what))
                   for what in sorted(set(now) | set(identity)) if now.get(what) != identity.get(what)]
    fsck = read_image(image, into, form, parts)
    return faults + (["fsck.fat -n: " + fsck] if fsck else [])


def run_batch(vsetup, scenario, work, extra_env=None, fresh=True, at_start=None):
    """Runs the scenario in work (a new disk and prefix when fresh); at_start(prefix)
    is called just before the run starts. With `image`, the prefix is a FAT
    image made of the prefix tree (at_start gets its directory), read back
    into that tree after the run."""
    disk, prefix = os.path.join(work, "disk"), os.path.join(work, "prefix")
    form = setting(scenario, "image")
    image = os.path.join(work, "image", "c.img") if form else None
    outside = os.path.join(work, "outside")
    user = setting(scenario, "user") == "nobody" and os.geteuid() == 0
    if fresh:
        assemble_disk(scenario, disk)
        copy_tree(os.path.join(scenario, "prefix"), prefix)
        for path, data in generated_files(scenario).items():
            write_file(os.path.join(prefix, path), data)
        copy_tree(os.path.join(scenario, "outside"), outside)
        insert_disk(prefix, disk)
        if os.path.isdir(outside):
            os.symlink(outside, os.path.join(prefix, "dosdevices", "d:"))
        for path, kind in entries(scenario, "odd-file"):
            make_odd_file(os.path.join(work, path), kind)
        if user:
            # nobody reaches the program and the disk, and owns the prefix.
            os.chmod(work, 0o755)
            vsetup = shutil.copy(vsetup, os.path.join(work, "vsetup"))
            for directory, dirs, files in os.walk(prefix):
                for name in [directory] + [os.path.join(directory, n) for n in dirs + files]:
                    os.lchown(name, NOBODY, NOBODY)
        set_modes(prefix, entries(scenario, "mode"))
        if image:
            make_image(prefix, image, form)
    parts, identity = [], {}
    if image and form != "raw":  # the files the image is made of, and its identity, which the run must keep
        parts = [name for name in os.listdir(os.path.dirname(image)) if not name.endswith(".registry.reg")]
        identity = qemu_forms.identity(image, form)
    start = os.path.join(disk, setting(scenario, "start", ""))
    os.makedirs(start, exist_ok=True)
    before = (files_below(disk, ()), files_below(outside, ()))
    env = dict(os.environ)
    for name in ("VSETUP_UI", "VSETUP_ANSWERS", "DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(name, None)
    env.update({"VSETUP_UI": "batch", "VSETUP_PREFIX": image or prefix})
    env.update(scenario_env(scenario, disk, prefix))
    env.update(extra_env or {})
    sink = setting(scenario, "stdout")
    if at_start:
        at_start(os.path.dirname(image) if image else prefix)
    out = subprocess.PIPE
    if sink == "closed":
        reader, out = os.pipe()
        os.close(reader)
    elif sink == "full":
        out = os.open("/dev/full", os.O_WRONLY)
    runs = [subprocess.Popen([vsetup], cwd=start, env={k: v.replace("@RUN@", str(i)) for k, v in env.items()},
                             stdout=out, stderr=subprocess.PIPE, preexec_fn=in_child(scenario, user))
            for i in range(int(setting(scenario, "runs", "1")))]
    if out != subprocess.PIPE:
        os.close(out)
    def named(text):
        # An image prefix maps no drive A: the disk is drive Z, named by its path.
        dos = b"z:" + disk.lower().replace("/", "\\\\").encode()
        return text.replace((image or prefix).encode(), b"@PREFIX@").replace(disk.encode(), b"@DISK@").replace(
            dos, b"@DISK@")
    results = []
    for run in runs:
        output, errors = run.communicate(timeout=300)
        results.append(subprocess.CompletedProcess(run.args, run.returncode, named(output or b""), named(errors)))
    result = results[0]
    result.alike = all((r.returncode, r.stdout) == (result.returncode, result.stdout) for r in results)
    result.untouched = before == (files_below(disk, ()), files_below(outside, ()))
    result.image_faults = image_faults(image, form, identity, parts, prefix) if image else []
    for directory, dirs, _ in os.walk(work):
        for name in dirs:  # so that the scratch directory can be removed
            os.chmod(os.path.join(directory, name), 0o755)
    return result, prefix


def compare(scenario, result, prefix):
    """The differences between the run and expect/, as a list of lines."""
    expect = os.path.join(scenario, "expect")
    faults = [] if result.untouched else ["the disk or the directory D: maps changed"]
    faults += [] if result.alike else ["the runs made at once did not all end alike"]
    faults += result.image_faults
    wanted_exit = int(read(os.path.join(expect, "exit"), b"0"))
    if result.returncode != wanted_exit:
        faults.append("exit code %d, expected %d" % (result.returncode, wanted_exit))
    faults += first_difference(read(os.path.join(expect, "transcript.jsonl"), b"").decode().splitlines(),
                               result.stdout.decode("utf-8", "replace").splitlines())
    stderr = result.stderr.decode("utf-8", "replace")
    for line in read(os.path.join(expect, "stderr"), b"").decode().splitlines():
        if line and line not in stderr:
            faults.append("stderr lacks %r; it was:\n%s" % (line, stderr))
    for path, kind in entries(scenario, "odd-file"):
        info = os.lstat(os.path.join(os.path.dirname(prefix), path))
        if (stat.S_ISFIFO(info.st_mode), info.st_size) != (kind == "fifo", 0 if kind == "fifo" else 100 << 30):
            faults.append("%s is no longer the %s it was" % (path, kind))
    got_files, wanted_files = prefix_files(scenario, prefix), expected_files(scenario)
    for path, mode, *owner in lines(os.path.join(expect, "modes")):
        info = os.lstat(os.path.join(prefix, path))
        if "%o" % (info.st_mode & 0o7777) != mode or (owner and os.geteuid() == 0 and str(info.st_uid) != owner[0]):
            faults.append("%s: mode %o, owner %d" % (path, info.st_mode & 0o7777, info.st_uid))
    faults += ["%s differs:\n    expected %r\n    got      %r" % (name, (wanted_files.get(name, "(none)"))[:300],
                                                                   (got_files.get(name, "(none)"))[:300])
               for name in sorted(set(got_files) | set(wanted_files)) if got_files.get(name) != wanted_files.get(name)]
    return faults


def first_difference(wanted, got):
    """The first line where two transcripts part, as a list of at most one fault."""
    for i in range(max(len(wanted), len(got))):
        if wanted[i:i + 1] != got[i:i + 1]:
            return ["transcript line %d:\n    expected %s\n    got      %s" %
                    (i + 1, (wanted[i:i + 1] or ["(nothing)"])[0], (got[i:i + 1] or ["(nothing)"])[0])]
    return []


def prefix_files(scenario, prefix):
    """The prefix's files as expect/prefix/ holds them: without what the
    ignore globs match and the odd files made in it."""
    ignore = [glob for globs in entries(scenario, "ignore") for glob in globs]
    ignore += [path[len("prefix/"):] for path, _ in entries(scenario, "odd-file") if path.startswith("prefix/")]
    return {k: v for k, v in files_below(prefix).items() if not any(fnmatch.fnmatch(k, g) for g in ignore)}


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
    generated = generated_files(scenario)
    for name, data in prefix_files(scenario, prefix).items():
        if data != generated.get(name):
            write_file(os.path.join(expect, "prefix", name), data)


def registry_entries(data):
    """The ("[key]", "name") -> value text pairs of a registry.reg file as the
    store writes it (hex lists joined again), keys and names lower-cased."""
    entries, key = {}, None
    for line in data.decode("cp1252").replace("\\\r\n  ", "").splitlines():
        value = re.match(r'(@|"(?:[^"\\]|\\.)*")=(.*)', line)
        if line.startswith("["):
            key = line.lower()
        elif value and key:
            entries[(key, value.group(1).lower())] = value.group(2)
    return entries


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
    parser.add_argument("--crash-full", action="store_true",
                        help="with --shim, every sync point of scenarios marked `crash`, not every Nth")
    parser.add_argument("names", nargs="*")
    args = parser.parse_args()
    # The kill and power-cut checks live beside this file and use its helpers.
    sys.modules.setdefault("golden", sys.modules[__name__])
    import golden_cuts
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
        if not faults and args.shim and setting(scenario, "kill"):
            faults = golden_cuts.kill_faults(os.path.abspath(args.vsetup), os.path.abspath(args.shim), scenario)
        if not faults and args.shim and setting(scenario, "crash"):
            every = 1 if args.crash_full else int(setting(scenario, "crash"))
            faults = golden_cuts.crash_faults(os.path.abspath(args.vsetup), os.path.abspath(args.shim), scenario, every)
        print("%s: %s" % (name, "ok" if not faults else "FAILED\n  " + "\n  ".join(faults)), flush=True)
        failed += bool(faults)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
