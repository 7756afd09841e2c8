#!/usr/bin/env python3
"""Draws Kelvane's icon (a folder holding a table, on a blue tile) as indexed PNGs of at most
256 colours: data/kelvane.png at 32 by 32 (the window's and the Windows build's icon) and
data/kelvane-128.png at 128 by 128 (the desktop's larger icon), the same picture with smooth
tile corners. Run again after changing the picture."""
import os
import struct
import zlib

SIZE = 32
PALETTE = [
    (0, 0, 0),        # 0 transparent
    (20, 52, 86),     # 1 tile edge
    (33, 84, 138),    # 2 tile
    (52, 110, 170),   # 3 tile light
    (196, 140, 24),   # 4 folder back
    (245, 197, 66),   # 5 folder front
    (252, 226, 140),  # 6 folder highlight
    (120, 78, 10),    # 7 folder outline and table rows
    (255, 255, 255),  # 8 white
]


def rounded(x, y, x0, y0, x1, y1, r):
    if not (x0 <= x <= x1 and y0 <= y <= y1):
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def pixel(x, y, fx=None, fy=None):
    """The colour at pixel (x, y) of the 32 by 32 picture; (fx, fy), when given, is the exact
    point in that picture's units, for the tile's rounded corners at a larger size."""
    fx = x if fx is None else fx
    fy = y if fy is None else fy
    colour = 0
    if rounded(fx, fy, 1, 1, 30, 30, 5):
        colour = 1
    if rounded(fx, fy, 2, 2, 29, 29, 4):
        colour = 3 if y < 12 else 2
    # Folder back with its tab.
    if 5 <= x <= 13 and 6 <= y <= 8:
        colour = 7 if y == 6 or x in (5, 13) else 4
    if 5 <= x <= 26 and 8 <= y <= 25:
        colour = 7 if x in (5, 26) or y in (8, 25) else 4
    # Folder front, slanting in from the left.
    if 6 <= x <= 26 and 12 <= y <= 25:
        colour = 7 if y in (12, 25) or x == 26 else (6 if y == 13 else 5)
    # The table the folder holds: three rows with a separator.
    if y in (16, 19, 22) and 9 <= x <= 23:
        colour = 8 if x == 13 else 7
    return colour


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def draw(size):
    scale = size / SIZE

    def at(px, py):
        if size == SIZE:
            return pixel(px, py)
        # The pixel's centre in the 32-unit picture, outlines scaled with it.
        fx, fy = (px + 0.5) / scale - 0.5, (py + 0.5) / scale - 0.5
        return pixel(int(px // scale), int(py // scale), fx, fy)

    rows = b"".join(b"\0" + bytes(at(x, y) for x in range(size)) for y in range(size))
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 3, 0, 0, 0))
    png += chunk(b"PLTE", b"".join(bytes(c) for c in PALETTE))
    png += chunk(b"tRNS", b"\0")
    png += chunk(b"IDAT", zlib.compress(rows, 9))
    png += chunk(b"IEND", b"")
    return png


def main():
    data = os.path.join(os.path.dirname(__file__), "..", "data")
    for size, name in ((SIZE, "kelvane.png"), (128, "kelvane-128.png")):
        with open(os.path.join(data, name), "wb") as f:
            f.write(draw(size))


if __name__ == "__main__":
    main()
