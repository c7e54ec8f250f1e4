# The states a power cut can leave of a run traced by kill_shim.c
# (ROBUST_TRACE), under a model no kinder than POSIX:
#
# - a file's data (a write, a truncation) is durable once an fsync or
#   fdatasync of that file, or a syncfs, has returned;
# - a name made, renamed or removed (a new file, rename, unlink, mkdir, rmdir)
#   is durable once its directory (for a rename, both) has been synced, or
#   after a syncfs;
# - anything not yet durable may be lost or kept, each independently of the
#   others, and a kept write may be cut at a 512-byte boundary of the file.
#
# At each sync point (just before each sync, and at the end) the states taken
# are: every pending change lost; every one kept; each pending name change and
# each of the last six pending data changes lost alone (one pending longer was
# lost alone at the earlier points); the pending data of each file lost, the
# rest kept; and every one kept with the last pending write cut, alone and
# with each pending name change or each other file's pending data lost as
# well (a journal lost while the writes it guards are half kept). Kept
# changes apply in the order of the trace to the tree as it was before the
# run. Standard library only.

import os
import stat

SECTOR = 512
LOST_ALONE = 6  # the bound: only the last six pending data changes are lost alone


def snapshot(root):
    """The tree below root before the run: ({path: (file, bytes)}, {directory})."""
    files, directories = {}, {root}
    for directory, dirs, names in os.walk(root):
        dirs[:] = [d for d in dirs if not os.path.islink(os.path.join(directory, d))]
        directories.update(os.path.join(directory, d) for d in dirs)
        for name in names:
            path = os.path.join(directory, name)
            info = os.lstat(path)
            if stat.S_ISREG(info.st_mode):
                with open(path, "rb") as f:
                    files[path] = (("old", info.st_ino), f.read())
    return files, directories


def load(trace, root):
    """The trace's changes below root, a tuple a change; a file is named by
    ("old", inode) or ("new", n), so that an inode used again is a new file."""
    with open(trace + ".data", "rb") as f:
        data = f.read()
    changes, files = [], {}
    with open(trace, "rb") as f:
        lines = f.read().decode("utf-8", "surrogateescape").splitlines()
    for line in lines:
        kind, *words = line.split("\t")
        paths = [os.path.join(os.path.realpath(os.path.dirname(w)), os.path.basename(w)) for w in words if "/" in w]
        if any(not p.startswith(root + "/") and p != root for p in paths):
            continue
        if kind == "new":
            files[words[0]] = ("new", len(changes))
        file = files.get(words[0], ("old", int(words[0]))) if words and words[0].isdigit() else None
        if kind == "write":
            offset, length, at = (int(w) for w in words[1:4])
            changes.append(("write", file, offset, data[at:at + length]))
        elif kind == "trunc":
            changes.append(("trunc", file, int(words[1])))
        elif kind in ("new", "fsync", "rename"):
            changes.append((kind, file) + tuple(paths))
        else:
            changes.append((kind,) + tuple(paths))
    return changes


def waits_for(change):
    """The syncs a change waits for: its file's, or each of its directories'."""
    if change[0] in ("write", "trunc"):
        return [("fsync", change[1])]
    paths = {"new": change[2:], "rename": change[2:], "unlink": change[1:], "mkdir": change[1:], "rmdir": change[1:]}
    return [("dirsync", os.path.dirname(path)) for path in paths.get(change[0], ())]


def durable_at(changes):
    """For each change, the index of the sync that makes it durable (or len)."""
    return [max([next((j for j in range(i + 1, len(changes)) if changes[j][:2] == sync or changes[j] == ("syncfs",)),
                      len(changes)) for sync in waits_for(change)], default=i) for i, change in enumerate(changes)]


def states(changes, every=1):
    """(cut, kept changes, (torn write, bytes kept) or None, what): at each sync
    point every pending change lost, every one kept and each pending name
    change lost alone; at every every-th point also the last data changes
    lost alone and the last write torn. The cut is the index of the sync not
    reached."""
    durable = durable_at(changes)
    points = [j for j, c in enumerate(changes) if c[0] in ("fsync", "dirsync", "syncfs")] + [len(changes)]
    for number, cut in enumerate(reversed(points)):
        done = [i for i in range(cut) if durable[i] < cut]
        pending = [i for i in range(cut) if durable[i] >= cut and changes[i][0] not in ("fsync", "dirsync", "syncfs")]
        yield cut, done, None, "all pending lost"
        yield cut, sorted(done + pending), None, "all pending kept"
        data = [i for i in pending if changes[i][0] in ("write", "trunc")]
        alone = [i for i in pending if i not in data] + (data[-LOST_ALONE:] if number % every == 0 else [])
        for lost in alone:
            yield cut, sorted(done + [i for i in pending if i != lost]), None, "change %d lost" % lost
        files = sorted({changes[i][1] for i in data})
        for file in files:
            yield (cut, sorted(done + [i for i in pending if i not in data or changes[i][1] != file]), None,
                   "the pending data of %s %s lost" % file)
        writes = [i for i in data if changes[i][0] == "write"]
        if writes and number % every == 0:
            _, _, offset, written = changes[writes[-1]]
            cuts = range((offset // SECTOR + 1) * SECTOR, offset + len(written), SECTOR)
            if cuts:
                torn = (writes[-1], cuts[len(cuts) // 2] - offset)
                yield cut, sorted(done + pending), torn, "change %d torn at %d" % torn
                # ... with each pending name change, or each other file's pending data, lost as well
                for lost in [{i} for i in pending if i not in data] + [
                        {i for i in data if changes[i][1] == file} for file in files if file != changes[torn[0]][1]]:
                    yield cut, sorted(set(done + pending) - lost), torn, "change %d torn at %d, %s lost" % (
                        torn + (sorted(lost),))


def materialize(start, changes, kept, torn=None):
    """{path: bytes} of the files the state holds."""
    files, directories = start
    names = {path: file for path, (file, _) in files.items()}
    data = {file: bytearray(content) for file, content in files.values()}
    directories = set(directories)
    for i in kept:
        kind, *words = changes[i]
        if kind == "new":
            names[words[1]] = words[0]
            data.setdefault(words[0], bytearray())
        elif kind == "trunc":
            content = data.setdefault(words[0], bytearray())
            del content[words[1]:]
            content.extend(bytes(words[1] - len(content)))
        elif kind == "write":
            file, offset, written = words
            written = written[:torn[1]] if torn and torn[0] == i else written
            content = data.setdefault(file, bytearray())
            content.extend(bytes(max(0, offset - len(content))))
            content[offset:offset + len(written)] = written
        elif kind == "rename":
            names.pop(words[1], None)
            names[words[2]] = words[0]
        elif kind == "unlink":
            names.pop(words[0], None)
        elif kind == "mkdir":
            directories.add(words[0])
        elif kind == "rmdir":
            directories.discard(words[0])
    return {path: bytes(data.get(file, b"")) for path, file in names.items() if os.path.dirname(path) in directories}
