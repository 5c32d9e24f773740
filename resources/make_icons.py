#!/usr/bin/env python3
"""Draws the program's icons (a receipt coming out of a printer) and writes them as .ico files.

Standard library only. Each file holds 64, 32, 24 and 16 pixel images, 32 bits per pixel,
64 first. Shapes are drawn in unit coordinates and anti-aliased by supersampling, so every
size is drawn afresh rather than scaled down.

Usage: make_icons.py [OUTPUT_DIR]   (default: the folder of this script)
"""
import os
import struct
import sys

SIZES = (64, 32, 24, 16)
SUPERSAMPLE = 4

INK = (0x1B, 0x2A, 0x3A)
BODY = (0x2F, 0x6F, 0xA8)
BODY_DARK = (0x1E, 0x4C, 0x78)
SLOT = (0x12, 0x1C, 0x26)
PAPER = (0xFF, 0xFF, 0xFF)
PAPER_EDGE = (0x8A, 0x96, 0xA3)
TEXT = (0x55, 0x60, 0x6C)
MARK = (0xD3, 0x2F, 0x2F)
LED = (0x3C, 0xD0, 0x5A)


def in_rect(x, y, x0, y0, x1, y1, r=0.0):
    if not (x0 <= x <= x1 and y0 <= y <= y1):
        return False
    if r <= 0:
        return True
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def torn_top(x, y, x0, x1, top, teeth, depth):
    """True below a zigzag edge, like a receipt torn from the roll."""
    period = (x1 - x0) / teeth
    phase = ((x - x0) % period) / period
    return y >= top + depth * abs(phase * 2 - 1)


def on_segment(x, y, ax, ay, bx, by, half_width):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
    px, py = ax + t * dx, ay + t * dy
    return (x - px) ** 2 + (y - py) ** 2 <= half_width ** 2


def colour_at(x, y, size, outline):
    """Colour of the picture at unit point (x, y), or None where it is transparent."""
    stroke = max(outline / size, 0.02)
    # Receipt: above the printer, leaving through the slot.
    small = size <= 16
    px0, px1, ptop, pbottom = (0.19, 0.81, 0.02, 0.56) if small else (0.27, 0.73, 0.05, 0.56)
    if px0 - stroke <= x <= px1 + stroke and torn_top(x, y, px0, px1, ptop - stroke, 4, 0.07 * (not small)) \
            and y <= pbottom:
        inside = px0 <= x <= px1 and torn_top(x, y, px0, px1, ptop, 4, 0.07 * (not small))
        if not inside:
            return PAPER_EDGE
        # A bold "Z": the receipt this program prints.
        zx0, zx1, zy0, zy1 = (0.31, 0.69, 0.15, 0.40) if small else (0.38, 0.62, 0.17, 0.41)
        zw = 0.6 / size if small else max(0.05, 1.1 / size)
        if (on_segment(x, y, zx0, zy0, zx1, zy0, zw) or on_segment(x, y, zx1, zy0, zx0, zy1, zw)
                or on_segment(x, y, zx0, zy1, zx1, zy1, zw)):
            return MARK
        if size >= 32 and (abs(y - 0.48) < 0.018) and 0.34 <= x <= 0.66:
            return TEXT
        return PAPER
    # Printer body with a darker base, the paper slot and a power light.
    if in_rect(x, y, 0.06, 0.46, 0.94, 0.92, 0.10):
        if not in_rect(x, y, 0.06 + stroke, 0.46 + stroke, 0.94 - stroke, 0.92 - stroke,
                       max(0.10 - stroke, 0)):
            return INK
        if 0.20 <= x <= 0.80 and 0.53 <= y <= 0.53 + max(0.05, 1.2 / size):
            return SLOT
        if (x - 0.80) ** 2 + (y - 0.78) ** 2 <= max(0.055, 1.0 / size) ** 2:
            return LED
        return BODY_DARK if y > 0.74 else BODY
    return None


def render(size, outline):
    """Rows of (r, g, b, a), top row first, with straight (not premultiplied) alpha."""
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0
            for sy in range(n):
                for sx in range(n):
                    c = colour_at((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size,
                                  size, outline)
                    if c is not None:
                        r, g, b, a = r + c[0], g + c[1], b + c[2], a + 1
            if a:
                row.append((r // a, g // a, b // a, 255 * a // (n * n)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def dib_image(rows):
    """A 32-bit icon image: BITMAPINFOHEADER, BGRA pixels bottom-up, then the AND mask."""
    size = len(rows)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b''.join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + pixels + bytes(mask)


def icon_file(images):
    """ICONDIR, one 16-byte entry per image, then the images in the same order."""
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b''.join(data for _, data in images)


def write_icon(path, outline):
    images = [(size, dib_image(render(size, outline))) for size in SIZES]
    with open(path, 'wb') as f:
        f.write(icon_file(images))


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    write_icon(os.path.join(out_dir, 'kestrelon.ico'), outline=1.0)
    # The tray shows small sizes on busy backgrounds: a bolder outline.
    write_icon(os.path.join(out_dir, 'tray.ico'), outline=1.5)


if __name__ == '__main__':
    main()
