#!/usr/bin/env python3
"""The console flash buffer the updater must write, built independently of the updater:
the console image, the language area for the given languages (0 Castellano, 1 English,
2 Francais, 3 German, in console order), then 0xFF to 512 KiB.

Usage: expected_flash.py DATA_DIR OUT_FILE [LANGUAGE...]   (default 1 0 2 3)
"""
import struct
import sys

FLASH_SIZE = 0x80000
IMAGE_SIZE = 475526
MESSAGES = 168


def build(data_dir, languages):
    image = open(f"{data_dir}/console.bin", "rb").read()[:IMAGE_SIZE]
    table = open(f"{data_dir}/messages.bin", "rb").read()
    area = bytearray([len(languages), 0]) + bytearray(2 * MESSAGES)
    for i in range(MESSAGES):
        struct.pack_into(">H", area, 2 + 2 * i, len(area))
        (start,) = struct.unpack_from("<H", table, 2 + 2 * i)
        strings = table[start:].split(b"\0")[:4]
        for k in languages:
            area += strings[k] + b"\0"
    flash = image + area
    return flash + b"\xff" * (FLASH_SIZE - len(flash))


if __name__ == "__main__":
    if {"-h", "--help"} & set(sys.argv[1:]):
        sys.exit(print(__doc__))
    langs = [int(x) for x in sys.argv[3:]] or [1, 0, 2, 3]
    open(sys.argv[2], "wb").write(build(sys.argv[1], langs))
