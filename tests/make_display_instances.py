#!/usr/bin/env python3
"""Writes to standard output a registry.reg, as regedit exports it, that holds
the display class keys FIRST to LAST (four digits each) and no value.

    make_display_instances.py FIRST LAST
"""
import sys

KEY = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Display\\%04d"

first, last = (int(n) for n in sys.argv[1:3])
sys.stdout.buffer.write(b"REGEDIT4\r\n")
for number in range(first, last + 1):
    sys.stdout.buffer.write(b"\r\n[%s]\r\n" % (KEY % number).encode())
