#!/usr/bin/env python3
"""Draws the program icon, kqsfupdt.ico: a lighting desk seen from the front, with a
small display, a row of faders and a beam of light above it. 32 x 32, 32-bit colour
with an alpha channel. Deterministic: running it again gives the same file.

    python3 make_icon.py kqsfupdt.ico
"""
import struct
import sys

SIZE = 32
CLEAR = (0, 0, 0, 0)
BODY = (48, 52, 60, 255)
EDGE = (20, 22, 26, 255)
PANEL = (78, 84, 96, 255)
SCREEN = (40, 120, 220, 255)
SLOT = (16, 16, 16, 255)
KNOB = (245, 245, 245, 255)
BEAM = (255, 214, 90, 255)
LAMP = (255, 245, 200, 255)


def draw():
    px = [[CLEAR] * SIZE for _ in range(SIZE)]

    def rect(x0, y0, x1, y1, colour):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                px[y][x] = colour

    # Beam: a cone from a lamp at the top centre, widening downwards.
    for y in range(1, 12):
        half = 1 + y // 2
        for x in range(16 - half, 16 + half):
            px[y][x] = BEAM if y > 1 else LAMP
    rect(14, 0, 17, 1, LAMP)
    # Desk body with a darker outline and a lighter control panel.
    rect(1, 13, 30, 30, EDGE)
    rect(2, 14, 29, 29, BODY)
    rect(3, 15, 28, 19, PANEL)
    rect(4, 16, 13, 18, SCREEN)   # display
    for i, x in enumerate(range(16, 28, 3)):  # four buttons next to the display
        rect(x, 16, x + 1, 17, KNOB if i % 2 == 0 else BEAM)
    # Eight faders, each a slot with a knob at its own height.
    for i in range(8):
        x = 4 + 3 * i
        rect(x, 21, x, 28, SLOT)
        k = 22 + (i * 5) % 6
        rect(x - 1, k, x + 1, k + 1, KNOB)
    return px


def ico(px):
    # BMP inside ICO: BITMAPINFOHEADER with double height (colour + AND mask),
    # rows bottom-up, BGRA, then a 1-bit AND mask padded to 32-bit rows.
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b"".join(bytes((b, g, r, a)) for row in reversed(px) for (r, g, b, a) in row)
    mask = b""
    for row in reversed(px):
        bits = 0
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits |= 1 << (31 - x)
        mask += struct.pack(">I", bits)
    image = header + colour + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    with open(sys.argv[1] if len(sys.argv) > 1 else "kqsfupdt.ico", "wb") as f:
        f.write(ico(draw()))
