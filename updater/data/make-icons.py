#!/usr/bin/python3
"""Draws the updater's icon (a white arrow into a tray on a blue rounded square) and writes it
as a 32x32 32-bit Windows icon and as a PNG: make-icons.py OUT.ico OUT.png"""
import struct
import sys
import zlib

SIZE = 32


def pixel(x, y):
    """RGBA of the icon at (x, y), y from the top."""
    cx, cy, r = x + 0.5, y + 0.5, 6.0
    # rounded square 1..31
    lo, hi = 1.0, 31.0
    qx = max(lo + r - cx, 0, cx - (hi - r))
    qy = max(lo + r - cy, 0, cy - (hi - r))
    if qx * qx + qy * qy > r * r:
        return (0, 0, 0, 0)
    white = (255, 255, 255, 255)
    # arrow shaft and head
    if 14 <= x <= 17 and 6 <= y <= 16:
        return white
    if 17 <= y <= 22 and abs(cx - 16) <= (22 - y) + 0.5:
        return white
    # tray
    if 24 <= y <= 25 and 7 <= x <= 24:
        return white
    if 20 <= y <= 25 and (7 <= x <= 8 or 23 <= x <= 24):
        return white
    shade = int(40 + 60 * y / SIZE)
    return (20, 90 + shade // 2, 200 + shade // 4, 255)


def rows():
    return [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)]


def ico(data):
    xor = b"".join(bytes((b, g, r, a)) for row in reversed(data) for (r, g, b, a) in row)
    mask_row = 4  # 32 bits per row, already a multiple of 4 bytes
    and_mask = b"".join(
        bytes(int("".join("1" if row[x * 8 + i][3] == 0 else "0" for i in range(8)), 2)
              for x in range(SIZE // 8)) + b"\0" * (mask_row - SIZE // 8)
        for row in reversed(data))
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    image = header + xor + and_mask
    return struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 22) + image


def png(data):
    raw = b"".join(b"\0" + b"".join(bytes(p) for p in row) for row in data)

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xffffffff)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


if __name__ == "__main__":
    data = rows()
    with open(sys.argv[1], "wb") as f:
        f.write(ico(data))
    with open(sys.argv[2], "wb") as f:
        f.write(png(data))
