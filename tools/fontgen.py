"""The screen font "kqmon3": an 8 x 11 fixed-pitch raster font written as a Windows
font file of version 2.00.

Glyphs come from kqmon_glyphs.txt (text art, see the head of that file). The codes
0xB0-0xE1 hold the console's own display symbols and are composed here from pieces
drawn in the same file: digits with a decimal point, bar-graph steps and small digits.

File layout (3996 bytes, all little-endian):

    0      118   header (the 2.00 fields, ending in one reserved byte)
    118   1028   character table: 257 entries of width (16 bits) and offset (16 bits);
                 entry 256 is the absolute-space character that closes the table
    1146  2827   glyph bitmaps, 11 bytes each (one byte per row, bit 7 = left pixel)
    3973     7   face name "kqmon3" and its terminating zero
    3980    16   zero padding to the file size of 3996
"""

import struct

WIDTH = 8
HEIGHT = 11
FIRST, LAST = 0, 255
FACE = b"kqmon3"
FILE_SIZE = 3996
HEADER_SIZE = 118


def parse_glyph_file(path):
    """Returns (glyphs, pieces): glyphs maps a code to 11 row bytes; pieces maps a
    piece name to its rows as strings (for composition)."""
    glyphs, pieces = {}, {}
    name, rows = None, []

    def close():
        if name is None:
            return
        if isinstance(name, int):
            if len(rows) != HEIGHT:
                raise ValueError("glyph 0x%02X has %d rows" % (name, len(rows)))
            glyphs[name] = [row_byte(r) for r in rows]
        else:
            pieces[name] = list(rows)

    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line or line.startswith(";"):
                continue
            if line.startswith("glyph ") or line.startswith("piece "):
                close()
                word = line.split()[1]
                name = int(word, 16) if line.startswith("glyph ") else word
                rows = []
            elif line.startswith("compose "):
                close()
                name = None
                code, *parts = line.split()[1:]
                composed = [0] * HEIGHT
                for p in parts:
                    src = glyphs.get(int(p, 16)) if p.startswith("0x") else [row_byte(r) for r in pad_piece(pieces[p])]
                    composed = [a | b for a, b in zip(composed, src)]
                glyphs[int(code, 16)] = composed
            else:
                rows.append(line.split()[0])
    close()
    return glyphs, pieces


def row_byte(text):
    if len(text) != WIDTH or set(text) - set(".#"):
        raise ValueError("bad glyph row %r" % text)
    v = 0
    for ch in text:
        v = (v << 1) | (ch == "#")
    return v


def pad_piece(rows):
    """An accent or mark piece is given from the top; rows below are empty."""
    return rows + ["." * WIDTH] * (HEIGHT - len(rows))


def small_digit_rows(pieces, d, shift):
    """A 3 x 5 digit placed in the lower part of a cell, shifted right by shift."""
    out = []
    for r in pieces["small%d" % d]:
        v = 0
        for ch in r:
            v = (v << 1) | (ch == "#")
        out.append(v << (WIDTH - 3 - shift))
    return out


def console_symbols(glyphs, pieces):
    """0xB0-0xB9 digits with a decimal point, 0xBA-0xC4 bar-graph steps of 1 to 11
    rows, 0xC5-0xCE small digits, 0xCF-0xE1 small numbers 10 to 28."""
    code = 0xB0
    for d in range(10):
        g = list(glyphs[0x30 + d])
        g[7] |= 0x01                      # decimal point on the base line, right column
        glyphs[code] = g
        code += 1
    for n in range(1, 12):
        glyphs[code] = [0x00] * (HEIGHT - n) + [0x7E] * n
        code += 1
    blank_top = [0] * (HEIGHT - 6)
    for d in range(10):
        glyphs[code] = blank_top + small_digit_rows(pieces, d, 2) + [0]
        code += 1
    for n in range(10, 29):
        tens = small_digit_rows(pieces, n // 10, 0)
        ones = small_digit_rows(pieces, n % 10, 4)
        glyphs[code] = blank_top + [a | b for a, b in zip(tens, ones)] + [0]
        code += 1
    assert code == 0xE2


def build_font(glyph_path):
    glyphs, pieces = parse_glyph_file(glyph_path)
    console_symbols(glyphs, pieces)
    glyphs[0xFF] = [0xFF] * HEIGHT
    count = LAST - FIRST + 1
    table_size = (count + 1) * 4
    bits_offset = HEADER_SIZE + table_size
    bits = bytearray()
    table = bytearray()
    for c in range(count + 1):            # the last entry: absolute space
        table += struct.pack("<HH", WIDTH, bits_offset + len(bits))
        bits += bytes(glyphs.get(FIRST + c, [0] * HEIGHT)) if c < count else bytes(HEIGHT)
    face_offset = bits_offset + len(bits)
    header = struct.pack(
        "<HI60sHHHHHHHBBBHBHHBHHBBBBHIIIIB",
        0x0200, FILE_SIZE, b"",
        0,                  # type: raster, bits in the file
        8, 100, 100,        # points, vertical and horizontal resolution
        0, 0, 0,            # ascent, internal and external leading
        0, 0, 0,            # italic, underline, strike-out
        400, 0,             # weight, character set
        WIDTH, HEIGHT,      # pixel width (fixed pitch), pixel height
        0x30,               # pitch and family: low bit 0 = fixed pitch, family modern
        WIDTH, WIDTH,       # average and maximum width
        FIRST, LAST,
        0, 0,               # default and break character, relative to the first
        2,                  # width in bytes of one bitmap row, rounded up to even
        0,                  # no device name
        face_offset,
        0,                  # bits pointer: filled in when loaded
        bits_offset,
        0,                  # reserved
    )
    assert len(header) == HEADER_SIZE
    data = header + table + bits + FACE + b"\x00"
    assert len(data) <= FILE_SIZE
    return data + bytes(FILE_SIZE - len(data))


if __name__ == "__main__":  # a module of generate_data.py, which runs it
    print(__doc__ + "\nUsed by tools/generate_data.py: python3 tools/generate_data.py [--out DIR]")
