#!/usr/bin/python3
"""Loads data/kqmon.fnt with FreeType's Windows FNT driver (Debian's python3-freetype)
and checks that it reads the font the way the program's window will: face name, one
fixed 8 x 11 strike, and glyph bitmaps equal to the text art in tools/kqmon_glyphs.txt.

    /usr/bin/python3 tests/e2e/test_font_freetype.py [path/to/kqmon.fnt]

Prints one line per failure and "N passed, M failed"; exits 1 on any failure.
"""

import os
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), os.pardir, os.pardir))
sys.path.insert(0, os.path.join(ROOT, "tools"))

import fontgen  # noqa: E402

try:
    import freetype
except ImportError:
    print("python3-freetype is not installed (apt-get install python3-freetype)")
    print("0 passed, 1 failed")
    sys.exit(1)

passed, failed = 0, 0


def check(ok, what):
    global passed, failed
    if ok:
        passed += 1
    else:
        failed += 1
        print("FAIL:", what)


def rendered(face, code):
    """The glyph of a character code as 11 row bytes, bit 7 the left pixel."""
    face.load_char(code, freetype.FT_LOAD_RENDER | freetype.FT_LOAD_MONOCHROME)
    bitmap = face.glyph.bitmap
    buf = bitmap.buffer
    return (bitmap.width, bitmap.rows,
            [buf[r * bitmap.pitch] for r in range(bitmap.rows)], face.glyph.advance.x >> 6)


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "data", "kqmon.fnt")
    face = freetype.Face(path)
    check(face.family_name == b"kqmon3", "face name %r" % face.family_name)
    check(face.is_fixed_width, "fixed pitch")
    check(face.num_fixed_sizes == 1, "one strike, got %d" % face.num_fixed_sizes)
    size = face.available_sizes[0]
    check((size.width, size.height) == (8, 11), "cell %dx%d" % (size.width, size.height))
    check(face.num_glyphs == 257, "257 glyphs (256 and the absolute space), got %d" % face.num_glyphs)

    # The driver's one character map maps code c to glyph c + 1.
    face.set_charmap(face.charmaps[0])
    check(face.get_char_index(0x41) == 0x42, "charmap: 'A' at glyph 0x42")

    width, rows, bits, advance = rendered(face, 0xFF)
    check((width, rows, advance) == (8, 11, 8), "0xFF is %dx%d advance %d" % (width, rows, advance))
    check(bits == [0xFF] * 11, "0xFF is a full block")
    check(rendered(face, 0x20)[2] == [0] * 11, "space is empty")
    check(any(rendered(face, 0x41)[2]), "'A' has ink")

    # Every glyph drawn in the source reaches the screen as drawn.
    glyphs, pieces = fontgen.parse_glyph_file(os.path.join(ROOT, "tools", "kqmon_glyphs.txt"))
    fontgen.console_symbols(glyphs, pieces)
    glyphs[0xFF] = [0xFF] * 11
    wrong = [c for c in sorted(glyphs) if rendered(face, c)[2] != glyphs[c]]
    check(not wrong, "glyphs differ from the source: %s" % ", ".join("%02X" % c for c in wrong))
    check(all(rendered(face, c)[3] == 8 for c in range(256)), "every advance is 8")

    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    if {"-h", "--help"} & set(sys.argv[1:]):
        sys.exit(print(__doc__))
    sys.exit(main())
