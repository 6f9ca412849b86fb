#!/usr/bin/env python3
"""Draws the program icon (a camera with a clipboard badge) and writes it as an
.ico holding nine 32-bit PNG images, 16 to 256 pixels square (20, 24 and
40 for the small icon at 125, 150 and 250 % display scale).

The shapes are described in a unit square and rendered with 4x4 supersampling,
so every size is drawn afresh rather than scaled down from the largest. Only
the standard library is used (zlib and struct for PNG); the output is byte for
byte reproducible, so the committed icon can be checked against this script.

Usage:
  make-icons.py                   rewrite src/app/snapward.ico
  make-icons.py --check           exit 1 if src/app/snapward.ico is stale
  make-icons.py --png-dir DIR     also write DIR/snapward-<size>.png
"""
import argparse
import os
import struct
import sys
import zlib

SIZES = (16, 20, 24, 32, 40, 48, 64, 128, 256)
SAMPLES = 4  # per axis
ICO_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "app", "snapward.ico")

BODY = (47, 58, 74)
BODY_EDGE = (30, 37, 48)
SHUTTER = (232, 85, 61)
LENS_RIM = (201, 211, 222)
LENS_DARK = (24, 52, 94)
LENS_GLASS = (61, 143, 224)
HIGHLIGHT = (255, 255, 255)
PAPER = (246, 242, 232)
PAPER_EDGE = (120, 110, 95)
CLIP = (150, 158, 170)
LINE = (170, 180, 195)


def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if x < x0 or x > x1 or y < y0 or y > y1:
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def layers(size):
    """Shapes in painting order: (test, colour, alpha)."""
    shapes = [
        (rounded_rect(0.29, 0.13, 0.61, 0.32, 0.05), BODY_EDGE, 1.0),  # viewfinder housing
        (rounded_rect(0.68, 0.17, 0.86, 0.30, 0.03), SHUTTER, 1.0),  # shutter button
        (rounded_rect(0.04, 0.25, 0.96, 0.87, 0.13), BODY_EDGE, 1.0),
        (rounded_rect(0.07, 0.28, 0.93, 0.84, 0.11), BODY, 1.0),
        (circle(0.47, 0.56, 0.255), LENS_RIM, 1.0),
        (circle(0.47, 0.56, 0.195), LENS_DARK, 1.0),
        (circle(0.47, 0.56, 0.125), LENS_GLASS, 1.0),
        (circle(0.415, 0.505, 0.045), HIGHLIGHT, 0.85),
    ]
    if size >= 32:
        # The clipboard badge: the picture lands on the clipboard. Too small to
        # read at 16 pixels, where the camera alone is the icon.
        shapes += [
            (rounded_rect(0.63, 0.55, 0.97, 0.99, 0.05), PAPER_EDGE, 1.0),
            (rounded_rect(0.655, 0.575, 0.945, 0.965, 0.035), PAPER, 1.0),
            (rounded_rect(0.72, 0.51, 0.88, 0.615, 0.03), CLIP, 1.0),
            (rounded_rect(0.70, 0.69, 0.90, 0.725, 0.012), LINE, 1.0),
            (rounded_rect(0.70, 0.77, 0.90, 0.805, 0.012), LINE, 1.0),
            (rounded_rect(0.70, 0.85, 0.84, 0.885, 0.012), LINE, 1.0),
        ]
    return shapes


def render(size):
    shapes = layers(size)
    rows = []
    step = 1.0 / (size * SAMPLES)
    for py in range(size):
        row = bytearray()
        for px in range(size):
            r = g = b = a = 0.0
            for sy in range(SAMPLES):
                y = (py * SAMPLES + sy + 0.5) * step
                for sx in range(SAMPLES):
                    x = (px * SAMPLES + sx + 0.5) * step
                    # "over" compositing of the shapes that cover this sample
                    cr = cg = cb = ca = 0.0
                    for test, colour, alpha in shapes:
                        if test(x, y):
                            cr = colour[0] * alpha + cr * (1 - alpha)
                            cg = colour[1] * alpha + cg * (1 - alpha)
                            cb = colour[2] * alpha + cb * (1 - alpha)
                            ca = alpha + ca * (1 - alpha)
                    r += cr
                    g += cg
                    b += cb
                    a += ca
            n = SAMPLES * SAMPLES
            if a > 0:
                # premultiplied sums back to straight alpha
                row += bytes((round(r / a), round(g / a), round(b / a), round(255 * a / n)))
            else:
                row += b"\0\0\0\0"
        rows.append(bytes(row))
    return rows


def png(size, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    raw = b"".join(b"\0" + row for row in rows)  # filter type 0 on every row
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def ico(images):
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    data = b""
    for size, image in images:
        dim = 0 if size >= 256 else size  # 0 stands for 256 in the directory
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(image), offset + len(data))
        data += image
    return out + data


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--png-dir")
    parser.add_argument("--output", default=ICO_PATH)
    args = parser.parse_args()

    images = [(size, png(size, render(size))) for size in SIZES]
    icon = ico(images)
    if args.png_dir:
        os.makedirs(args.png_dir, exist_ok=True)
        for size, image in images:
            with open(os.path.join(args.png_dir, "snapward-%d.png" % size), "wb") as f:
                f.write(image)
    if args.check:
        with open(args.output, "rb") as f:
            if f.read() != icon:
                print("%s is stale: run scripts/make-icons.py" % args.output, file=sys.stderr)
                return 1
        return 0
    with open(args.output, "wb") as f:
        f.write(icon)
    return 0


if __name__ == "__main__":
    sys.exit(main())
