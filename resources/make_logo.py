#!/usr/bin/env python3
"""Draws the Tarnwick logo and writes zeph.png (77 x 72) and zeph@2x.png (154 x 144).

The emblem is a green badge with three wind strokes, drawn from one vector
description at both sizes with 8 x 8 supersampling, so its edges are soft and
partly transparent on a fully transparent background. Only the standard library
is used: the PNG (8-bit RGBA, not interlaced) is written by hand, with an sRGB
chunk (perceptual intent) and an eXIf chunk that records the sRGB colour space
and the pixel dimensions.

Usage: make_logo.py [output directory]   (default: the directory of this script)
"""
import math
import os
import struct
import sys
import zlib

BASE_WIDTH, BASE_HEIGHT = 77, 72
SUPERSAMPLING = 8

OUTER = (0x2B, 0x8A, 0x57)
INNER = (0x4F, 0xCD, 0x7F)
# (y, x from, x to, colour) in 77 x 72 units; the strokes are 6 units thick.
STROKES = [
    (24.0, 17.0, 58.0, (0xFF, 0xFF, 0xFF)),
    (36.0, 17.0, 51.0, (0xFF, 0xD1, 0x66)),
    (48.0, 17.0, 44.0, (0x56, 0xA8, 0xF5)),
]
CENTRE = (38.5, 36.0)
OUTER_RADIUS, INNER_RADIUS, STROKE_HALF = 34.0, 29.0, 3.0


def colour_at(x, y):
    """Colour of the emblem at one point in 77 x 72 units, or None outside it."""
    d = math.hypot(x - CENTRE[0], y - CENTRE[1])
    if d > OUTER_RADIUS:
        return None
    if d > INNER_RADIUS:
        return OUTER
    for sy, sx0, sx1, colour in STROKES:
        # A stroke is a capsule: a segment widened by STROKE_HALF with round ends.
        px = min(max(x, sx0), sx1)
        if math.hypot(x - px, y - sy) <= STROKE_HALF:
            return colour
    return INNER


def render(scale):
    width, height = BASE_WIDTH * scale, BASE_HEIGHT * scale
    step = 1.0 / SUPERSAMPLING
    rows = []
    for py in range(height):
        row = bytearray()
        for px in range(width):
            r = g = b = hits = 0
            for sy in range(SUPERSAMPLING):
                for sx in range(SUPERSAMPLING):
                    c = colour_at((px + (sx + 0.5) * step) / scale, (py + (sy + 0.5) * step) / scale)
                    if c:
                        r, g, b, hits = r + c[0], g + c[1], b + c[2], hits + 1
            if hits:
                row += bytes((round(r / hits), round(g / hits), round(b / hits),
                              round(255 * hits / SUPERSAMPLING ** 2)))
            else:
                row += b"\0\0\0\0"
        rows.append(bytes(row))
    return width, height, rows


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def exif(width, height):
    """A big-endian TIFF structure: IFD0 points to an Exif IFD with ColorSpace,
    PixelXDimension and PixelYDimension."""
    ifd0_offset = 8
    ifd0 = struct.pack(">H", 1) + struct.pack(">HHII", 0x8769, 4, 1, ifd0_offset + 2 + 12 + 4) + struct.pack(">I", 0)
    exif_ifd = struct.pack(">H", 3)
    exif_ifd += struct.pack(">HHIHH", 0xA001, 3, 1, 1, 0)  # ColorSpace: sRGB
    exif_ifd += struct.pack(">HHII", 0xA002, 4, 1, width)
    exif_ifd += struct.pack(">HHII", 0xA003, 4, 1, height)
    exif_ifd += struct.pack(">I", 0)
    return b"MM\0\x2a" + struct.pack(">I", ifd0_offset) + ifd0 + exif_ifd


def png(width, height, rows):
    raw = b"".join(b"\0" + row for row in rows)  # filter type 0 on every row
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"sRGB", b"\0")
            + chunk(b"eXIf", exif(width, height))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for scale, name in ((1, "zeph.png"), (2, "zeph@2x.png")):
        data = png(*render(scale))
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
        print(f"{name}: {BASE_WIDTH * scale} x {BASE_HEIGHT * scale}, {len(data)} bytes")


if __name__ == "__main__":
    main()
