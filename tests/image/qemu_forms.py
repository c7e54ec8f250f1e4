# The forms of disk image vsetup writes through QEMU, as the image test and
# the golden scenarios make them of a raw disk, and what a virtual machine
# knows such a disk by, which a run must leave as it was.

import hashlib
import json
import os
import struct
import subprocess
import tempfile

# Each form by its name in a golden scenario's `image` setting: what messages
# call it, the qemu-img commands that make it of a raw disk (RAW, IMAGE), the
# bytes of its header that hold its UUID. A backing file is IMAGE.base.
FORMS = {
    "qcow2-snapshot": ("qcow2 with a snapshot", ["convert -O qcow2 RAW IMAGE", "snapshot -c before IMAGE"], (0, 0)),
    "qcow2-backing": ("qcow2 over a backing file", ["convert -O qcow2 RAW IMAGE.base",
                                                    "create -f qcow2 -F qcow2 -b IMAGE.base IMAGE"], (0, 0)),
    "vdi": ("VDI", ["convert -O vdi RAW IMAGE"], (0x188, 0x198)),
    "vmdk": ("VMDK", ["convert -O vmdk RAW IMAGE"], (0, 0)),
    "vmdk-flat": ("flat VMDK", ["convert -O vmdk -o subformat=monolithicFlat RAW IMAGE"], (0, 0)),
    "vhd-dynamic": ("dynamic VHD", ["convert -O vpc -o subformat=dynamic RAW IMAGE"], (68, 84)),
}


def qemu_img(*args):
    return subprocess.run(["qemu-img"] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          check=True).stdout.decode()


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def make_form(form, raw, image):
    """The image of the form (a key of FORMS) made of the raw disk."""
    for command in FORMS[form][1]:
        qemu_img(*command.replace("RAW", raw).replace("IMAGE", image).split())
    return image


def vmdk_ddb(image):
    """The ddb.* lines of a VMDK's descriptor (the disk database: adapter,
    geometry, hardware version), which qemu-img info does not show: the
    file itself for a flat VMDK, the text its header points to otherwise."""
    with open(image, "rb") as f:
        head = f.read(512)
        if head[:4] == b"KDMV":
            offset, size = struct.unpack_from("<QQ", head, 28)
            f.seek(offset * 512)
            head = f.read(size * 512)
        else:
            head += f.read(64 << 10)
    return sorted(line for line in head.decode("latin-1").splitlines() if line.startswith("ddb."))


def identity(image, form, data=True):
    """What a virtual machine knows its disk by, as {what: value}: qemu-img
    info but for the room it takes and VMDK's content ID (which QEMU changes
    on every first write, as VMware does), a VMDK's disk database, the UUID
    in the header, the backing file's bytes and (with data) each
    snapshot's."""
    found = json.loads(qemu_img("info", "--output=json", image))
    if form.startswith("vmdk"):
        found["disk database"] = vmdk_ddb(image)
    found.pop("actual-size")
    found.get("format-specific", {}).get("data", {}).pop("cid", None)
    with open(image, "rb") as f:
        found["uuid"] = f.read(FORMS[form][2][1])[FORMS[form][2][0]:].hex()
    if os.path.exists(image + ".base"):
        found["backing file's bytes"] = digest(image + ".base")
    for snapshot in found.get("snapshots", []) if data else []:
        with tempfile.TemporaryDirectory() as scratch:
            qemu_img("convert", "-l", "snapshot.name=" + snapshot["name"], "-O", "raw", image, scratch + "/disk")
            found["snapshot %s's bytes" % snapshot["name"]] = digest(scratch + "/disk")
    return found
