"""Draws Kestrel's icon: a falcon's wing in a rounded square, at 16, 24, 32,
48, 64 and 256 pixels, written as a Windows .ico of 32-bit images."""
import math
import struct
import sys


def pixel(x, y, n):
    # Coordinates in 0..1; the rounded square, then a swept wing and a tail.
    u, v = (x + 0.5) / n, (y + 0.5) / n
    r = 0.18
    cx, cy = min(max(u, r), 1 - r), min(max(v, r), 1 - r)
    if math.hypot(u - cx, v - cy) > r:
        return (0, 0, 0, 0)
    bg = (int(30 + 40 * v), int(90 + 60 * (1 - v)), int(140 + 60 * (1 - v)), 255)
    # The wing: a crescent from the upper left to the lower right.
    d1 = math.hypot(u - 0.30, v - 0.95)
    d2 = math.hypot(u - 0.20, v - 1.15)
    wing = d1 < 0.72 and d2 > 0.78 and u > 0.16
    # The head: a disc near the top right, and its hooked beak.
    head = math.hypot(u - 0.70, v - 0.30) < 0.11
    beak = 0.78 < u < 0.88 and 0.30 < v < 0.40 and (u - 0.78) < (0.40 - v) * 1.1
    if head or beak:
        return (250, 180, 60, 255)
    if wing:
        return (245, 245, 240, 255)
    return bg


def image(n):
    rows = []
    for y in range(n - 1, -1, -1):  # bottom-up, as a DIB is stored
        row = b"".join(struct.pack("BBBB", b, g, r, a) for (r, g, b, a) in (pixel(x, y, n) for x in range(n)))
        rows.append(row)
    xor = b"".join(rows)
    mask_row = ((n + 31) // 32) * 4
    andmask = b"\0" * (mask_row * n)
    header = struct.pack("<IiiHHIIiiII", 40, n, n * 2, 1, 32, 0, len(xor) + len(andmask), 0, 0, 0, 0)
    return header + xor + andmask


sizes = [16, 24, 32, 48, 64, 256]
images = [image(n) for n in sizes]
out = struct.pack("<HHH", 0, 1, len(sizes))
offset = 6 + 16 * len(sizes)
for n, data in zip(sizes, images):
    out += struct.pack("<BBBBHHII", n % 256, n % 256, 0, 0, 1, 32, len(data), offset)
    offset += len(data)
out += b"".join(images)
with open(sys.argv[1], "wb") as f:
    f.write(out)
