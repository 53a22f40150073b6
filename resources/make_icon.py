#!/usr/bin/env python3
"""Makes tarvel.ico, icon group 101: a waste bin being swept clean.

The pictures below are the source: one character a pixel, '.' transparent.
Run `python3 make_icon.py` to write tarvel.ico beside this file, and
`python3 make_icon.py --preview FILE.png` to also write both images side by
side, enlarged, as a PNG to look at.

The 32x32 image has 8 bits per pixel and a 256-colour palette; the 16x16
image 4 bits per pixel and a 16-colour palette; each has a 1-bit
transparency mask.
"""
import struct
import sys
import zlib
from pathlib import Path

# Colours (red, green, blue) by character, in palette order.
COLOURS = {
    'k': (0, 0, 0),          # outline
    'd': (64, 72, 96),       # dark steel
    'g': (128, 140, 170),    # steel
    'w': (220, 228, 240),    # highlight
    'b': (40, 110, 200),     # blue band
    'y': (255, 210, 0),      # sparkle
    'o': (200, 120, 40),     # broom handle
    's': (240, 190, 90),     # bristles
}

SMALL = """
.........y......
....kkkk.y..y...
...kwwwwk.yyy...
.kkkkkkkkkky....
kwgggggggggwk.y.
.kkkkkkkkkkk....
.kwgdgdgdgwk....
.kwgdgdgdgwk....
.kbbbbbbbbbk....
.kwgdgdgdgwk....
.kwgdgdgdgwk...o
..kwgdgdgwk...o.
..kwgdgdgwk..o..
..kwgdgdgwk.sss.
...kkkkkkk.sssss
...........sssss
"""

LARGE = """
...................y............
...................y............
........kkkkkkk...yyy....y......
.......kwwwwwwwk.yyyyy...y......
.......kwkkkkkwk..yyy...yyy.....
.......kwk...kwk...y.....y......
..kkkkkkkkkkkkkkkkkkk....y......
.kwwwwwwwwwwwwwwwwwwwk..........
kwgggggggggggggggggggwk.........
kggggggggggggggggggggdk.........
.kkkkkkkkkkkkkkkkkkkkk..........
..kwggdggdggdggdggdk............
..kwggdggdggdggdggdk............
..kwggdggdggdggdggdk............
..kwggdggdggdggdggdk............
..kbbbbbbbbbbbbbbbbk............
..kbbbbbbbbbbbbbbbbk............
..kwggdggdggdggdggdk............
..kwggdggdggdggdggdk............
...kwgdggdggdggdgdk.......oo....
...kwgdggdggdggdgdk......oo.....
...kwgdggdggdggdgdk.....oo......
...kwgdggdggdggdgdk....oo.......
...kwgdggdggdggdgdk...oo........
....kwdggdggdggdgk...oo.........
....kwdggdggdggdgk..ssss........
....kwdggdggdggdgk.ssssss.......
....kwdggdggdggdgk.sssssss......
.....kkkkkkkkkkkk.ssssssss......
.................sssssssss......
.................ssssssss.......
................................
"""


def rows(picture, size):
    lines = [line for line in picture.strip('\n').split('\n')]
    assert len(lines) == size, (size, len(lines))
    for line in lines:
        assert len(line) == size, (size, line)
    return lines


def image(picture, size, bits):
    palette_size = 1 << bits
    palette = list(COLOURS.values()) + [(0, 0, 0)] * (palette_size - len(COLOURS))
    index = {c: i for i, c in enumerate(COLOURS)}
    lines = rows(picture, size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bits, 0, 0, 0, 0,
                         palette_size, 0)
    colours = b''.join(struct.pack('BBBB', b, g, r, 0) for r, g, b in palette)
    xor = b''
    mask = b''
    for line in reversed(lines):  # bottom-up
        values = [index.get(c, 0) for c in line]
        if bits == 8:
            row = bytes(values)
        else:
            row = bytes((values[i] << 4) | values[i + 1] for i in range(0, size, 2))
        xor += row + b'\0' * (-len(row) % 4)
        bits_row = 0
        for c in line:
            bits_row = (bits_row << 1) | (1 if c == '.' else 0)
        row = bits_row.to_bytes(size // 8, 'big')
        mask += row + b'\0' * (-len(row) % 4)
    return header + colours + xor + mask


def ico():
    images = [(32, 8, image(LARGE, 32, 8)), (16, 4, image(SMALL, 16, 4))]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, bits, data in images:
        colour_count = 0 if bits == 8 else 1 << bits
        out += struct.pack('<BBBBHHII', size, size, colour_count, 0, 1, bits, len(data), offset)
        offset += len(data)
    return out + b''.join(data for _, _, data in images)


def preview(path, scale=8):
    """Both images side by side on a light background, enlarged."""
    pictures = [rows(LARGE, 32), rows(SMALL, 16)]
    width = (32 + 16 + 3) * scale
    height = 34 * scale
    pixels = [[(250, 250, 250)] * width for _ in range(height)]
    x0 = scale
    for picture in pictures:
        size = len(picture)
        factor = scale if size == 32 else scale
        for y, line in enumerate(picture):
            for x, c in enumerate(line):
                if c == '.':
                    continue
                for dy in range(factor):
                    for dx in range(factor):
                        pixels[scale + y * factor + dy][x0 + x * factor + dx] = COLOURS[c]
        x0 += (size + 1) * scale
    raw = b''.join(b'\0' + b''.join(bytes(p) for p in row) for row in pixels)

    def chunk(kind, data):
        return (struct.pack('>I', len(data)) + kind + data +
                struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF))

    png = (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0)) +
           chunk(b'IDAT', zlib.compress(raw)) + chunk(b'IEND', b''))
    Path(path).write_bytes(png)


if __name__ == '__main__':
    here = Path(__file__).resolve().parent
    (here / 'tarvel.ico').write_bytes(ico())
    if len(sys.argv) == 3 and sys.argv[1] == '--preview':
        preview(sys.argv[2])
