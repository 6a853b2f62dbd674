#!/usr/bin/env python3
"""Draw the Tavrik launcher icon and write it as a Windows .ico file.

The design is procedural: a rounded square with a vertical blue gradient and
a thin darker rim, a white stylised "T" with a soft shadow, and a small
amber "launch" dot in the lower right corner.  Every shape is a signed
distance field, so edges are anti-aliased analytically at any size, and the
output is byte-for-byte deterministic.

Usage:
    make_icon.py OUTPUT.ico
    make_icon.py --png OUTPUT.png [--size N]    (one image, for previewing)
"""

import argparse
import math
import os
import struct
import sys
import zlib

# Seven images. From 48 pixels up they are stored as PNG (Vista and later
# read PNG icon images), which keeps the launcher stub small; the smaller
# ones as 32-bit BGRA DIBs.
ICON_SIZES = (16, 20, 24, 32, 40, 48, 64)
PNG_MIN_SIZE = 48

# Colours (R, G, B).
TOP = (66, 122, 240)
BOTTOM = (30, 62, 168)
RIM = (20, 40, 112)
GLYPH = (255, 255, 255)
SHADOW = (10, 24, 80)
ACCENT = (255, 176, 46)


def _rounded_box(px, py, cx, cy, hw, hh, r):
    """Signed distance from (px, py) to a rounded box (negative inside)."""
    qx = abs(px - cx) - hw + r
    qy = abs(py - cy) - hh + r
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    inside = min(max(qx, qy), 0.0)
    return outside + inside - r


def _glyph_distance(x, y):
    """Signed distance to the stylised "T" (union of bar and stem)."""
    bar = _rounded_box(x, y, 0.50, 0.305, 0.265, 0.085, 0.06)
    stem = _rounded_box(x, y, 0.47, 0.52, 0.085, 0.27, 0.06)
    return min(bar, stem)


def _coverage(distance, pixel):
    """Fraction of a pixel covered by the inside of a distance field."""
    c = 0.5 - distance / pixel
    return 0.0 if c <= 0.0 else 1.0 if c >= 1.0 else c


def _over(dst, src, alpha):
    """Composite colour src with alpha over premultiplied dst (r, g, b, a)."""
    if alpha <= 0.0:
        return dst
    r, g, b, a = dst
    k = 1.0 - alpha
    return (src[0] * alpha + r * k, src[1] * alpha + g * k,
            src[2] * alpha + b * k, alpha + a * k)


def _mix(c0, c1, t):
    return tuple(c0[i] + (c1[i] - c0[i]) * t for i in range(3))


def render(size):
    """Render the icon at size x size; returns rows of (r, g, b, a) bytes."""
    pixel = 1.0 / size
    # Keep very small images crisp: rim and shadow scale, but never vanish.
    rim_width = max(0.022, 0.9 * pixel)
    shadow_offset = max(0.018, 0.8 * pixel)
    rows = []
    for j in range(size):
        y = (j + 0.5) * pixel
        row = bytearray()
        for i in range(size):
            x = (i + 0.5) * pixel
            colour = (0.0, 0.0, 0.0, 0.0)
            body = _rounded_box(x, y, 0.5, 0.5, 0.47, 0.47, 0.2)
            body_cov = _coverage(body, pixel)
            if body_cov > 0.0:
                # The body: gradient fill, then a darker rim just inside it.
                fill = _mix(TOP, BOTTOM, min(max((y - 0.03) / 0.94, 0.0), 1.0))
                colour = _over(colour, fill, body_cov)
                rim = _coverage(-(body + rim_width), pixel)
                colour = _over(colour, RIM, min(rim, body_cov) * 0.85)
                # A soft shadow below-right of the glyph, clipped to the body.
                shadow = _glyph_distance(x - shadow_offset, y - shadow_offset)
                shadow_cov = _coverage(shadow, max(pixel, 0.03))
                colour = _over(colour, SHADOW, shadow_cov * 0.45 * body_cov)
                colour = _over(colour, GLYPH,
                               _coverage(_glyph_distance(x, y), pixel))
                dot = math.hypot(x - 0.745, y - 0.745) - 0.095
                colour = _over(colour, ACCENT, _coverage(dot, pixel))
            r, g, b, a = colour
            if a > 0.0:
                r, g, b = r / a, g / a, b / a  # un-premultiply
            row += bytes((_byte(r), _byte(g), _byte(b), _byte(a * 255.0)))
        rows.append(bytes(row))
    return rows


def _byte(v):
    return max(0, min(255, int(v + 0.5)))


def png_bytes(rows):
    """Encode RGBA rows as a PNG (colour type 6, 8 bits, no interlace)."""
    height = len(rows)
    width = len(rows[0]) // 4

    def chunk(tag, data):
        crc = zlib.crc32(tag + data) & 0xFFFFFFFF
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", crc)

    raw = b"".join(b"\x00" + row for row in rows)
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def dib_bytes(rows):
    """Encode RGBA rows as an icon DIB: header, BGRA pixels, AND mask."""
    height = len(rows)
    width = len(rows[0]) // 4
    mask_stride = ((width + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # DIBs are stored bottom-up
        for i in range(width):
            r, g, b, a = row[4 * i:4 * i + 4]
            xor += bytes((b, g, r, a))
        bits = bytearray(mask_stride)
        for i in range(width):
            if row[4 * i + 3] == 0:  # fully transparent: set the mask bit
                bits[i // 8] |= 0x80 >> (i % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 32, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    return header + bytes(xor) + bytes(mask)


def ico_bytes(sizes=ICON_SIZES):
    images = []
    for size in sizes:
        rows = render(size)
        images.append((size, png_bytes(rows) if size >= PNG_MIN_SIZE
                       else dib_bytes(rows)))
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in images:
        dim = 0 if size >= 256 else size  # 0 means 256
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    return bytes(out)


def _write(path, data):
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", nargs="?", help="the .ico file to write")
    parser.add_argument("--png", metavar="OUT.png",
                        help="also write one image as PNG, for previewing")
    parser.add_argument("--size", type=int, default=max(ICON_SIZES),
                        help="size of the --png image (default %(default)s)")
    args = parser.parse_args(argv)
    if not args.output and not args.png:
        parser.error("give OUTPUT.ico, --png OUT.png, or both")
    if not 1 <= args.size <= 1024:
        parser.error("--size must be between 1 and 1024")
    if args.output:
        _write(args.output, ico_bytes())
    if args.png:
        _write(args.png, png_bytes(render(args.size)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
