#!/usr/bin/env python3
"""Draws the Vorel vendor mark: logo.bmp (64 x 64) and icon.ico (32 x 32).

Both are 16-colour images (4 bits per pixel) in the standard Windows VGA
palette, so that they show the same on a Windows 95 desktop in 16 colours as
anywhere else. The mark is a "V" of blue and cyan bands with a white outline
on a dark ground inside a grey frame. The output is the same on every run.

    python3 make-art.py [output directory]    (default: this script's directory)
"""

import os
import struct
import sys

# The 16 colours of the Windows VGA palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, NAVY, TEAL, GREY, BLUE, CYAN, WHITE = 0, 4, 6, 8, 12, 14, 15

# Bands of the V from its top to its tip.
BANDS = [CYAN, CYAN, TEAL, BLUE, BLUE, NAVY]


def distance_to_segment(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / float(dx * dx + dy * dy)
    t = max(0.0, min(1.0, t))
    cx, cy = ax + t * dx, ay + t * dy
    return ((px - cx) ** 2 + (py - cy) ** 2) ** 0.5


def draw_mark(size):
    """Returns rows (top first) of palette indices for a size x size mark."""
    scale = size / 64.0
    top, tip = 9 * scale, 53 * scale
    left_x, right_x, tip_x = 15 * scale, 48 * scale, 31.5 * scale
    half_width = 5.2 * scale

    def inside(x, y):
        cx, cy = x + 0.5, y + 0.5
        if cy < top or cy > tip + half_width * 0.6:
            return False
        return (distance_to_segment(cx, cy, left_x, top, tip_x, tip) <= half_width or
                distance_to_segment(cx, cy, right_x, top, tip_x, tip) <= half_width)

    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            if x == 0 or y == 0 or x == size - 1 or y == size - 1:
                row.append(GREY)
            elif inside(x, y):
                band = int((y + 0.5 - top) / (tip + half_width - top) * len(BANDS))
                row.append(BANDS[max(0, min(len(BANDS) - 1, band))])
            elif any(inside(x + dx, y + dy) for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1))):
                row.append(WHITE)
            else:
                row.append(NAVY if y >= size - 1 - max(1, size // 16) * 2 else BLACK)
        rows.append(row)
    # An underline below the tip: the vendor's baseline.
    line_y = int(59 * scale)
    for x in range(int(12 * scale), int(52 * scale)):
        rows[line_y][x] = CYAN
    return rows


def pack_4bpp(rows):
    """Bottom-up 4-bit rows, each padded to a multiple of four bytes."""
    data = bytearray()
    for row in reversed(rows):
        line = bytearray()
        for i in range(0, len(row), 2):
            line.append((row[i] << 4) | row[i + 1])
        while len(line) % 4:
            line.append(0)
        data += line
    return bytes(data)


def pack_mask(mask_rows):
    """Bottom-up 1-bit rows (1 = transparent), padded to four bytes."""
    data = bytearray()
    for row in reversed(mask_rows):
        line = bytearray()
        for i in range(0, len(row), 8):
            byte = 0
            for bit, value in enumerate(row[i:i + 8]):
                if value:
                    byte |= 0x80 >> bit
            line.append(byte)
        while len(line) % 4:
            line.append(0)
        data += line
    return bytes(data)


def palette_bytes():
    return b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)


def info_header(width, height, image_size):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, 4, 0, image_size, 0, 0, 16, 0)


def make_bitmap(size):
    bits = pack_4bpp(draw_mark(size))
    offset = 14 + 40 + 16 * 4
    header = struct.pack("<2sIHHI", b"BM", offset + len(bits), 0, 0, offset)
    return header + info_header(size, size, len(bits)) + palette_bytes() + bits


def make_icon(size):
    rows = draw_mark(size)
    # The corners are cut round: those pixels are transparent (black in the
    # colour image, set in the mask).
    corner = [(0, 0), (1, 0), (0, 1)]
    mask = [[0] * size for _ in range(size)]
    for cx, cy in corner:
        for x, y in ((cx, cy), (size - 1 - cx, cy), (cx, size - 1 - cy), (size - 1 - cx, size - 1 - cy)):
            mask[y][x] = 1
            rows[y][x] = BLACK
    xor_bits = pack_4bpp(rows)
    and_bits = pack_mask(mask)
    image = info_header(size, size * 2, len(xor_bits) + len(and_bits)) + palette_bytes() + xor_bits + and_bits
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(out_dir, "logo.bmp"), "wb") as f:
        f.write(make_bitmap(64))
    with open(os.path.join(out_dir, "icon.ico"), "wb") as f:
        f.write(make_icon(32))


if __name__ == "__main__":
    main()
