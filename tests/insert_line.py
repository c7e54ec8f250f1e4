#!/usr/bin/env python3
"""Writes to standard output the file FILE (a path from the source root) with
one more line, COUNT copies of CHAR and CR LF, before the first place TEXT
occurs.

    insert_line.py FILE TEXT COUNT CHAR
"""
import os
import sys

path, text, count, char = sys.argv[1:5]
with open(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), path), "rb") as f:
    data = f.read()
at = data.index(text.encode())
sys.stdout.buffer.write(data[:at] + char.encode() * int(count) + b"\r\n" + data[at:])
