#!/usr/bin/env python3
"""Makes the small driver disks the golden scenarios start from, in
tests/disks/: `big` (files larger than a full disk takes), `no-files` (the registry and boot steps alone), `plain` (the
disk the hostile scenarios change), `tiny` (two compressed files, a plain driver and the INF that
becomes oemsetup.inf) and `card` (compressed files of both disks, a
subdirectory, and registry lines of every form). The files are generated
bytes; the compressed ones are made with mscompress, which is deterministic,
so running this again reproduces the committed disks byte for byte.
"""
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "disks")

TINY_SETUP = r"""; The tiny test disk.
[Product]
ProductName=Vorel Test
DriverInf=vorel.inf
OemsetupInf=oemsetup.inf

[DiskSpace]
SizeInKB=24

[Source Media Descriptions]
1="Vorel Test Disk 1"

[Banner]
FontHi=30

[WindowsDir]
1,vorelhlp.tx_
1,vorel.inf

[SystemDir]
1,vorel.drv
1,vorel.vx_

[Prev.DelReg]

[Driver.AddReg]
HKR,,DriverDesc,0,"Vorel Test Display"
HKR,DEFAULT,drv,0,vorel.drv
HKR,DEFAULT,Mode,0,"8,640,480"
HKR,INFO
HKLM,Software\Vorel\Display,Installed,0,yes
HKCR,VorelFile,,0,"Vorel display settings"

[Extra]
PCIBUS=VEN_5654&DEV_0001
ConfigFlags=0000
CHIPID=12345678
"""

# What the card disks share: the product, and the hardware they look for.
CARD_PRODUCT = r"""[Product]
ProductName=Vorel Test 3D
DriverInf=card.inf
OemsetupInf=oemsetup.inf
"""
CARD_EXTRA = r"""[Extra]
PCIBUS=VEN_1A2B&DEV_0C0D
ConfigFlags=00000010
CHIPID=0312
"""
TWO_DISKS = r"""[DiskSpace]
SizeInKB=8
[Source Media Descriptions]
1=Disk 1
2=Disk 2
"""

CARD_SETUP = CARD_PRODUCT + TWO_DISKS + CARD_EXTRA + r"""[WindowsDir]
1,card.in_ ; the driver's INF
[SystemDir]
1,card.dr_
1,win\CARD.VX_
2,readme.txt
[Prev.DelReg]
[Driver.AddReg]
HKR,,Ver,,4.0
HKR,DEFAULT,drv,,card.drv
HKR,"MODES\8\640,480"
HKR,DEFAULT,NotAKey
hkr,,Lower,,x
HKCR,xyz,,,abc
HKLM,Software\Vorel,Version,,1.0
"""

# The disk the hostile scenarios change: a few files and every step.
PLAIN_SETUP = CARD_PRODUCT + TWO_DISKS + CARD_EXTRA + r"""[WindowsDir]
1,card.in_
1,readme.txt
[SystemDir]
1,card.dr_
[Prev.DelReg]
[Driver.AddReg]
HKR,,Ver,,4.0
HKLM,Software\Vorel,Version,,1.0
"""

# Files larger than a full disk takes, on one disk.
BIG_SETUP = CARD_PRODUCT + "[Source Media Descriptions]\n1=Disk 1\n" + CARD_EXTRA + r"""[WindowsDir]
1,card.in_
1,readme.txt
[SystemDir]
1,big.dr_
1,huge.dat
1,small.dr_
[Prev.DelReg]
[Driver.AddReg]
HKR,,Ver,,4.0
HKR,DEFAULT,drv,,card.drv
HKLM,Software\Vorel,Version,,1.0
"""

# A disk without files: the registry and boot entry steps alone, for the
# scenarios about what the prefix held before.
NO_FILES_SETUP = r"""[Product]
ProductName=Vorel Test
[WindowsDir]
[SystemDir]
[Prev.DelReg]
[Driver.AddReg]
HKR,,Ver,,4.0
HKR,DEFAULT,drv,,vorel.drv
[Extra]
CHIPID=0312
"""

INF = b"[Version]\r\nSignature=\"$CHICAGO$\"\r\nClass=DISPLAY\r\n"


def pseudo_random_bytes(seed, count):
    """Deterministic bytes with some repetition, so that LZ has work to do."""
    out = bytearray()
    state = seed
    while len(out) < count:
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        if state % 5 == 0 and len(out) > 64:
            start = (state >> 8) % (len(out) - 32)
            out += out[start:start + 8 + state % 24]
        else:
            out.append((state >> 16) & 0xFF)
    return bytes(out[:count])


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def compressed(path, data):
    """Writes data SZDD-compressed to path (whose name ends in "_")."""
    with tempfile.TemporaryDirectory() as work:
        plain = os.path.join(work, "file")
        write(plain, data)
        subprocess.run(["mscompress", plain], check=True, stdout=subprocess.DEVNULL)
        write(path, open(plain + "_", "rb").read())


def main():
    if not shutil.which("mscompress"):
        sys.exit("make-test-disks.py: mscompress is needed (Debian package mscompress)")
    tiny = os.path.join(ROOT, "tiny")
    shutil.rmtree(tiny, ignore_errors=True)
    write(os.path.join(tiny, "setup.dat"), TINY_SETUP.replace("\n", "\r\n").encode())
    write(os.path.join(tiny, "vorel.inf"), INF)
    write(os.path.join(tiny, "vorel.drv"), pseudo_random_bytes(7, 5000))
    help_text = "".join("Line %d of the Vorel help text.\r\n" % i for i in range(120)).encode()
    compressed(os.path.join(tiny, "vorelhlp.tx_"), help_text)
    compressed(os.path.join(tiny, "vorel.vx_"), pseudo_random_bytes(11, 9000))

    write(os.path.join(ROOT, "no-files", "setup.dat"), NO_FILES_SETUP.replace("\n", "\r\n").encode())

    plain = os.path.join(ROOT, "plain")
    shutil.rmtree(plain, ignore_errors=True)
    write(os.path.join(plain, "setup.dat"), PLAIN_SETUP.replace("\n", "\r\n").encode())
    compressed(os.path.join(plain, "card.in_"), INF)
    compressed(os.path.join(plain, "card.dr_"), b"driver bytes")
    write(os.path.join(plain, "readme.txt"), b"Vorel readme\r\n")

    big = os.path.join(ROOT, "big")
    shutil.rmtree(big, ignore_errors=True)
    write(os.path.join(big, "setup.dat"), BIG_SETUP.replace("\n", "\r\n").encode())
    compressed(os.path.join(big, "card.in_"), INF)
    write(os.path.join(big, "readme.txt"), b"Vorel readme\r\n")
    compressed(os.path.join(big, "big.dr_"), b"The big driver. " * 12800)  # 200 KB expanded
    write(os.path.join(big, "huge.dat"), b"Huge data file. " * 9600)  # 150 KB
    compressed(os.path.join(big, "small.dr_"), pseudo_random_bytes(3, 3000))

    card = os.path.join(ROOT, "card")
    shutil.rmtree(card, ignore_errors=True)
    write(os.path.join(card, "setup.dat"), CARD_SETUP.replace("\n", "\r\n").encode())
    compressed(os.path.join(card, "card.in_"), INF)
    compressed(os.path.join(card, "card.dr_"), pseudo_random_bytes(3, 3000))
    write(os.path.join(card, "win", "CARD.VX_"), b"v" * 100)  # named as compressed, stored plain
    write(os.path.join(card, "readme.txt"), b"Vorel readme\r\n")


if __name__ == "__main__":
    main()
