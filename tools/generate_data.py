#!/usr/bin/env python3
"""Rebuilds every file in data/ from the sources in tools/.

    python3 tools/generate_data.py [--out DIR]

The output is deterministic: running it again gives the same bytes, and the files in
data/ are checked in as it wrote them. Standard library only.

What is made, and from what:

    console.bin     firmware.console_image() and its 16-bit sum, high byte first
    messages.bin    msgtable.build_table() from messages.txt
    kqmon.fnt       fontgen.build_font() from kqmon_glyphs.txt
    vinculum.bin    firmware.vinculum_image()
    FTRFB.FTD       firmware.vinculum_file() around vinculum.bin
    remote.bin      firmware.remote_image()
    receiver.bin    firmware.receiver_image()
    tempa_boot.bin  firmware.tempa_boot()
    tempa.bin       firmware.tempa_image()
    MANIFEST        one line per file: name, size in bytes, purpose

These are stand-ins with the sizes, checksums and layouts the updater relies on. A
vendor's real image replaces its file in data/ (and its line in MANIFEST).
"""

import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import firmware  # noqa: E402
import fontgen   # noqa: E402
import msgtable  # noqa: E402


def build():
    """Returns a list of (name, bytes, purpose) in MANIFEST order."""
    console = firmware.console_image()
    vinculum = firmware.vinculum_image()
    return [
        ("console.bin", console + firmware.checksum16(console),
         "console firmware image (475526 bytes) followed by its 16-bit sum, high byte first"),
        ("messages.bin", msgtable.build_table(os.path.join(HERE, "messages.txt")),
         "console message table: 168 messages in Castellano, English, Francais, German"),
        ("kqmon.fnt", fontgen.build_font(os.path.join(HERE, "kqmon_glyphs.txt")),
         "screen font kqmon3, 8x11 fixed pitch, Windows raster font version 2.00"),
        ("vinculum.bin", vinculum,
         "Vinculum USB host controller firmware 03.68"),
        ("FTRFB.FTD", firmware.vinculum_file(vinculum),
         "Vinculum update file for a USB stick: 512-byte header and vinculum.bin"),
        ("remote.bin", firmware.remote_image(),
         "Remote flash from address 0"),
        ("receiver.bin", firmware.receiver_image(),
         "Receiver flash from address 0"),
        ("tempa_boot.bin", firmware.tempa_boot(),
         "Tempa BOX boot record (loader downloaded at 9600 bit/s)"),
        ("tempa.bin", firmware.tempa_image(),
         "Tempa BOX flash from address 0"),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--out", default=os.path.join(HERE, os.pardir, "data"),
                        help="output directory (default: data/ of the source tree)")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    files = build()
    lines = ["# name size purpose"]
    for name, data, purpose in files:
        with open(os.path.join(args.out, name), "wb") as f:
            f.write(data)
        lines.append("%s %d %s" % (name, len(data), purpose))
    with open(os.path.join(args.out, "MANIFEST"), "w", newline="\n") as f:
        f.write("\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
