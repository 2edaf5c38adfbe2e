#!/usr/bin/env python3
"""Writes the application icon (an XPM of at most 16 colours) as a 16-colour
.ico for the Windows resources, or as a PNG for the desktop's icon theme,
by the output's suffix:

    python3 xpm_icon.py odu_icon.xpm odu_icon.ico
    python3 xpm_icon.py odu_icon.xpm odu-upgrade-gui.png

The output depends on the input alone. In the .ico the palette is the XPM's
colours in the order they are declared, black first when it is missing (the
colour under transparent pixels), padded with black to 16 entries. A colour
named "None" is transparent. Anything else the icon would not survive is an
error."""
import os
import re
import struct
import sys
import zlib


class IconError(Exception):
    pass


def parse_xpm(text):
    strings = re.findall(r'"((?:[^"\\]|\\.)*)"', re.sub(r"/\*.*?\*/", "", text, flags=re.S))
    if not strings:
        raise IconError("no XPM strings found")
    header = strings[0].split()
    if len(header) < 4 or not all(h.isdigit() for h in header[:4]):
        raise IconError("bad XPM header: %r" % strings[0])
    width, height, ncolors, cpp = (int(h) for h in header[:4])
    if cpp != 1:
        raise IconError("only one character per pixel is supported, not %d" % cpp)
    if len(strings) != 1 + ncolors + height:
        raise IconError("expected %d colour and %d pixel lines, found %d lines in all"
                        % (ncolors, height, len(strings) - 1))
    colors = {}
    for line in strings[1:1 + ncolors]:
        if len(line) < 2:
            raise IconError("bad colour line: %r" % line)
        key, spec = line[0], line[1:].split()
        if "c" not in spec or spec.index("c") + 1 >= len(spec):
            raise IconError("colour line without a 'c' colour: %r" % line)
        value = spec[spec.index("c") + 1]
        if value.lower() == "none":
            colors[key] = None
        elif re.fullmatch(r"#[0-9A-Fa-f]{6}", value):
            colors[key] = tuple(int(value[i:i + 2], 16) for i in (1, 3, 5))
        else:
            raise IconError("colour %r: only #RRGGBB and None are supported" % value)
    rows = strings[1 + ncolors:]
    for y, row in enumerate(rows):
        if len(row) != width:
            raise IconError("pixel line %d has %d pixels, not %d" % (y + 1, len(row), width))
        for ch in row:
            if ch not in colors:
                raise IconError("pixel line %d uses the undeclared colour %r" % (y + 1, ch))
    return width, height, colors, rows


def make_ico(width, height, colors, rows):
    if (width, height) != (32, 32):
        raise IconError("the icon must be 32 x 32, not %d x %d" % (width, height))
    palette = [(0, 0, 0)]
    for rgb in colors.values():
        if rgb is not None and rgb not in palette:
            palette.append(rgb)
    if len(palette) > 16:
        raise IconError("%d colours do not fit a 16-colour icon" % len(palette))
    palette += [(0, 0, 0)] * (16 - len(palette))
    index = {key: (0 if rgb is None else palette.index(rgb)) for key, rgb in colors.items()}

    xor, mask = bytearray(), bytearray()
    for row in reversed(rows):  # bottom-up
        for x in range(0, width, 2):
            xor.append(index[row[x]] << 4 | index[row[x + 1]])
        bits = 0
        for x, ch in enumerate(row):
            if colors[ch] is None:
                bits |= 1 << (width - 1 - x)
        mask += struct.pack(">I", bits)
    image = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    image += b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in palette)
    image += bytes(xor) + bytes(mask)
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", width, height, 16, 0, 1, 4, len(image), 6 + 16)
    return header + entry + image


def make_png(width, height, colors, rows):
    """An 8-bit RGBA PNG, transparent where the XPM says None."""
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    raw = bytearray()
    for row in rows:
        raw.append(0)  # no filter
        for ch in row:
            rgb = colors[ch]
            raw += bytes((0, 0, 0, 0)) if rgb is None else bytes(rgb + (255,))
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + chunk(b"IEND", b""))


def main(argv):
    makers = {".ico": make_ico, ".png": make_png}
    if len(argv) != 3 or os.path.splitext(argv[2])[1] not in makers:
        print("usage: xpm_icon.py INPUT.xpm OUTPUT.ico|OUTPUT.png", file=sys.stderr)
        return 2
    try:
        with open(argv[1], encoding="ascii") as f:
            data = makers[os.path.splitext(argv[2])[1]](*parse_xpm(f.read()))
    except (OSError, UnicodeDecodeError, IconError) as e:
        print("%s: %s" % (argv[1], e), file=sys.stderr)
        return 1
    with open(argv[2] + ".tmp", "wb") as f:
        f.write(data)
    os.replace(argv[2] + ".tmp", argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
