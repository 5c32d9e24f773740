#!/usr/bin/env python3
"""Writes the picture of the setup program's welcome and finish pages (164 x 314 pixels, the
size those pages show, 24 bits per pixel) from the programs' icon: its largest image, drawn at
twice its size on a pale blue band.

Standard library only, and the same bytes from the same icon on every machine.

Usage: make_setup_bitmap.py ICON OUTPUT.bmp
"""
import os
import struct
import sys

WIDTH, HEIGHT = 164, 314
SCALE = 2
ICON_TOP = 56  # pixels from the top of the band to the top of the icon
TOP_COLOUR = (0xF4, 0xF8, 0xFC)
BOTTOM_COLOUR = (0xC6, 0xDA, 0xEE)


def largest_icon_image(data):
    """(size, rows of (r, g, b, a), top row first) of the largest 32-bit image in an .ico."""
    reserved, kind, count = struct.unpack_from('<HHH', data)
    if reserved != 0 or kind != 1 or count == 0:
        raise ValueError('not an icon file')
    entries = [struct.unpack_from('<BBBBHHII', data, 6 + 16 * i) for i in range(count)]
    width, _, _, _, _, bits, length, offset = max(entries, key=lambda e: e[0] or 256)
    size = width or 256
    image = data[offset:offset + length]
    header_size, dib_width, dib_height, _, dib_bits = struct.unpack_from('<IiiHH', image)
    if bits != 32 or dib_bits != 32 or dib_width != size or dib_height != 2 * size:
        raise ValueError('the largest icon image is not a %d-pixel 32-bit bitmap' % size)
    pixels = image[header_size:header_size + 4 * size * size]
    rows = []
    for y in range(size):  # bottom-up in the file
        at = 4 * size * (size - 1 - y)
        rows.append([(pixels[at + 4 * x + 2], pixels[at + 4 * x + 1], pixels[at + 4 * x],
                      pixels[at + 4 * x + 3]) for x in range(size)])
    return size, rows


def enlarged(rows, size, scale):
    """The image at scale times its size, each new pixel the alpha-weighted bilinear blend of
    the four nearest old ones (transparent pixels lend no colour)."""
    big = size * scale

    def sample(x, y):
        x = min(max(x, 0), size - 1)
        y = min(max(y, 0), size - 1)
        return rows[y][x]

    out = []
    for by in range(big):
        fy = (by + 0.5) / scale - 0.5
        y0 = int(fy // 1)
        wy = fy - y0
        row = []
        for bx in range(big):
            fx = (bx + 0.5) / scale - 0.5
            x0 = int(fx // 1)
            wx = fx - x0
            r = g = b = a = 0.0
            for dy, wgt_y in ((0, 1 - wy), (1, wy)):
                for dx, wgt_x in ((0, 1 - wx), (1, wx)):
                    pr, pg, pb, pa = sample(x0 + dx, y0 + dy)
                    w = wgt_x * wgt_y * pa
                    r, g, b, a = r + pr * w, g + pg * w, b + pb * w, a + w
            row.append((r / a, g / a, b / a, a) if a else (0, 0, 0, 0))
        out.append(row)
    return out


def picture(icon_rows):
    """Rows of (r, g, b), top row first: the band, then the icon laid over it."""
    rows = []
    for y in range(HEIGHT):
        t = y / (HEIGHT - 1)
        band = tuple(round(top + (bottom - top) * t) for top, bottom in zip(TOP_COLOUR, BOTTOM_COLOUR))
        rows.append([band] * WIDTH)
    size = len(icon_rows)
    left = (WIDTH - size) // 2
    for y, icon_row in enumerate(icon_rows):
        row = list(rows[ICON_TOP + y])
        for x, (r, g, b, a) in enumerate(icon_row):
            if a:
                under = row[left + x]
                k = a / 255
                row[left + x] = tuple(round(c * k + u * (1 - k)) for c, u in zip((r, g, b), under))
        rows[ICON_TOP + y] = row
    return rows


def bmp_file(rows):
    """A 24-bit BMP: BITMAPFILEHEADER, BITMAPINFOHEADER, BGR rows bottom-up, each padded to four
    bytes."""
    height, width = len(rows), len(rows[0])
    stride = (3 * width + 3) & ~3
    pixels = b''.join(bytes(c for (r, g, b) in row for c in (b, g, r)).ljust(stride, b'\0')
                      for row in reversed(rows))
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    header = struct.pack('<2sIHHI', b'BM', 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    return header + info + pixels


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip().splitlines()[-1])
    icon, output = sys.argv[1:]
    size, rows = largest_icon_image(open(icon, 'rb').read())
    data = bmp_file(picture(enlarged(rows, size, SCALE)))
    os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
    temporary = output + '.part'
    with open(temporary, 'wb') as f:
        f.write(data)
    os.replace(temporary, output)


if __name__ == '__main__':
    main()
