#!/usr/bin/env python3
"""Makes Windows 95/98 registry files (CREG) for tests and benchmarks.

Written from the public description of the format (libyal's "Windows 9x
Registry File (CREG) format" and the structures its reader and
Parse::Win32Registry read); it shares no code with vsetup's writer and lays
files out differently on purpose, the way a long-used SYSTEM.DAT looks:
navigation entries in reverse order with unused entries between them, 4 KiB
data blocks, records numbered sparsely, slack inside records, free records and
deleted records (a record no key points to) in every block. Every header says
its checksum is valid, and it is (regutils' notes: the 32-bit words of the
header or block add up to zero).

  creg-gen.py display OUT.DAT        display instances 0000 and 0001, Enum\\PCI,
                                      every value type, cp1252 names, a long
                                      list of siblings whose names hash alike
  creg-gen.py big SIZE OUT.DAT [REG] about SIZE bytes of keys and values, and
                                      the same tree as REGEDIT4 text in REG
"""
import struct
import sys


class Key:
    def __init__(self, name):
        self.name = name
        self.values = []  # (name bytes, type, data bytes)
        self.children = []

    def child(self, name):
        for c in self.children:
            if c.name.upper() == name.upper():
                return c
        c = Key(name)
        self.children.append(c)
        return c

    def path(self, path):
        k = self
        for part in path.split(b"\\"):
            k = k.child(part)
        return k


def name_hash(name):
    return sum(c for c in name.upper() if c < 0x80) & 0xFFFFFFFF


def with_checksum(data, at):
    """data with the checksum at `at` set so that its 32-bit words add up to zero."""
    data = bytearray(data)
    struct.pack_into("<I", data, at, -sum(struct.unpack("<%dI" % (len(data) // 4), data)) & 0xFFFFFFFF)
    return bytes(data)


def layout(root):
    # Breadth first; the root's entry first, the others from the end back.
    order, i = [root], 0
    while i < len(order):
        order.extend(order[i].children)
        i += 1
    rest = order[1:]
    entry = {id(root): 0x20}
    slot = 0x20 + 28
    for n, k in enumerate(reversed(rest)):
        if n % 7 == 3:
            slot += 28  # an unused entry
        entry[id(k)] = slot
        slot += 28
    rgkn_size = (slot + 28 * 4 + 0xFFF) & ~0xFFF

    # Records into 4 KiB blocks; live ids 1, 4, 7, ... up to 253; a deleted
    # record (id 2 mod 3) and a free one among them.
    blocks, cur, placed = [], None, {}

    def new_block():
        b = {"records": [], "size": 32, "next": 1}
        blocks.append(b)
        return b

    for n, k in enumerate(rest):
        vals = b"".join(struct.pack("<IIHH", t, 0xFFFFFFFF, len(vn), len(d)) + vn + d for vn, t, d in k.values)
        used = 20 + len(k.name) + len(vals)
        slack = (n % 3) * 4
        extra = []
        if n % 5 == 2:
            extra.append(("free", 24 + (n % 4) * 8))
        if n % 9 == 4:
            extra.append(("deleted", 0))
        need = used + slack + sum(43 if e[0] == "deleted" else e[1] for e in extra)
        if cur is None or cur["size"] + need > 0x1000 and cur["records"] or cur["next"] + 1 > 254:
            cur = new_block()
        for kind, size in extra:
            if kind == "free":
                cur["records"].append(struct.pack("<IIIHHI", size, 0xFFFFFFFF, 20, 0, 0, 0) + bytes(size - 20))
            else:
                rid = cur["next"] + 1  # never a live id
                body = b"Deleted" + struct.pack("<IIHH", 1, 0xFFFFFFFF, 1, 3) + b"x" + b"old"
                cur["records"].append(struct.pack("<IHHIHHI", 20 + len(body), rid, len(blocks) - 1,
                                                  20 + len(body), 7, 1, 0) + body)
        rid = cur["next"]
        cur["next"] += 3
        placed[id(k)] = (rid, len(blocks) - 1)
        cur["records"].append(struct.pack("<IHHIHHI", used + slack, rid, len(blocks) - 1, used, len(k.name),
                                          len(k.values), 0) + k.name + vals + bytes(slack))
        cur["size"] = 32 + sum(len(r) for r in cur["records"])

    out_blocks = []
    for num, b in enumerate(blocks):
        body = b"".join(b["records"])
        size = max(0x1000, (32 + len(body) + 0xFFF) & ~0xFFF)
        tail = size - 32 - len(body)
        if 0 < tail < 20:
            size += 0x1000
            tail += 0x1000
        if tail:
            body += struct.pack("<IIIHHI", tail, 0xFFFFFFFF, 20, 0, 0, 0) + bytes(tail - 20)
        ids = [struct.unpack_from("<H", r, 4)[0] for r in b["records"]]
        ids = [i for i in ids if i != 0xFFFF]
        free = min(set(range(256)) - set(ids))
        header = struct.pack("<4sIIHHIHH8s", b"RGDB", size, tail, 0xD, num, size - tail if tail else 0xFFFFFFFF,
                             max(ids), free, bytes(8))
        out_blocks.append(with_checksum(header + body, 28))

    rgkn = bytearray(rgkn_size)
    struct.pack_into("<4sIIIIII", rgkn, 0, b"RGKN", rgkn_size, 0x20, slot, 0xD, 0, 0)
    parent = {}
    for k in order:
        for c in k.children:
            parent[id(c)] = k
    for k in order:
        first = entry[id(k.children[0])] if k.children else 0xFFFFFFFF
        p = parent.get(id(k))
        sibs = p.children if p else []
        idx = next((i for i, s in enumerate(sibs) if s is k), -1)
        nxt = entry[id(sibs[idx + 1])] if p and idx + 1 < len(sibs) else 0xFFFFFFFF
        rid, blk = placed.get(id(k), (0xFFFF, 0xFFFF))
        struct.pack_into("<IIIIIIHH", rgkn, entry[id(k)], 0, name_hash(k.name), 0xFFFFFFFF,
                         entry[id(p)] if p else 0xFFFFFFFF, first, nxt, rid, blk)
    data = b"".join(out_blocks)
    header = struct.pack("<4sHHIIHHI8s", b"CREG", 0, 1, 0x20 + rgkn_size, 0, len(out_blocks), 5, 0, bytes(8))
    return with_checksum(header, 12) + with_checksum(rgkn, 20) + data


def display_tree():
    root = Key(b"")
    cls = root.path(b"System\\CurrentControlSet\\Services\\Class\\Display")
    cls.values.append((b"", 1, b"Display adapters"))
    cls.values.append((b"Icon", 1, b"-3"))
    for n, desc in ((b"0000", b"Standard VGA"), (b"0001", b"Caf\xe9 Graphics \x80")):
        inst = cls.child(n)
        inst.values += [(b"DriverDesc", 1, desc), (b"InfPath", 1, b"DISPLAY.INF"), (b"Ver", 1, b"4.0\x00")]
        inst.child(b"DEFAULT").values.append((b"drv", 1, b"vga.drv"))
        inst.child(b"MODES").child(b"8").child(b"640,480")
    pci = root.path(b"Enum\\PCI")
    dev = pci.child(b"VEN_1234&DEV_5678").child(b"BUS_00&DEV_02&FUNC_00")
    dev.values += [(b"Driver", 1, b"Display\\0000"), (b"ConfigFlags", 3, b"\x00\x00\x00\x00"),
                   (b"Class", 1, b"DISPLAY")]
    kinds = root.path(b"SOFTWARE\\Vorel Test\\Kinds")
    for t in (0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0x7FFF, 0x80000001):
        kinds.values.append((b"type %d" % t, t, bytes(range(t % 7 + 1))))
    kinds.values += [(b"", 1, b"the default value"), (b"empty", 3, b""), (b"\xc4rger \xdf", 1, b"\xe4\xf6\xfc\xff")]
    root.path(b"SOFTWARE\\Classes\\.vor").values.append((b"", 1, b"Vorel.File"))
    root.path(b"SOFTWARE\\Caf\xe9\\No values\\Deeper")
    chain = root.path(b"SOFTWARE\\Vorel Test\\Same hash")
    digits = b"012345"
    import itertools
    for n, perm in enumerate(itertools.permutations(digits)):
        if n >= 300:
            break
        chain.child(b"K" + bytes(perm))
    return root


def big_tree(size):
    root = display_tree()
    soft = root.path(b"SOFTWARE\\Bulk")
    total, n = len(layout(root)), 0
    while total < size:
        k = soft.child(b"Group%03d" % (n // 200)).child(b"Item%05d" % n)
        k.values += [(b"Name", 1, b"Item number %d" % n), (b"Data", 3, bytes(range(16))), (b"Flags", 4, struct.pack("<I", n))]
        # The record, its navigation entry, and a quarter for free space.
        total += (20 + len(k.name) + sum(12 + len(vn) + len(d) for vn, t, d in k.values) + 28) * 5 // 4
        n += 1
    return root


def regedit(root):
    lines = ["REGEDIT4", ""]

    def walk(k, path):
        if path:
            lines.append("[" + path + "]")
            for vn, t, d in k.values:
                name = "@" if not vn else '"' + vn.decode("cp1252", "replace") + '"'
                if t == 1 and b"\x00" not in d.rstrip(b"\x00") and b"\n" not in d and b"\r" not in d:
                    text = d.rstrip(b"\x00").decode("cp1252", "replace").replace("\\", "\\\\").replace('"', '\\"')
                    lines.append(name + '="' + text + '"')
                elif t == 3:
                    lines.append(name + "=hex:" + ",".join("%02x" % c for c in d))
                else:
                    lines.append(name + "=hex(%x):" % t + ",".join("%02x" % c for c in d))
            lines.append("")
        for c in k.children:
            walk(c, path + "\\" + c.name.decode("cp1252", "replace"))

    walk(root, "HKEY_LOCAL_MACHINE")
    return ("\r\n".join(lines) + "\r\n").encode("cp1252", "replace")


def main(argv):
    if len(argv) >= 2 and argv[0] == "display":
        open(argv[1], "wb").write(layout(display_tree()))
    elif len(argv) >= 3 and argv[0] == "big":
        tree = big_tree(int(argv[1]))
        open(argv[2], "wb").write(layout(tree))
        if len(argv) >= 4:
            open(argv[3], "wb").write(regedit(tree))
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
