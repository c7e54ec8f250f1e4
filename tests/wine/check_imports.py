#!/usr/bin/env python3
"""VSETUP.EXE loads on a clean Windows 95: what it imports, and nothing more.

    check_imports.py OBJDUMP VSETUP.EXE

- It imports from KERNEL32, USER32, GDI32, COMCTL32, ADVAPI32 and LZ32 only,
  has no delay-load imports, and is a GUI program for Windows 4.0.
- Its imported functions are exactly those of data/imports.txt, so that a new
  import shows in review, and each is in data/win95-exports.txt, the exports
  of Windows 95's DLLs.
- No byte string in the file names a C runtime DLL (ASCII or UTF-16), so
  that no LoadLibrary can reach one either.
Standard library only.
"""

import os
import re
import subprocess
import sys

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
DLLS = {"KERNEL32", "USER32", "GDI32", "COMCTL32", "ADVAPI32", "LZ32"}
# The C runtime DLLs of Microsoft's compilers, MinGW's and Cygwin's, as
# ASCII and as UTF-16 text.
RUNTIME_NAMES = ["msvcr", "msvcp", "crtdll", "ucrtbase", "api-ms-win-crt", "vcruntime", "libgcc_s",
                 "libstdc++", "libwinpthread", "mingwm10", "cygwin1", "msys-"]
RUNTIME_NAME = re.compile(b"|".join(re.escape(name.encode()) for name in RUNTIME_NAMES))
RUNTIME_NAME_16 = re.compile(b"|".join(re.escape(name.encode("utf-16-le")) for name in RUNTIME_NAMES))


def listed(name):
    """The "DLL function ..." lines of a data file, as {(DLL, function): rest}."""
    with open(os.path.join(DATA, name), encoding="ascii") as f:
        rows = [line.split() for line in f if line.strip() and not line.startswith("#")]
    return {(row[0], row[1]): row[2:] for row in rows}


def main(objdump, exe):
    if not os.path.exists(exe):
        return "no %s: build the win32 preset first" % exe
    failures = []
    dump = subprocess.run([objdump, "-p", exe], stdout=subprocess.PIPE, check=True).stdout.decode()
    imports = set()
    for block in re.split(r"\n\s*DLL Name: ", dump.split("The Import Tables", 1)[-1])[1:]:
        dll = re.sub(r"(?i)\.dll$", "", block.split(None, 1)[0]).upper()
        if dll not in DLLS:
            failures.append("imports from %s, which is not one of %s" % (dll, sorted(DLLS)))
        for line in block.splitlines()[2:]:
            match = re.match(r"\s+[0-9a-f]+\s+\d+\s+(\S+)\s*$", line)
            if not match:
                break
            imports.add((dll, match.group(1)))
    if not imports:
        failures.append("objdump shows no imports")
    delay = re.search(r"^Entry d ([0-9a-f]+) ([0-9a-f]+) Delay Import Directory", dump, re.M)
    if not delay or int(delay.group(1), 16) or int(delay.group(2), 16):
        failures.append("has a delay-load import directory")
    for field, wanted in (("MajorOSystemVersion", "4"), ("MajorSubsystemVersion", "4"),
                          ("MinorSubsystemVersion", "0"), ("Subsystem", "00000002")):
        if not re.search(r"^%s\s+%s\b" % (field, wanted), dump, re.M):
            failures.append("%s is not %s" % (field, wanted))

    expected = set(listed("imports.txt"))
    for name in sorted(imports - expected):
        failures.append("new import %s!%s: add it to data/imports.txt" % name)
    for name in sorted(expected - imports):
        failures.append("%s!%s is no longer imported: take it out of data/imports.txt" % name)
    exports = listed("win95-exports.txt")
    for name in sorted(imports - set(exports)):
        failures.append("%s!%s is not among Windows 95's exports" % name)
    unconfirmed = sorted("%s!%s" % name for name in imports if exports.get(name, [])[:1] == ["?"])
    if unconfirmed:
        print("not confirmed for Windows 95 one by one: %s" % ", ".join(unconfirmed))

    with open(exe, "rb") as f:
        text = f.read().lower()
    found = [name.decode() for name in RUNTIME_NAME.findall(text)]
    found += [name.decode("utf-16-le") for name in RUNTIME_NAME_16.findall(text)]
    for name in sorted(set(found)):
        failures.append("the file names a C runtime DLL: %s" % name)

    for failure in failures:
        print("FAIL: " + failure)
    if not failures:
        print("%d imports from %s" % (len(imports), ", ".join(sorted({dll for dll, _ in imports}))))
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
