#!/usr/bin/env python3
"""Draws logo.png, the about box picture: 150 x 134 pixels, 16-colour palette,
colour 0 (the background) transparent. Standard library only; run it again
after changing the drawing and commit the result."""
import math
import struct
import sys
import zlib

W, H = 150, 134
PALETTE = [
    (255, 0, 255),   # 0 background (transparent)
    (18, 48, 90),    # 1 dark blue outline
    (42, 90, 154),   # 2 blue
    (120, 170, 220), # 3 light blue
    (255, 255, 255), # 4 white
    (224, 160, 32),  # 5 amber liquid
    (250, 210, 110), # 6 light amber
    (80, 80, 80),    # 7 grey
    (192, 192, 192), # 8 light grey
] + [(0, 0, 0)] * 7

px = [[0] * W for _ in range(H)]


def fill(pred, colour):
    for y in range(H):
        for x in range(W):
            if pred(x + 0.5, y + 0.5):
                px[y][x] = colour


cx, cy = 75, 67
# Ring around the picture.
fill(lambda x, y: 58 <= math.hypot(x - cx, y - cy) <= 64, 1)
fill(lambda x, y: 52 <= math.hypot(x - cx, y - cy) < 58, 3)


def flask_half_width(y):
    # Neck from y 28 to 58, then a cone widening to the base at y 108.
    if 28 <= y < 58:
        return 9
    if 58 <= y <= 108:
        return 9 + (y - 58) * 0.72
    return -1


def in_flask(x, y, grow=0.0):
    hw = flask_half_width(y)
    return hw >= 0 and abs(x - cx) <= hw + grow


fill(lambda x, y: in_flask(x, y, 3) or (24 <= y < 28 and abs(x - cx) <= 14)
     or (108 < y <= 111 and abs(x - cx) <= flask_half_width(108) + 3), 1)
fill(lambda x, y: in_flask(x, y), 4)
# Liquid with a wave on top.
fill(lambda x, y: in_flask(x, y) and y >= 80 + 3 * math.sin((x - cx) / 6.0), 5)
fill(lambda x, y: in_flask(x, y) and 80 + 3 * math.sin((x - cx) / 6.0) <= y < 85
     + 3 * math.sin((x - cx) / 6.0), 6)
# Bubbles.
for bx, by, r in ((68, 96, 3), (82, 100, 2.5), (76, 90, 2)):
    fill(lambda x, y, bx=bx, by=by, r=r: math.hypot(x - bx, y - by) <= r, 4)
# Scale marks on the neck.
for my in (36, 44, 52):
    fill(lambda x, y, my=my: my <= y < my + 2 and cx - 9 <= x < cx - 2, 7)
# Reading bars on the right, a measurement display.
for i, h in enumerate((14, 22, 30)):
    x0 = 104 + i * 8
    fill(lambda x, y, x0=x0, h=h: x0 <= x < x0 + 5 and 92 - h <= y < 92, 2)


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


rows = b""
for row in px:
    packed = bytes((row[i] << 4) | (row[i + 1] if i + 1 < W else 0) for i in range(0, W, 2))
    rows += b"\x00" + packed
png = (b"\x89PNG\r\n\x1a\n"
       + chunk(b"IHDR", struct.pack(">IIBBBBB", W, H, 4, 3, 0, 0, 0))
       + chunk(b"PLTE", b"".join(struct.pack("BBB", *c) for c in PALETTE))
       + chunk(b"tRNS", b"\x00")
       + chunk(b"IDAT", zlib.compress(rows, 9))
       + chunk(b"IEND", b""))
out = sys.argv[1] if len(sys.argv) > 1 else "logo.png"
with open(out, "wb") as f:
    f.write(png)
