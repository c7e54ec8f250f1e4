#!/usr/bin/env python3
# VSETUP.EXE loads on a clean Windows 95: what it imports, and nothing more.
#
#     check_imports.py [--twin] OBJDUMP VSETUP.EXE
#
# - It is an i386 program, imports from KERNEL32, USER32, GDI32, COMCTL32,
#   ADVAPI32 and LZ32 only, has no delay-load imports, and is a GUI program
#   for Windows 4.0.
# - Its imported functions are exactly those of data/imports.txt, so that a
#   new import shows in review, and each is in data/win95-exports.txt, the
#   exports of Windows 95's DLLs.
# - No byte string in the file names a C runtime DLL (ASCII or UTF-16), so
#   that no LoadLibrary can reach one either.
#
# With --twin the file is the 64-bit test build of the same sources: it is an
# x86-64 program under the same rules, but for the Windows 95 export list,
# and it imports the pointer-sized forms (SetWindowLongPtrA) where the i686
# program imports the 32-bit ones.
import os
import re
import subprocess
import sys

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
DLLS = {"KERNEL32", "USER32", "GDI32", "COMCTL32", "ADVAPI32", "LZ32"}
# The C runtime DLLs of Microsoft's compilers, MinGW's and Cygwin's.
RUNTIMES = ["msvcr", "msvcp", "crtdll", "ucrtbase", "api-ms-win-crt", "vcruntime", "libgcc_s", "libstdc++",
            "libwinpthread", "mingwm10", "cygwin1", "msys-"]
HEADER = [(r"Entry d 0+ 0+ Delay Import Directory", "has delay-load imports"),
          ("MajorOSystemVersion\t4", "is not for OS version 4"), ("Subsystem\t\t00000002", "is no GUI program"),
          ("MajorSubsystemVersion\t4\nMinorSubsystemVersion\t0", "is not for subsystem 4.0")]
MACHINE = {False: ("file format pei-i386", "is no i386 program"), True: ("file format pei-x86-64", "is no x86-64 program")}
# The 64-bit twin's imports that stand for another of the i686 program.
POINTER_SIZED = {"SetWindowLongPtrA": "SetWindowLongA"}


def listed(name):  # the "DLL function ..." lines of a data file, as {(DLL, function): [the rest]}
    rows = [line.split() for line in open(os.path.join(DATA, name)) if line.strip() and line[0] != "#"]
    return {(row[0], row[1]): row[2:] for row in rows}


def failures(objdump, exe, twin=False):
    dump = subprocess.run([objdump, "-p", exe], stdout=subprocess.PIPE, check=True).stdout.decode()
    imports = {(dll.upper(), POINTER_SIZED.get(name, name) if twin else name)
               for dll, names in re.findall(r"DLL Name: (\w+)\.dll\n.*\n((?:\t\w+\t +\d+  \w+\n)*)", dump, re.I)
               for name in re.findall(r"  (\w+)\n", names)}
    yield from ("VSETUP.EXE imports from %s" % dll for dll in sorted({dll for dll, _ in imports} - DLLS))
    yield from ("VSETUP.EXE %s" % why for text, why in HEADER + [MACHINE[twin]] if not re.search(text, dump))
    yield from ("new import %s!%s: list it in data/imports.txt" % name for name in sorted(imports - set(listed("imports.txt"))))
    yield from ("%s!%s is no longer imported" % name for name in sorted(set(listed("imports.txt")) - imports))
    if not twin:
        exports = listed("win95-exports.txt")
        yield from ("%s!%s is not among Windows 95's exports" % name for name in sorted(imports - set(exports)))
        print("%d imports; not confirmed one by one for Windows 95: %s" % (len(imports), " ".join(
            sorted("%s!%s" % name for name in imports if exports.get(name) == ["?"]))))
    text = open(exe, "rb").read().lower()
    for name in RUNTIMES:
        if name.encode() in text or name.encode("utf-16-le") in text:
            yield "VSETUP.EXE names the C runtime DLL %s" % name


if __name__ == "__main__":
    twin = sys.argv[1:2] == ["--twin"]
    arguments = sys.argv[1 + twin:]
    if len(arguments) != 2 or not os.path.exists(arguments[1]):
        sys.exit("usage: check_imports.py [--twin] OBJDUMP VSETUP.EXE (built by the win32 or, with --twin, win64 preset)")
    found = list(failures(*arguments, twin=twin))
    print("".join("FAIL: %s\n" % failure for failure in found) or
          ("the 64-bit twin imports what VSETUP.EXE does" if twin else "VSETUP.EXE imports what Windows 95 has"))
    sys.exit(1 if found else 0)
