"""The golden scenarios stopped part way, for tests/golden.py: killed at each
counted call (`kill`), and cut off as a power cut would at each sync point
(`crash`), each followed by the next run, which must finish the
installation. Standard library only.
"""

import functools
import os
import re
import shutil
import subprocess
import sys
import tempfile

from golden import (HERE, SOURCE_DIR, expected_files, files_below, insert_disk, read, read_image,
                    registry_entries, run_batch, seed_files, setting, write_file)


def shim_env(shim):
    """The variables that preload the shim (before a sanitized program's runtime)."""
    asan = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
    return {"LD_PRELOAD": shim, "ROBUST_NO_SYNC": "1", "ASAN_OPTIONS": asan}


def kill_faults(vsetup, shim, scenario):
    """Kills the scenario's run at each counted call (see tests/robust/kill_shim.c)."""
    faults = []
    seed = seed_files(scenario)
    done = expected_files(scenario)
    registry = "registry.reg"
    seeded = registry_entries(seed.get(registry, b""))
    with tempfile.TemporaryDirectory(prefix="golden-kill-") as work:
        log, shimmed = os.path.join(work, "calls.log"), shim_env(shim)
        run_batch(vsetup, scenario, os.path.join(work, "complete"), dict(shimmed, ROBUST_LOG=log))
        calls = [line.split() for line in read(log, b"").decode().splitlines()]
        if len(calls) < 10:
            return ["only %d calls counted" % len(calls)]
        stops = [(number, kind, paths, sig, tear) for sig in setting(scenario, "kill").split()
                 for number, kind, *paths in calls
                 for tear in (("0", "1") if kind == "write" and sig == "9" else ("0",))]
        for number, kind, paths, sig, tear in stops:
            point = "stopped by signal %s at call %s (%s %s%s)" % (sig, number, kind, " ".join(paths),
                                                                  ", torn" if tear == "1" else "")
            run = os.path.join(work, "run-%s-%s-%s" % (sig, number, tear))
            result, prefix = run_batch(vsetup, scenario, run, dict(shimmed, ROBUST_KILL_AT=number, ROBUST_TEAR=tear,
                                                                   ROBUST_SIGNAL=sig))
            left = files_below(prefix)
            wrong = sorted(name for name, data in left.items() if name != registry and
                           (name in seed or name in done) and data not in (seed.get(name), done.get(name)))
            lost = sorted(set(seed) - set(left))
            entries = registry_entries(left.get(registry, b""))
            if result.returncode != (-9 if sig == "9" else 128 + int(sig)):
                wrong.append("exit %d, not stopped" % result.returncode)
            if sig != "9":
                wrong += ["%s left behind" % name for name in sorted(set(left) - set(seed) - set(done))
                          if name != "vsetup.journal"]
            if any(entries.get(k) != v for k, v in seeded.items()):
                wrong.append("registry lost what was seeded")
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
        print("  %d calls, %d stops, every state old or new" % (len(calls), len(stops)))
    return faults


def registry_whole(data):
    """Whether registry.reg reads back whole: REGEDIT4, then whole keys and values."""
    text = data.decode("cp1252").replace("\\\r\n  ", "")
    return text.startswith("REGEDIT4\r\n") and text.endswith("\r\n") and all(
        not line or re.fullmatch(r'\[[^\]]+\]|(@|"(?:[^"\\]|\\.)*")=.+', line) for line in text.split("\r\n")[1:])


HIVE = "drive_c/WINDOWS/SYSTEM.DAT"
# What the next run may rewrite with a second instance besides what the cut
# run left: checked by their entries, not their bytes.
REGISTRIES = ("registry.reg", HIVE, "drive_c/WINDOWS/SYSTEM.VS0")
LOGS = ("registry.reg", "drive_c/WINDOWS/SYSTEM.VSJ")


@functools.lru_cache(maxsize=None)
def hive_entries(data):
    """The (key, line) pairs both readers see in SYSTEM.DAT's bytes
    (tools/creg-oracle.py), or None when they cannot read it whole."""
    with tempfile.NamedTemporaryFile() as hive:
        hive.write(data)
        hive.flush()
        oracle = subprocess.run([sys.executable, os.path.join(SOURCE_DIR, "tools", "creg-oracle.py"), hive.name],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    found, key = set(), None
    for line in oracle.stdout.decode().splitlines():
        key = line if line.startswith("[") else key
        found.add((key, line))
    return found if oracle.returncode == 0 else None


def seeded_kept(seed, entries):
    return all(entries.get(k) == v for k, v in registry_entries(seed.get("registry.reg", b"")).items())


def state_faults(seed, done, left, durable):
    """What a power cut's state breaks: a file of the run neither old nor new,
    a file lost, a seeded registry entry or a returned flush lost (durable:
    {name: the log as the flushes that had returned left it})."""
    wrong = sorted("%s neither old nor new" % name for name, data in left.items() if name != "registry.reg" and
                   (name in seed or name in done) and data not in (seed.get(name), done.get(name)))
    wrong += ["%s lost" % name for name in sorted(set(seed) - set(left))]
    entries = registry_entries(left.get("registry.reg", b""))
    wrong += [] if seeded_kept(seed, entries) else ["registry.reg lost seeded entries"]
    for name, data in durable.items():
        if name == "registry.reg":
            kept = all(k in entries for k in registry_entries(data))
        else:  # SYSTEM.DAT's journal, until the new SYSTEM.DAT holds it
            kept = left.get(name, b"").startswith(data) or left.get(HIVE) == done.get(HIVE)
        wrong += [] if kept else ["%s lost a flush that had returned" % name]
    return wrong


def recovery_faults(seed, done, prefix, seeded_hive):
    """What the next run leaves wrong: any file but the registries not as a
    complete run leaves it (a temporary left, a file torn), a registry not
    whole or without its seeded entries."""
    finished = files_below(prefix)
    wrong = ["%s differs after the next run" % name for name in sorted(set(done) | set(finished))
             if name not in REGISTRIES and done.get(name) != finished.get(name)]
    registry = finished.get("registry.reg", b"")
    if "registry.reg" in done and not (registry_whole(registry) and seeded_kept(seed, registry_entries(registry))):
        wrong.append("registry.reg not whole or without its seeded entries after the next run")
    if HIVE in done and finished.get(HIVE) != done[HIVE]:
        entries = hive_entries(finished.get(HIVE, b""))
        if entries is None or not seeded_hive <= entries:
            wrong.append("SYSTEM.DAT not whole or without its seeded entries after the next run")
    return wrong


def returned_flushes(crash_states, tree, changes, root):
    """{j: {log: its bytes}} for each sync j of a file other than the logs
    (registry.reg, SYSTEM.DAT's journal): the logs as they stood then, when
    every flush before had returned."""
    flushes = {}
    for j, change in enumerate(changes):
        if change[0] == "syncfs" or change[0] == "fsync" and os.path.relpath(change[2], root) not in LOGS:
            files = crash_states.materialize(tree, changes, range(j))
            flushes[j] = {os.path.relpath(path, root): data for path, data in files.items()
                          if os.path.relpath(path, root) in LOGS}
    return flushes


def crash_faults(vsetup, shim, scenario, every):
    """Runs the next vsetup on each state a power cut can leave of the scenario's
    run, at every every-th sync point (see tests/robust/crash_states.py)."""
    sys.path.insert(0, os.path.join(HERE, "robust"))
    import crash_states
    seed, done = seed_files(scenario), expected_files(scenario)
    wanted_exit = int(read(os.path.join(scenario, "expect", "exit"), b"0"))
    seen, start, count, image = set(), {}, 0, setting(scenario, "image")
    with tempfile.TemporaryDirectory(prefix="golden-crash-") as work:
        trace, traced = os.path.join(work, "trace"), os.path.join(work, "traced")
        seeded_hive = hive_entries(seed[HIVE]) if HIVE in seed else set()
        shimmed = shim_env(shim)
        run_batch(vsetup, scenario, traced, dict(shimmed, ROBUST_TRACE=trace),
                  at_start=lambda prefix: start.update(root=os.path.realpath(prefix),
                                                      tree=crash_states.snapshot(os.path.realpath(prefix))))
        root = start["root"]
        changes = crash_states.load(trace, root)
        flushes = returned_flushes(crash_states, start["tree"], changes, root)
        for cut, kept, torn, what in crash_states.states(changes, every):
            count += 1
            state = crash_states.materialize(start["tree"], changes, kept, torn)
            if hash(frozenset(state.items())) in seen:
                continue
            seen.add(hash(frozenset(state.items())))
            # In the traced run's own place: the journal names its files by path.
            shutil.rmtree(root)
            for name, data in state.items():
                write_file(name, data)
            left = {os.path.relpath(path, root): data for path, data in state.items()}
            wrong = []
            if image:  # as the next run's recovery alone leaves it: without mtools it stops there
                subprocess.run([vsetup], cwd=work, env=dict(os.environ, VSETUP_UI="batch", PATH="/nonexistent",
                                                              VSETUP_PREFIX=os.path.join(root, "c.img")),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                fsck = read_image(os.path.join(root, "c.img"), os.path.join(work, "recovered"))
                left = files_below(os.path.join(work, "recovered"))
                wrong += ["fsck.fat -n: " + fsck] if fsck else []
                wrong += [] if left.get("registry.reg") in (seed.get("registry.reg"), done.get("registry.reg")) else [
                    "registry.reg neither old nor new"]
            wrong += state_faults(seed, done, left, ([{}] + [flushes[j] for j in sorted(flushes) if j < cut])[-1])
            # The files are installed before the registry: once a flush of it
            # has returned, a file not in place would be a driver the
            # registry names but the disk does not hold.
            if any(c[0] == "fsync" and os.path.relpath(c[2], root) in LOGS for c in changes[:cut]):
                wrong += ["%s not installed before the registry was flushed" % name for name in sorted(done)
                          if name not in REGISTRIES and not name.endswith("system.ini") and left.get(name) != done[name]]
            if cut == len(changes):  # the run had ended: all it did must last
                wrong += ["%s not as the run left it" % name for name in sorted(done) if left.get(name) != done[name]]
            if not image:
                insert_disk(root, os.path.join(traced, "disk"))
            again, prefix = run_batch(vsetup, scenario, traced, shimmed, fresh=False)
            wrong += ["exit %d after the cut" % again.returncode] if again.returncode != wanted_exit else []
            wrong += recovery_faults(seed, done, prefix, seeded_hive)
            if wrong:
                return ["power cut before change %d of %d, %s: %s" % (cut, len(changes), what, "; ".join(wrong))]
        print("  %d changes, %d crash states (%d distinct), every one old or new and recovered" %
              (len(changes), count, len(seen)))
    return []
