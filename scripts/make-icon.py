#!/usr/bin/env python3
"""Makes the Windows icon resource app/kelvane.ico (32 by 32, 256 colours) from the
indexed picture data/kelvane.png that scripts/draw-icon.py draws. Run again after changing it."""
import os
import struct
import zlib

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
data = open(os.path.join(root, "data", "kelvane.png"), "rb").read()

chunks, at = {}, 8
while at < len(data):
    size, kind = struct.unpack(">I4s", data[at:at + 8])
    chunks[kind] = chunks.get(kind, b"") + data[at + 8:at + 8 + size]
    at += 12 + size
width, height, depth, colour_type = struct.unpack(">IIBB", chunks[b"IHDR"][:10])
assert (depth, colour_type) == (8, 3), "the picture must be an 8-bit indexed PNG"
palette = [tuple(chunks[b"PLTE"][i:i + 3]) for i in range(0, len(chunks[b"PLTE"]), 3)]
alpha = list(chunks.get(b"tRNS", b"")) + [255] * (256 - len(chunks.get(b"tRNS", b"")))

# Undo the PNG row filters (one byte a pixel, so the left neighbour is one byte back).
raw, rows, prev = zlib.decompress(chunks[b"IDAT"]), [], [0] * width
for y in range(height):
    line = raw[y * (width + 1):(y + 1) * (width + 1)]
    kind, row = line[0], list(line[1:])
    for x in range(width):
        a = row[x - 1] if x else 0
        b, c = prev[x], prev[x - 1] if x else 0
        if kind == 1: row[x] = (row[x] + a) & 255
        elif kind == 2: row[x] = (row[x] + b) & 255
        elif kind == 3: row[x] = (row[x] + (a + b) // 2) & 255
        elif kind == 4:
            p = a + b - c
            pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
            row[x] = (row[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
    rows.append(row)
    prev = row

# A bitmap icon: header with doubled height, 256-entry palette, pixels bottom-up, then the
# one-bit transparency mask (rows padded to four bytes).
header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 8, 0, 0, 0, 0, 256, 0)
colours = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette + [(0, 0, 0)] * (256 - len(palette)))
pixels = b"".join(bytes(rows[y]) for y in reversed(range(height)))
mask = b""
for y in reversed(range(height)):
    bits = 0
    for x in range(width):
        bits = (bits << 1) | (alpha[rows[y][x]] < 128)
    mask += bits.to_bytes(width // 8, "big") + b"\0" * ((4 - width // 8 % 4) % 4)
image = header + colours + pixels + mask
icon = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", width, height, 0, 0, 1, 8, len(image), 22) + image
open(os.path.join(root, "app", "kelvane.ico"), "wb").write(icon)
