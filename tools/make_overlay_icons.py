#!/usr/bin/env python3
"""Draws the five Explorer overlay badges of Glint.dll and writes them as
.ico files (48, 32, 24 and 16 pixels, 32 bits with alpha).

The artwork is described below as plain shapes in a unit square; the badge
square is the lower-left quarter of the icon (for 48 pixels columns 0-24 and
rows 23-47) and everything else stays fully transparent. Shapes are
rasterised with 8x8 supersampling, so edges are anti-aliased through alpha.

Usage: make_overlay_icons.py OUTDIR [--png]
  writes OUTDIR/overlay_<index>_<name>.ico, and with --png also one
  OUTDIR/overlay_<index>_<name>_<size>.png per image for inspection.
"""

import math
import os
import struct
import sys
import zlib

SIZES = (48, 32, 24, 16)
SUPERSAMPLE = 8

WHITE = (255, 255, 255)
BLACK = (0, 0, 0)
GREEN = (46, 160, 67)
BLUE = (36, 113, 214)
GREY = (128, 128, 128)
YELLOW = (250, 200, 30)
# A darker rim keeps the badge readable on white and on light icons.
RIM = 0.07


def darker(colour, factor=0.7):
    return tuple(int(c * factor) for c in colour)


# --- shapes: each is a function (x, y) -> bool in the unit badge square,
# x to the right, y downwards.

def disc(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring_arc(cx, cy, r_in, r_out, start_deg, end_deg):
    """Part of an annulus; angles in degrees, clockwise from 3 o'clock."""
    def inside(x, y):
        d2 = (x - cx) ** 2 + (y - cy) ** 2
        if not r_in * r_in <= d2 <= r_out * r_out:
            return False
        a = math.degrees(math.atan2(y - cy, x - cx)) % 360
        lo, hi = start_deg % 360, end_deg % 360
        return lo <= a <= hi if lo <= hi else (a >= lo or a <= hi)
    return inside


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x <= x1 and y0 <= y <= y1


def polygon(points):
    def inside(x, y):
        hit = False
        n = len(points)
        for i in range(n):
            (xa, ya), (xb, yb) = points[i], points[(i + 1) % n]
            if (ya > y) != (yb > y):
                if x < xa + (y - ya) * (xb - xa) / (yb - ya):
                    hit = not hit
        return hit
    return inside


def stroke(points, width):
    """A polyline of the given width with round joins and caps."""
    half = width / 2

    def near_segment(x, y, a, b):
        (xa, ya), (xb, yb) = a, b
        dx, dy = xb - xa, yb - ya
        t = max(0.0, min(1.0, ((x - xa) * dx + (y - ya) * dy) / (dx * dx + dy * dy)))
        px, py = xa + t * dx, ya + t * dy
        return (x - px) ** 2 + (y - py) ** 2 <= half * half

    return lambda x, y: any(near_segment(x, y, points[i], points[i + 1])
                            for i in range(len(points) - 1))


def arrow_head(cx, cy, r, angle_deg, size):
    """A triangle at angle_deg on the circle of radius r, pointing clockwise."""
    a = math.radians(angle_deg)
    px, py = cx + r * math.cos(a), cy + r * math.sin(a)
    tx, ty = -math.sin(a), math.cos(a)          # clockwise tangent
    nx, ny = math.cos(a), math.sin(a)           # outward normal
    tip = (px + tx * size, py + ty * size)
    return polygon([tip, (px + nx * size, py + ny * size), (px - nx * size, py - ny * size)])


def badge_disc(colour):
    return [(disc(0.5, 0.5, 0.5), darker(colour)), (disc(0.5, 0.5, 0.5 - RIM), colour)]


# --- the five badges in overlay-index order: (name, layers painted in order)
BADGES = [
    ("synced", badge_disc(GREEN) + [
        (stroke([(0.27, 0.52), (0.43, 0.68), (0.74, 0.34)], 0.14), WHITE),
    ]),
    ("notsynced", badge_disc(BLUE) + [
        (rect(0.22, 0.43, 0.78, 0.57), WHITE),
        (rect(0.43, 0.22, 0.57, 0.78), WHITE),
    ]),
    ("syncing", badge_disc(BLUE) + [
        (ring_arc(0.5, 0.5, 0.17, 0.31, 205, 320), WHITE),
        (arrow_head(0.5, 0.5, 0.24, 320, 0.16), WHITE),
        (ring_arc(0.5, 0.5, 0.17, 0.31, 25, 140), WHITE),
        (arrow_head(0.5, 0.5, 0.24, 140, 0.16), WHITE),
    ]),
    ("error", badge_disc(GREY) + [
        (rect(0.22, 0.42, 0.78, 0.58), WHITE),
    ]),
    ("conflict", [
        (polygon([(0.5, 0.02), (0.99, 0.95), (0.01, 0.95)]), darker(YELLOW, 0.6)),
        (polygon([(0.5, 0.12), (0.90, 0.89), (0.10, 0.89)]), YELLOW),
        (polygon([(0.44, 0.33), (0.56, 0.33), (0.53, 0.66), (0.47, 0.66)]), BLACK),
        (disc(0.5, 0.77, 0.065), BLACK),
    ]),
]


def badge_box(size):
    """Left, top and edge length of the badge square inside a size x size icon."""
    edge = size // 2 + 1
    return 0, size - edge, edge


def render(layers, size, box=None, samples=SUPERSAMPLE, height=None):
    """Returns rows (top to bottom) of (r, g, b, a) tuples of an image size
    pixels wide and height (default size) high. The shapes' unit square is
    mapped onto box = (left, top, edge), by default the badge square; a
    shape may reach beyond it, the image clips it."""
    height = size if height is None else height
    left, top, edge = badge_box(size) if box is None else box
    pixels = [[(0, 0, 0, 0)] * size for _ in range(height)]
    n = samples
    top_first = list(reversed(layers))
    for py in range(max(top, 0), min(top + edge, height)):
        for px in range(max(left, 0), min(left + edge, size)):
            acc = [0.0, 0.0, 0.0]
            covered = 0
            for sy in range(n):
                for sx in range(n):
                    x = (px - left + (sx + 0.5) / n) / edge
                    y = (py - top + (sy + 0.5) / n) / edge
                    colour = next((c for shape, c in top_first if shape(x, y)), None)
                    if colour is not None:
                        covered += 1
                        for i in range(3):
                            acc[i] += colour[i]
            if covered:
                pixels[py][px] = tuple(int(round(acc[i] / covered)) for i in range(3)) + (
                    int(round(255 * covered / (n * n))),)
    return pixels


def dib(pixels):
    """A 32-bit icon image: BITMAPINFOHEADER, bottom-up BGRA rows, AND mask."""
    size = len(pixels)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b"".join(bytes((b, g, r, a)) for row in reversed(pixels) for (r, g, b, a) in row)
    stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(pixels):
        bits = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + colour + bytes(mask)


def ico(images):
    """images: list of (size, dib bytes)."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def png(pixels):
    width, height = len(pixels[0]), len(pixels)
    raw = b"".join(b"\0" + bytes(v for p in row for v in p) for row in pixels)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def write_if_changed(path, data):
    try:
        with open(path, "rb") as f:
            if f.read() == data:
                return
    except OSError:
        pass
    with open(path, "wb") as f:
        f.write(data)


def main(argv):
    if len(argv) < 2:
        sys.stderr.write(__doc__)
        return 2
    outdir, want_png = argv[1], "--png" in argv[2:]
    os.makedirs(outdir, exist_ok=True)
    for index, (name, layers) in enumerate(BADGES):
        base = os.path.join(outdir, "overlay_%d_%s" % (index, name))
        images = []
        for size in SIZES:
            pixels = render(layers, size)
            images.append((size, dib(pixels)))
            if want_png:
                write_if_changed("%s_%d.png" % (base, size), png(pixels))
        write_if_changed(base + ".ico", ico(images))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
