#!/usr/bin/env python3
"""Draws the updater's two window icons and writes them as .ico files.

usage: make_icons.py LARGE.ico SMALL.ico

The picture is simple on purpose: a blue rounded square with a white arrow
pointing down onto a bar (an update being installed). The large icon holds
32x32 and 48x48 images, the small one 16x16. Each image is a 32-bit
bottom-up DIB with an alpha channel plus the 1-bit AND mask that older
systems read.
"""
import struct
import sys


def pixel(size, x, y):
    """BGRA of pixel (x, y), y counted from the top."""
    s = size
    r = s * 0.18  # corner radius
    # Rounded square with a 1-pixel margin.
    lo, hi = 0.5, s - 0.5
    cx = min(max(x + 0.5, lo + r), hi - r)
    cy = min(max(y + 0.5, lo + r), hi - r)
    if (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2 > r * r:
        return (0, 0, 0, 0)
    u, v = (x + 0.5) / s, (y + 0.5) / s
    white = (255, 255, 255, 255)
    # Arrow shaft, head and the bar it points at.
    if 0.42 <= u <= 0.58 and 0.16 <= v <= 0.50:
        return white
    if 0.50 <= v <= 0.70 and abs(u - 0.5) <= (0.70 - v) * 1.1:
        return white
    if 0.76 <= v <= 0.84 and 0.22 <= u <= 0.78:
        return white
    shade = int(200 - 60 * v)
    return (shade, int(shade * 0.55), 30, 255)


def image(size):
    rows = []
    for y in range(size - 1, -1, -1):  # bottom-up
        rows.append(b"".join(bytes(pixel(size, x, y)) for x in range(size)))
    xor = b"".join(rows)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for y in range(size - 1, -1, -1):
        row = bytearray(mask_stride)
        for x in range(size):
            if pixel(size, x, y)[3] == 0:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += row
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    return header + xor + bytes(mask)


def write_ico(path, sizes):
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    write_ico(sys.argv[1], [32, 48])
    write_ico(sys.argv[2], [16])
