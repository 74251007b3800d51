#!/usr/bin/env python3
"""Writes the program's XPM images from the pixel drawings below.

Run from anywhere: python3 resources/images/draw_images.py. The .xpm files are checked in, so
the build does not need Python; edit a drawing here and run this again to change an image.
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

# One palette for every drawing; '.' is transparent.
PALETTE = {
    '.': 'None',
    'k': '#000000',  # outline, text
    'g': '#808080',  # grey metal, frames
    'l': '#C0C0C0',  # light grey
    'w': '#FFFFFF',  # paper
    's': '#1E3A5F',  # screen
    'G': '#2EB82E',  # green prompt, live plug
    'b': '#2060C0',  # blue
    'y': '#E0B040',  # clipboard wood
    'r': '#C03030',  # red
    'e': '#F0E060',  # eye
}

# A plug (green, live) about to meet its socket (grey).
CONNECT = [
    "................",
    "................",
    "................",
    "................",
    "...kkkk...kkkk..",
    "...kGGkkk.kkllk.",
    "...kGGk...kllllk",
    "kkkkGGk...kllllk",
    "GGGkGGk...kllllk",
    "kkkkGGk...kllllk",
    "...kGGk...kllllk",
    "...kGGkkk.kkllk.",
    "...kkkk...kkkk..",
    "................",
    "................",
    "................",
]

# A terminal with a prompt and a cursor.
TERMINAL_PREFERENCES = [
    "................",
    "kkkkkkkkkkkkkkkk",
    "kllllllllllllllk",
    "klsssssssssssslk",
    "klsGsssssssssslk",
    "klssGssssssssslk",
    "klsssGsssssssslk",
    "klssGssssssssslk",
    "klsGssGGGssssslk",
    "klsssssssssssslk",
    "kllllllllllllllk",
    "kkkkkkkkkkkkkkkk",
    "......kllk......",
    "....kkkkkkkk....",
    "....kggggggk....",
    "....kkkkkkkk....",
]

# A large A and a small a.
FONTS = [
    "................",
    "....kkk.........",
    "....kkk.........",
    "...kkkkk........",
    "...kk.kk........",
    "..kkk.kkk.......",
    "..kk...kk.......",
    ".kkkkkkkkk......",
    ".kkkkkkkkk......",
    "kkk.....kkk.....",
    "kk.......kk.bbb.",
    "kk.......kk....b",
    "............bbbb",
    "...........b...b",
    "...........b..bb",
    "............bb.b",
]

# Two sheets, one over the other.
COPY = [
    "kkkkkkkkk.......",
    "kwwwwwwwk.......",
    "kwkkkkkwk.......",
    "kwwwwwwwk.......",
    "kwkkkkkkkkkkkk..",
    "kwwwwwkwwwwwwk..",
    "kwkkkkkwkkkkwk..",
    "kwwwwwkwwwwwwk..",
    "kwkkkkkwkkkkwk..",
    "kwwwwwkwwwwwwk..",
    "kkkkkkkwkkkkwk..",
    "......kwwwwwwk..",
    "......kwkkkkwk..",
    "......kwwwwwwk..",
    "......kkkkkkkk..",
    "................",
]

# A clipboard with a sheet on it.
PASTE = [
    ".....kkkkkk.....",
    "..kkkkllllkkkk..",
    ".kyyykkkkkkyyyk.",
    ".kyyyyyyyyyyyyk.",
    ".kyyyyyyyyyyyyk.",
    ".kyyyyykkkkkkkkk",
    ".kyyyyykwwwwwwwk",
    ".kyyyyykwkkkkkwk",
    ".kyyyyykwwwwwwwk",
    ".kyyyyykwkkkkkwk",
    ".kyyyyykwwwwwwwk",
    ".kyyyyykwkkkkwwk",
    ".kyyyyykwwwwwwwk",
    ".kkkkkkkwwwwwwwk",
    ".......kkkkkkkkk",
    "................",
]

# A crow on a dark screen: the program's icon.
ICON = [
    "kkkkkkkkkkkkkkkk",
    "kssssssssssssssk",
    "kssssssskkkssssk",
    "ksssssskkkkksssk",
    "ksssssskekkkkssk",
    "ksssssggkkkkkssk",
    "ksssssssgkkkkksk",
    "kssssskkkkkkkksk",
    "ksssskkkkkkkkksk",
    "kssskkkkkkkkkssk",
    "ksskkkkkkkkksssk",
    "kskkkkkkkkkssssk",
    "kssssssksksssssk",
    "kssssssksksssssk",
    "kGGGGGGGGGGGGGGk",
    "kkkkkkkkkkkkkkkk",
]


def fit(rows, width=16, height=16):
    """Cuts or pads each row so a slip of the pen cannot make an invalid image."""
    rows = [r[:width].ljust(width, '.') for r in rows[:height]]
    return rows + ['.' * width] * (height - len(rows))


def scale(rows, factor):
    return [''.join(ch * factor for ch in r) for r in rows for _ in range(factor)]


def write_xpm(name, rows):
    width, height = len(rows[0]), len(rows)
    used = sorted({ch for r in rows for ch in r})
    lines = [f'"{width} {height} {len(used)} 1"']
    lines += [f'"{ch} c {PALETTE[ch]}"' for ch in used]
    lines += [f'"{r}"' for r in rows]
    ident = name.replace('.', '_')
    body = ',\n'.join(lines)
    with open(os.path.join(HERE, name + '.xpm'), 'w') as out:
        out.write(f'/* XPM */\nstatic const char *{ident}[] = {{\n{body}\n}};\n')


def write_png(path, rows):
    """An RGBA PNG of the drawing, for the desktop's icon theme (which does not read XPM)."""
    width, height = len(rows[0]), len(rows)

    def rgba(ch):
        colour = PALETTE[ch]
        if colour == 'None':
            return b'\0\0\0\0'
        return bytes.fromhex(colour[1:]) + b'\xff'

    raw = b''.join(b'\0' + b''.join(rgba(ch) for ch in r) for r in rows)

    def chunk(kind, data):
        body = kind + data
        return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body))

    png = (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 6, 0, 0, 0))
           + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as out:
        out.write(png)


# The sizes of the hicolor icon theme the icon is installed in.
ICON_SIZES = (16, 32, 48, 64, 128, 256)


def main():
    images = [fit(x) for x in (CONNECT, TERMINAL_PREFERENCES, FONTS, COPY, PASTE)]
    strip = [''.join(img[y] for img in images) for y in range(16)]
    write_xpm('command_bar', strip)
    icon = fit(ICON)
    write_xpm('corvid1_16', icon)
    write_xpm('corvid1_32', scale(icon, 2))
    for size in ICON_SIZES:
        write_png(os.path.join(HERE, 'icons', f'{size}x{size}', 'corvid1.png'), scale(icon, size // 16))
    # The cursor image is combined by exclusive-or: white everywhere inverts the cell.
    write_xpm('cursor', ['w' * 70] * 60)


if __name__ == '__main__':
    main()
