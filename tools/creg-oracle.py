#!/usr/bin/env python3
"""Reads a Windows 95/98 registry file (CREG) with two independent readers,
libcreg's cregexport and Parse::Win32Registry, and prints the tree they both
see in one plain form:

  [path\\of\\key]
    "value name" type=N data=hex

Key paths are below the hive's root; bytes outside printable ASCII (and '%')
are written %XX, in the file's code page 1252. Exits 1, saying why on stderr,
when either reader fails or the two disagree, or when the file breaks a rule
of the format that neither reader checks (see header_problems).
"""
import re
import struct
import subprocess
import sys

PERL = r"""
use strict; use Parse::Win32Registry;
my $r = Parse::Win32Registry->new($ARGV[0]) or die "cannot open\n";
binmode STDOUT;
sub esc { my $t = shift; $t =~ s/([^\x20-\x24\x26-\x7e])/sprintf("%%%02X", ord($1))/ge; return $t; }
sub walk {
    my ($k, $path) = @_;
    print "[", esc($path), "]\n";
    foreach my $v ($k->get_list_of_values) {
        printf "  \"%s\" type=%d data=%s\n", esc($v->get_name), $v->get_type, unpack("H*", $v->get_raw_data);
    }
    foreach my $c ($k->get_list_of_subkeys) {
        walk($c, $path eq "" ? $c->get_name : "$path\\" . $c->get_name);
    }
}
walk($r->get_root_key, "");
"""

TYPES = {"REG_NONE": 0, "REG_SZ": 1, "REG_EXPAND_SZ": 2, "REG_BINARY": 3, "REG_DWORD_LITTLE_ENDIAN": 4,
         "REG_DWORD_BIG_ENDIAN": 5, "REG_LINK": 6, "REG_MULTI_SZ": 7, "REG_RESOURCE_LIST": 8,
         "REG_FULL_RESOURCE_DESCRIPTOR": 9, "REG_RESOURCE_REQUIREMENTS_LIST": 10, "REG_QWORD_LITTLE_ENDIAN": 11}


def esc(raw):
    return "".join(chr(b) if 0x20 <= b <= 0x7E and b != 0x25 else "%%%02X" % b for b in raw)


def from_cregexport(path):
    run = subprocess.run(["cregexport", path], capture_output=True)
    if run.returncode != 0:
        raise RuntimeError("cregexport: " + run.stderr.decode("utf-8", "replace").strip())
    out, value = [], None

    def end_value():
        if value is not None:
            out.append('  "%s" type=%d data=%s' % (esc(value[0]), value[1], value[2].hex()))

    for line in run.stdout.decode("utf-8").split("\n"):
        if line.startswith("Key path: "):
            end_value()
            value = None
            out.append("[" + esc(line[10:].encode("cp1252")) + "]")
        elif line.startswith("Value: "):
            end_value()
            name = line.split(" ", 2)[2] if line.count(" ") >= 2 else ""
            value = [b"" if name == "(default)" else name.encode("cp1252"), None, bytearray()]
        elif line.startswith("Type: ") and value is not None:
            m = re.search(r"\((REG_\w+)\)$", line)
            value[1] = TYPES[m.group(1)] if m else int(line.split("0x")[1], 16)
        elif value is not None and re.match(r"^[0-9a-f]{8}: ", line):
            value[2] += bytes(int(x, 16) for x in line[10:59].split())
    end_value()
    return out


def from_perl(path):
    run = subprocess.run(["perl", "-e", PERL, path], capture_output=True)
    if run.returncode != 0 or run.stderr:
        raise RuntimeError("Parse::Win32Registry: " + run.stderr.decode("utf-8", "replace").strip())
    return run.stdout.decode("ascii").rstrip("\n").split("\n")


def header_problems(d):
    """What in the headers differs from regutils' notes on the format (see
    docs/creg.md): a header whose flags say its checksum is valid (0x4) has
    32-bit words adding up to zero; a data block holds record numbers 0 to
    254 only, once each, and its header gives the highest of them, the first
    one free (255: none), and where its unused space starts (-1: none)."""
    problems = []

    def checksum(what, at, size, flags):
        if flags & 4 and sum(struct.unpack_from("<%dI" % (size // 4), d, at)) & 0xFFFFFFFF:
            problems.append("%s: its checksum does not match, yet its flags say it is valid" % what)

    checksum("file header", 0, 32, struct.unpack_from("<H", d, 18)[0])
    checksum("key navigation block", 32, *struct.unpack_from("<I8xI", d, 36))
    at, count = struct.unpack_from("<I4xH", d, 8)
    for block in range(count):
        size, unused, flags, free_at, highest, first_free = struct.unpack_from("<IIH2xIHH", d, at + 4)
        what = "data block %d" % block
        checksum(what, at, size, flags)
        ids, pos = [], at + 32
        while pos < at + size:
            record_size, number = struct.unpack_from("<IH", d, pos)
            if number != 0xFFFF:
                ids.append(number)
            pos += max(record_size, 20)
        if max(ids, default=0) > 254 or len(set(ids)) != len(ids):
            problems.append("%s: record numbers past 254 or used twice (up to %d)" % (what, max(ids)))
        free = min(set(range(256)) - set(ids), default=255)
        if (highest, first_free) != (max(ids, default=0), free):
            problems.append("%s: highest and first free record number %d, %d, not %d, %d"
                            % (what, highest, first_free, max(ids, default=0), free))
        if free_at != (0xFFFFFFFF if unused == 0 else size - unused):
            problems.append("%s: its unused space of %d bytes is said to start at 0x%x" % (what, unused, free_at))
        at += size
    return problems


def main(argv):
    if len(argv) != 1:
        sys.stderr.write(__doc__)
        return 2
    try:
        a = from_cregexport(argv[0])
        b = from_perl(argv[0])
        problems = header_problems(open(argv[0], "rb").read())
    except (RuntimeError, UnicodeError, KeyError, ValueError, struct.error) as e:
        sys.stderr.write("%s: %s\n" % (argv[0], e))
        return 1
    if problems:
        sys.stderr.write("".join("%s: %s\n" % (argv[0], p) for p in problems))
        return 1
    if a != b:
        for x, y in zip(a + [""] * len(b), b + [""] * len(a)):
            if x != y:
                sys.stderr.write("%s: the readers disagree:\n  cregexport: %s\n  perl:       %s\n" % (argv[0], x, y))
                break
        return 1
    sys.stdout.write("\n".join(a) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
