#!/usr/bin/env python3
"""Draws the icons and the wizard's side picture of TavoTessel.exe.

Icon groups (48, 32, 24 and 16 pixels, 32 bits with alpha):
  tray_128_product.ico    the product mark: an orange disc with a darker
                          rim and a white cloud
  tray_129_notbound.ico   the mark with a small red-orange badge at the
                          lower right holding a white exclamation mark
  tray_130_grey.ico       the mark in grey
  tray_131_syncing.ico    the mark with a small green badge at the lower
                          right holding a white circular arrow
  tray_132_tavofile.ico   a white page with a folded upper right corner
                          and the mark in its lower half
Picture: wizard_side.png, 164 x 314 pixels, opaque: an orange gradient
crossed by a faint triangle tessellation, the mark in its upper part.

Shapes are described in a unit square and rasterised with the helpers of
make_overlay_icons.py (supersampled, so edges are anti-aliased).

Usage: make_tray_icons.py OUTDIR [--png]
  with --png also one PNG per icon image for inspection.
"""

import math
import os
import sys

from make_overlay_icons import (SIZES, WHITE, GREEN, arrow_head, darker, dib, disc, ico, png,
                                polygon, rect, render, ring_arc, stroke, write_if_changed)

ORANGE = (245, 130, 32)
RED_ORANGE = (226, 68, 27)
OUTLINE = (150, 150, 150)
PAPER = (252, 252, 252)
PICTURE_SIZE = (164, 314)
PICTURE_SAMPLES = 3


def within(shape, left, top, edge):
    """The shape drawn into the square (left, top, edge) of the unit square."""
    return lambda x, y: shape((x - left) / edge, (y - top) / edge)


def union(*shapes):
    return lambda x, y: any(s(x, y) for s in shapes)


def placed(layers, left, top, edge):
    return [(within(shape, left, top, edge), colour) for shape, colour in layers]


def greyed(layers):
    def grey(c):
        v = int(0.3 * c[0] + 0.59 * c[1] + 0.11 * c[2])
        return (v, v, v)
    return [(shape, grey(colour)) for shape, colour in layers]


CLOUD = union(disc(0.36, 0.56, 0.13), disc(0.53, 0.47, 0.17), disc(0.68, 0.58, 0.11),
              rect(0.36, 0.56, 0.68, 0.69))

MARK = [
    (disc(0.5, 0.5, 0.5), darker(ORANGE, 0.78)),
    (disc(0.5, 0.5, 0.44), ORANGE),
    (CLOUD, WHITE),
]


def badge(colour, sign):
    """A badge disc with a white ring around it, in the lower right quarter."""
    layers = [(disc(0.5, 0.5, 0.5), WHITE), (disc(0.5, 0.5, 0.4), colour)] + sign
    return placed(layers, 0.48, 0.48, 0.52)


EXCLAMATION = [(rect(0.44, 0.24, 0.56, 0.58), WHITE), (disc(0.5, 0.72, 0.075), WHITE)]
CIRCULAR_ARROW = [(ring_arc(0.5, 0.5, 0.14, 0.26, 200, 500), WHITE),
                  (arrow_head(0.5, 0.5, 0.2, 140, 0.15), WHITE)]

PAGE = [
    (polygon([(0.14, 0.02), (0.64, 0.02), (0.88, 0.26), (0.88, 0.98), (0.14, 0.98)]), OUTLINE),
    (polygon([(0.19, 0.07), (0.6, 0.07), (0.83, 0.3), (0.83, 0.93), (0.19, 0.93)]), PAPER),
    (polygon([(0.6, 0.07), (0.83, 0.3), (0.6, 0.3)]), OUTLINE),
    (stroke([(0.28, 0.2), (0.5, 0.2)], 0.05), OUTLINE),
    (stroke([(0.28, 0.32), (0.5, 0.32)], 0.05), OUTLINE),
]

ICONS = [
    (128, "product", MARK),
    (129, "notbound", MARK + badge(RED_ORANGE, EXCLAMATION)),
    (130, "grey", greyed(MARK)),
    (131, "syncing", MARK + badge(GREEN, CIRCULAR_ARROW)),
    (132, "tavofile", PAGE + placed(MARK, 0.27, 0.42, 0.48)),
]


def write_icons(outdir, want_png):
    for number, name, layers in ICONS:
        base = os.path.join(outdir, "tray_%d_%s" % (number, name))
        images = []
        for size in SIZES:
            pixels = render(layers, size, box=(0, 0, size))
            images.append((size, dib(pixels)))
            if want_png:
                write_if_changed("%s_%d.png" % (base, size), png(pixels))
        write_if_changed(base + ".ico", ico(images))


def tessellation(x, y):
    """True on the lines of a triangle tiling, 0.16 units apart."""
    for angle in (0, 60, 120):
        a = math.radians(angle)
        t = (x * math.cos(a) + y * math.sin(a)) / 0.16
        if abs(t - round(t)) < 0.035:
            return True
    return False


def background(x, y, height):
    """The gradient from orange at the top to a pale orange at the bottom,
    the tessellation lighter and fading out downwards."""
    f = min(1.0, y / height)
    base = tuple(int(ORANGE[i] + (250 - ORANGE[i]) * f * 0.85) for i in range(3))
    if tessellation(x, y):
        lift = 0.22 * (1.0 - f)
        base = tuple(int(c + (255 - c) * lift) for c in base)
    return base


def side_picture():
    width, height = PICTURE_SIZE
    unit_height = height / width
    mark = render(placed(MARK, 0.2, 0.3, 0.6), width, box=(0, 0, width), samples=PICTURE_SAMPLES,
                  height=height)
    n = PICTURE_SAMPLES
    rows = []
    for py in range(height):
        row = []
        for px in range(width):
            acc = [0.0, 0.0, 0.0]
            for sy in range(n):
                for sx in range(n):
                    c = background((px + (sx + 0.5) / n) / width, (py + (sy + 0.5) / n) / width, unit_height)
                    for i in range(3):
                        acc[i] += c[i]
            under = [v / (n * n) for v in acc]
            r, g, b, a = mark[py][px]
            alpha = a / 255.0
            over = (r, g, b)
            row.append(tuple(int(round(over[i] * alpha + under[i] * (1 - alpha))) for i in range(3)) + (255,))
        rows.append(row)
    return rows


def main(argv):
    if len(argv) < 2:
        sys.stderr.write(__doc__)
        return 2
    outdir, want_png = argv[1], "--png" in argv[2:]
    os.makedirs(outdir, exist_ok=True)
    write_icons(outdir, want_png)
    write_if_changed(os.path.join(outdir, "wizard_side.png"), png(side_picture()))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
