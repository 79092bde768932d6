#!/usr/bin/env python3
"""Draws the installer's splash bitmap (321 x 81, 4 bits per pixel) and its
icon (32 x 32 and 16 x 16, 16 colours) from nothing but code, so that the
pictures can be rebuilt and reviewed like any other source.

usage: make_splash.py SPLASH.bmp ICON.ico [RESOURCE.bmp]

RESOURCE.bmp is the same picture run-length encoded (BI_RLE4), the form the
stub carries: a quarter of the plain bitmap's bytes. SPLASH.bmp stays plain,
for any program that reads BMP files (the tests compare the window with it).
"""
import struct
import sys

WIDTH, HEIGHT = 321, 81

# One palette for both pictures. The screen shows 4-bit pictures through
# their palette, so every pixel on screen is exactly one of these colours.
PALETTE = [
    (0x14, 0x21, 0x3D),  # 0 background navy
    (0x1D, 0x34, 0x61),  # 1 side panel
    (0x2E, 0x5C, 0x9A),  # 2 frame
    (0x0B, 0x14, 0x26),  # 3 shadow
    (0xFC, 0xA3, 0x11),  # 4 orange: box front, accent line
    (0xC7, 0x7D, 0x0A),  # 5 dark orange: box side
    (0xFF, 0xD3, 0x7A),  # 6 light orange: box top
    (0xFF, 0xFF, 0xFF),  # 7 title
    (0xA9, 0xC1, 0xE0),  # 8 subtitle
    (0x6E, 0x8B, 0xB8),  # 9 dim accent
    (0x00, 0x00, 0x00),
    (0x00, 0x00, 0x00),
    (0x00, 0x00, 0x00),
    (0x00, 0x00, 0x00),
    (0x00, 0x00, 0x00),
    (0x00, 0x00, 0x00),
]
assert len(PALETTE) == 16

FONT = {  # 5 x 7, one string of five bits per row
    "K": "10001 10010 10100 11000 10100 10010 10001",
    "E": "11111 10000 10000 11110 10000 10000 11111",
    "L": "10000 10000 10000 10000 10000 10000 11111",
    "V": "10001 10001 10001 10001 10001 01010 00100",
    "O": "01110 10001 10001 10001 10001 10001 01110",
    "P": "11110 10001 10001 11110 10000 10000 10000",
    "R": "11110 10001 10001 11110 10100 10010 10001",
    "A": "01110 10001 10001 11111 10001 10001 10001",
    "I": "01110 00100 00100 00100 00100 00100 01110",
    "N": "10001 11001 10101 10101 10011 10001 10001",
    "G": "01110 10001 10000 10111 10001 10001 01111",
    "S": "01111 10000 10000 01110 00001 00001 11110",
    "T": "11111 00100 00100 00100 00100 00100 00100",
    "U": "10001 10001 10001 10001 10001 10001 01110",
    ".": "00000 00000 00000 00000 00000 01100 01100",
    " ": "00000 00000 00000 00000 00000 00000 00000",
}


class Canvas:
    def __init__(self, width, height, fill):
        self.width, self.height = width, height
        self.pixels = [[fill] * width for _ in range(height)]

    def put(self, x, y, colour):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.pixels[y][x] = colour

    def rect(self, x0, y0, x1, y1, colour):  # inclusive corners
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.put(x, y, colour)

    def text(self, x, y, words, scale, colour, advance=6):
        for ch in words:
            rows = FONT[ch].split()
            for gy, row in enumerate(rows):
                for gx, bit in enumerate(row):
                    if bit == "1":
                        self.rect(x + gx * scale, y + gy * scale,
                                  x + gx * scale + scale - 1, y + gy * scale + scale - 1, colour)
            x += advance * scale

    def polygon(self, points, colour):
        """Fills a convex polygon given clockwise on screen (y down)."""
        xs = [p[0] for p in points]
        ys = [p[1] for p in points]
        for y in range(int(min(ys)), int(max(ys)) + 1):
            for x in range(int(min(xs)), int(max(xs)) + 1):
                cx, cy = x + 0.5, y + 0.5
                inside = True
                for i in range(len(points)):
                    ax, ay = points[i]
                    bx, by = points[(i + 1) % len(points)]
                    if (bx - ax) * (cy - ay) - (by - ay) * (cx - ax) < 0:
                        inside = False
                        break
                if inside:
                    self.put(x, y, colour)


def draw_box(c, cx, top, size):
    """An isometric parcel: top face, front-left and front-right faces."""
    h = size // 2
    q = size // 4
    c.polygon([(cx, top), (cx + h, top + q), (cx, top + 2 * q), (cx - h, top + q)], 6)
    c.polygon([(cx - h, top + q), (cx, top + 2 * q), (cx, top + 2 * q + h), (cx - h, top + q + h)], 4)
    c.polygon([(cx, top + 2 * q), (cx + h, top + q), (cx + h, top + q + h), (cx, top + 2 * q + h)], 5)


def splash():
    c = Canvas(WIDTH, HEIGHT, 0)
    c.rect(0, 0, 79, HEIGHT - 1, 1)
    draw_box(c, 40, 14, 40)
    c.text(98, 14, "KELVO", 4, 3)   # shadow
    c.text(96, 12, "KELVO", 4, 7)
    c.text(96, 50, "PREPARING SETUP", 2, 8)
    c.rect(0, HEIGHT - 5, WIDTH - 1, HEIGHT - 4, 4)
    c.rect(0, HEIGHT - 3, WIDTH - 1, HEIGHT - 3, 9)
    for x in range(WIDTH):  # frame
        c.put(x, 0, 2)
        c.put(x, HEIGHT - 1, 2)
    for y in range(HEIGHT):
        c.put(0, y, 2)
        c.put(WIDTH - 1, y, 2)
    return c


def pack_rows(c):
    """4-bit rows, bottom-up, each padded to a multiple of four bytes."""
    out = bytearray()
    stride = ((c.width * 4 + 31) // 32) * 4
    for y in range(c.height - 1, -1, -1):
        row = bytearray()
        for x in range(0, c.width, 2):
            hi = c.pixels[y][x]
            lo = c.pixels[y][x + 1] if x + 1 < c.width else 0
            row.append(hi << 4 | lo)
        row.extend(b"\0" * (stride - len(row)))
        out += row
    return out


BI_RLE4 = 2


def rle4_row(p):
    """One row as the fewest BI_RLE4 bytes, without its end-of-line mark.

    A run ("count, two colours") is count pixels alternating between the
    two; an absolute piece ("0, count", then the pixels two a byte, padded
    to an even number of bytes) holds 3 to 255 pixels as they are. The
    cheapest mix is found from the row's end backwards."""
    w = len(p)
    cost = [0] * (w + 1)
    choice = [None] * (w + 1)
    for i in range(w - 1, -1, -1):
        a, b = p[i], p[i + 1] if i + 1 < w else 0
        longest = 1
        while i + longest < w and longest < 255 and p[i + longest] == (b if longest % 2 else a):
            longest += 1
        best = None
        for n in range(1, longest + 1):
            if best is None or 2 + cost[i + n] < best[0]:
                best = (2 + cost[i + n], "run", n)
        for n in range(3, min(255, w - i) + 1):
            c = 2 + (n + 3) // 4 * 2 + cost[i + n]
            if c < best[0]:
                best = (c, "absolute", n)
        cost[i], choice[i] = best[0], best[1:]
    out = bytearray()
    i = 0
    while i < w:
        kind, n = choice[i]
        if kind == "run":
            second = p[i + 1] if n > 1 else 0
            out += bytes((n, p[i] << 4 | second))
        else:
            piece = p[i:i + n] + [0]
            data = bytearray(piece[j] << 4 | piece[j + 1] for j in range(0, n, 2))
            if len(data) % 2:
                data.append(0)
            out += bytes((0, n)) + data
        i += n
    return out


def pack_rows_rle4(c):
    """Bottom-up rows, each closed by end of line, the last by end of bitmap."""
    out = bytearray()
    for y in range(c.height - 1, -1, -1):
        out += rle4_row(c.pixels[y])
        out += b"\0\1" if y == 0 else b"\0\0"
    return out


def palette_bytes():
    return b"".join(bytes((b, g, r, 0)) for r, g, b in PALETTE)


def info_header(width, height, image_size, compression=0):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, 4, compression, image_size, 2835, 2835, 16, 16)


def write_bmp(path, c, compression=0):
    pixels = pack_rows_rle4(c) if compression == BI_RLE4 else pack_rows(c)
    offset = 14 + 40 + 64
    with open(path, "wb") as f:
        f.write(b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset))
        f.write(info_header(c.width, c.height, len(pixels), compression))
        f.write(palette_bytes())
        f.write(pixels)


def icon_image(size):
    c = Canvas(size, size, 10)
    mask = Canvas(size, size, 1)  # 1 = transparent
    draw_box(c, size // 2, size // 16, size - size // 8)
    for y in range(size):
        for x in range(size):
            if c.pixels[y][x] != 10:
                mask.pixels[y][x] = 0
            else:
                c.pixels[y][x] = 0
    xor = pack_rows(c)
    stride = ((size + 31) // 32) * 4
    andmask = bytearray()
    for y in range(size - 1, -1, -1):
        row = bytearray(stride)
        for x in range(size):
            if mask.pixels[y][x]:
                row[x // 8] |= 0x80 >> (x % 8)
        andmask += row
    # An icon's header counts the colour and mask halves together.
    return info_header(size, size * 2, len(xor) + len(andmask)) + palette_bytes() + xor + andmask


def write_ico(path):
    images = [(32, icon_image(32)), (16, icon_image(16))]
    offset = 6 + 16 * len(images)
    header = struct.pack("<HHH", 0, 1, len(images))
    entries = b""
    for size, data in images:
        entries += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(header + entries + b"".join(d for _, d in images))


def main(argv):
    if len(argv) not in (3, 4):
        sys.stderr.write(__doc__)
        return 2
    picture = splash()
    write_bmp(argv[1], picture)
    if len(argv) == 4:
        write_bmp(argv[3], picture, BI_RLE4)
    write_ico(argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
