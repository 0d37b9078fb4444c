#!/usr/bin/env python3
"""The flash a peripheral must hold after its update, built independently of the updater:
the image from address 0, 0xFF (erased) to the end of the unit's flash. With BEFORE, the
flash the unit had before the update as kqsim saved it, the block 0x1000-0x1FFF is taken
from there instead: a Remote or Receiver updated through its running firmware keeps its
calibration block, which the update neither erases nor writes.

Usage: peripheral_flash.py IMAGE FLASH_SIZE OUT [BEFORE]
"""
import sys

BLOCK1 = slice(0x1000, 0x2000)


def build(image, size, before=None):
    if len(image) > size:
        raise ValueError(f"image of {len(image)} bytes does not fit {size} bytes of flash")
    flash = bytearray(image + b"\xff" * (size - len(image)))
    if before is not None:
        if len(before) != size:
            raise ValueError(f"saved flash has {len(before)} bytes, expected {size}")
        flash[BLOCK1] = before[BLOCK1]
    return bytes(flash)


def main(argv):
    if len(argv) not in (4, 5):
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    image = open(argv[1], "rb").read()
    before = open(argv[4], "rb").read() if len(argv) == 5 else None
    try:
        flash = build(image, int(argv[2], 0), before)
    except ValueError as e:
        print(f"peripheral_flash.py: {e}", file=sys.stderr)
        return 1
    open(argv[3], "wb").write(flash)
    return 0


if __name__ == "__main__":
    if {"-h", "--help"} & set(sys.argv[1:]):
        sys.exit(print(__doc__))
    sys.exit(main(sys.argv))
