#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/.

The seeds come from the example disk (examples/disk1, examples/src), from
tools/creg-gen.py, and from the kinds of input the tests build: line-end variants, zero bytes, 0x1A,
over-long lines, climbing names, torn registry appends. With the path of a
built vsetup program as argument, a registry.reg written by a real
installation of the example disk is added as well.

    tools/make-fuzz-corpus.py [path/to/vsetup]

The output is committed; running this again reproduces it.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DISK = os.path.join(ROOT, "examples", "disk1")
SRC = os.path.join(ROOT, "examples", "src")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def put(target, name, data):
    directory = os.path.join(ROOT, "fuzz", "corpus", target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


TEST_SETUP = (
    b"[Product]\r\nProductName=Vorel Test 3D\r\nDriverInf=card.inf\r\nOemsetupInf=oemsetup.inf\r\n"
    b"[DiskSpace]\r\nSizeInKB=8\r\n[Source Media Descriptions]\r\n1=Disk 1\r\n2=Disk 2\r\n"
    b"[Extra]\r\nPCIBUS=VEN_1A2B&DEV_0C0D\r\nConfigFlags=00000010\r\nCHIPID=0312\r\n"
    b"[WindowsDir]\r\n1,card.in_ ; the driver's INF\r\n[SystemDir]\r\n1,card.dr_\r\n1,win\\CARD.VX_\r\n"
    b"2,readme.txt\r\n[Prev.DelReg]\r\n[Driver.AddReg]\r\nHKR,,Ver,,4.0\r\nHKR,DEFAULT,drv,,card.drv\r\n"
    b'HKR,"MODES\\8\\640,480"\r\nHKR,DEFAULT,NotAKey\r\nhkr,,Lower,,x\r\nHKCR,xyz,,,abc\r\n'
    b"HKLM,Software\\Vorel,Version,,1.0\r\n"
)


def setup_dat():
    example = read(os.path.join(DISK, "setup.dat"))
    put("setup_dat", "example", example)
    put("setup_dat", "tests", TEST_SETUP)
    put("setup_dat", "lf-only", TEST_SETUP.replace(b"\r\n", b"\n"))
    put("setup_dat", "cr-only", TEST_SETUP.replace(b"\r\n", b"\r"))
    put("setup_dat", "no-last-line-end", TEST_SETUP.rstrip(b"\r\n"))
    put("setup_dat", "zeros-and-eof",
        TEST_SETUP.replace(b"1,card.dr_", b"1,card\0.dr_").replace(b"[SystemDir]", b"\x1a[SystemDir]"))
    put("setup_dat", "climbing-names",
        b"[WindowsDir]\r\n1,..\\..\\..\\outside\\evil.in_\r\n1,D:\\passwd\r\n1,/etc/hostname\r\n1,..\r\n"
        b"1,sub\\..\r\n1,a:b.dr_\r\n1,\r\n  [SystemDir]\r\n1 , x.dl_ , y\r\n\t1,\"q.tx_\"\r\n")
    put("setup_dat", "overlong",
        b"[SystemDir]\r\n1," + b"p" * 300 + b"\r\n1,x\\" + b"n" * 128 + b".dr_\r\n[Driver.AddReg]\r\nHKR,," +
        b"w" * 130 + b",,v\r\nHKR,\"a,b\",\"c d\",0,\"e\"\"f\"\r\nHKR,,Long,," + b"v" * 300 + b"\r\n")


def profile(section, key, value, data):
    head = bytes([len(section), len(key), len(value)])
    return head + section + key + value + data


SYSTEM_INI = b"[boot]\r\nshell=Explorer.exe\r\n\r\n[boot.description]\r\ndisplay.drv=Standard VGA\r\n\r\n[386Enh]\r\n"


def profiles():
    example = read(os.path.join(DISK, "setup.dat"))
    put("profile", "setup-product", profile(b"Product", b"ProductName", b"Vorel", example))
    put("profile", "setup-new-key", profile(b"Extra", b"NewKey", b"1", example))
    put("profile", "system-ini", profile(b"boot.description", b"display.drv", b"Vorel Velocity 3D", SYSTEM_INI))
    put("profile", "system-ini-lf", profile(b"boot.description", b"display.drv", b"V", SYSTEM_INI.replace(b"\r\n", b"\n")))
    put("profile", "new-section", profile(b"boot.description", b"display.drv", b"V", b"[boot]\r\nshell=x"))
    put("profile", "spaced-and-quoted",
        profile(b"S", b"k", b"new", b"; comment\r\n[ s ] trailing\r\n  K  =  \"old\"  \r\n\r\n[S]\r\nk=second\r\n"))
    put("profile", "inf", profile(b"Version", b"Class", b"DISPLAY", read(os.path.join(SRC, "vorel.inf"))))
    put("profile", "empty", profile(b"s", b"k", b"", b""))
    put("profile", "lone-cr", profile(b"boot", b"display.drv", b"V", b"[boot]\rshell=a\rdisplay.drv=old\r"))
    put("profile", "eof-byte", profile(b"x", b"k", b"v", SYSTEM_INI + b"\x1a"))
    put("profile", "high-bytes", profile(b"\xc9t\xe9", b"\x8aey", b"\xff", b"[\xe9T\xc9]\r\n\x9aEY=1\r\n"))


def registry_seed(data, key=b"Software\\Vorel", name=b"Version", value=b"1.0", kind=0):
    return bytes([kind, len(key), len(name), len(value)]) + key + name + value + data


REG = (
    b"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Display\\0000]\r\n"
    b"\"Ver\"=\"4.0\"\r\n@=\"default\"\r\n\"Quote\"=\"a \\\"b\\\" \\\\c\"\r\n"
    b"\r\n[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1A2B&DEV_0C0D]\r\n\"ConfigFlags\"=hex:00,00,00,10\r\n"
    b"\"Count\"=dword:0000000a\r\n\"Multi\"=hex(7):61,00,62,00,00,\\\r\n  00\r\n"
    b"\r\n[HKEY_CLASSES_ROOT\\xyz]\r\n@=\"abc\"\r\n"
)


def registries(vsetup):
    put("registry", "example-reg", registry_seed(read(os.path.join(SRC, "vorel.reg"))))
    put("registry", "kinds", registry_seed(REG, kind=1))
    put("registry", "lf-only", registry_seed(REG.replace(b"\r\n", b"\n"), kind=2))
    put("registry", "torn-tail", registry_seed(REG + b"\r\n[HKEY_LOCAL_MACHINE\\Torn]\r\n\"x\"=\"y", kind=3))
    put("registry", "damaged",
        registry_seed(b"REGEDIT4\r\n[-HKEY_LOCAL_MACHINE\\Gone]\r\n\"v\"=-\r\n[HKEY_LOCAL_MACHINE\\K]\r\n"
                      b"\"a\"=hex:01,\\\r\n\r\n\"z\"=\0\0\r\n; note\r\n[HKEY_BOGUS\\K]\r\n\"b\"=\"c\"\r\n", kind=4))
    # Seeds as users write them: every form an import reads.
    v5 = REG.replace(b"REGEDIT4", b"Windows Registry Editor Version 5.00")
    put("registry", "utf16-v5", registry_seed(b"\xff\xfe" + v5.decode("latin-1").encode("utf-16-le"), kind=6))
    put("registry", "v5-8bit", registry_seed(v5 + b"\"S\"=hex(2):25,00,50,00,00,00\r\n", kind=7))
    put("registry", "cr-only", registry_seed(REG.replace(b"\r\n", b"\r"), kind=0))
    put("registry", "cr-cr-lf", registry_seed(REG.replace(b"\r\n", b"\r\r\n"), kind=1))
    put("registry", "unended", registry_seed(REG + b"\"Last\"=\"kept\"", kind=2))
    put("registry", "liberties",
        registry_seed(b"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K] text\r\n\"c\"=\"v\" ; note\r\n\"h\"=hex:01,02,\r\n"
                      b"\"d\"=dword: 0000000a\r\n\"m\"=hex:01,\\\r\n\r\n; note\r\n  02\r\n\"z\"=\"v\"\0junk\r\n", kind=3))
    if vsetup:
        work = tempfile.mkdtemp()
        try:
            prefix = os.path.join(work, "prefix")
            env = dict(os.environ, VSETUP_PREFIX=prefix, VSETUP_UI="batch")
            subprocess.run([vsetup], cwd=DISK, env=env, stdout=subprocess.DEVNULL, check=True)
            put("registry", "installed", registry_seed(read(os.path.join(prefix, "registry.reg")), kind=5))
        finally:
            shutil.rmtree(work)


def lz():
    for name in sorted(os.listdir(DISK)) + ["win/vorelx.dl_"]:
        path = os.path.join(DISK, name)
        if not os.path.isfile(path):
            continue
        data = read(path)
        if data[:4] != b"SZDD":
            continue
        # Mode 0: the header's mode byte and size, then the stream.
        put("lz", "disk-" + name.replace("/", "-"), b"\0" + data[8:9] + data[10:14] + data[14:])
    literal = b"".join(b"\xff" + bytes(range(i, i + 8)) for i in range(0, 64, 8))
    put("lz", "literals", b"\0A" + struct.pack("<I", 64) + literal)
    put("lz", "self-reference", b"\0A" + struct.pack("<I", 11) + b"\x03ab\xf0\xf3\x00\x00")
    put("lz", "claims-4g", b"\0A" + struct.pack("<I", 0xFFFFFFFF) + literal)
    # Mode 1: data compressed here, cut at the given position.
    put("lz", "valid-readme", b"\x01\xff\xff" + read(os.path.join(SRC, "readme.txt"))[:2000])
    put("lz", "valid-cut", b"\x01\x40\x00" + read(os.path.join(SRC, "vorel.inf"))[:1500])


def cregs(vsetup):
    """SYSTEM.DAT: a hive from tools/creg-gen.py, the same after an installation,
    and a one-key hive, whole, cut short and with a loop in its key tree."""
    work = tempfile.mkdtemp()
    try:
        windows = os.path.join(work, "prefix", "drive_c", "WINDOWS")
        os.makedirs(windows)
        hive = os.path.join(windows, "SYSTEM.DAT")
        subprocess.run([sys.executable, os.path.join(ROOT, "tools", "creg-gen.py"), "display", hive], check=True)
        put("creg", "generated-display", read(hive))
        if vsetup:
            env = dict(os.environ, VSETUP_PREFIX=os.path.join(work, "prefix"), VSETUP_UI="batch")
            subprocess.run([vsetup], cwd=DISK, env=env, stdout=subprocess.DEVNULL, check=True)
            put("creg", "installed-display", read(hive))
    finally:
        shutil.rmtree(work)
    rgkn = bytearray(0x1000)
    struct.pack_into("<4sIII", rgkn, 0, b"RGKN", 0x1000, 0x20, 0x3C)
    struct.pack_into("<IIIIIIHH", rgkn, 0x20, 0, 0, 0xFFFFFFFF, 0xFFFFFFFF, 0x3C, 0xFFFFFFFF, 0xFFFF, 0xFFFF)
    struct.pack_into("<IIIIIIHH", rgkn, 0x3C, 0, sum(b"SYSTEM"), 0xFFFFFFFF, 0x20, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0)
    value = struct.pack("<IIHH", 4, 0xFFFFFFFF, 4, 2) + b"Name" + b"\x01\x00"
    record = struct.pack("<IHHIHHI", 26 + len(value), 0, 0, 26 + len(value), 6, 1, 0) + b"System" + value
    free = 0x1000 - 32 - len(record)
    block = (struct.pack("<4sIIHHIHH8s", b"RGDB", 0x1000, free, 0, 0, 0x1000 - free, 0, 0, bytes(8)) + record +
             struct.pack("<IIIHHI", free, 0xFFFFFFFF, 20, 0, 0, 0) + bytes(free - 20))
    small = struct.pack("<4sHHIIHHI8s", b"CREG", 0, 1, 0x1020, 0, 1, 0, 0, bytes(8)) + bytes(rgkn) + block
    put("creg", "minimal", small)
    put("creg", "cut-short", small[:0x1100])
    loop = bytearray(small)
    struct.pack_into("<I", loop, 0x20 + 0x3C + 16, 0x20)
    put("creg", "loop", bytes(loop))
    sparse = bytearray(small)  # a record number far above the block's record count
    struct.pack_into("<H", sparse, 0x20 + 0x3C + 24, 0x3000)
    struct.pack_into("<H", sparse, 0x1020 + 32 + 4, 0x3000)
    put("creg", "sparse-record-number", bytes(sparse))


def main():
    vsetup = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else None
    shutil.rmtree(os.path.join(ROOT, "fuzz", "corpus"), ignore_errors=True)
    setup_dat()
    profiles()
    registries(vsetup)
    lz()
    cregs(vsetup)


if __name__ == "__main__":
    main()
