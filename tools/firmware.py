"""Stand-in firmware images for the console, the Vinculum, the peripherals and the
Tempa BOX.

Every image is built from the same few ingredients, all driven by one fixed-seed
linear congruential generator so that a rebuild gives the same bytes:

* code: functions made of pseudo-instructions (a 16-bit, big-endian instruction set
  with prologues, loads, compares, branches, calls to earlier functions and returns);
* tables: dimmer curves, a sine table, a CRC-16 table, jump tables of addresses;
* strings: zero-terminated ASCII texts of the kind a lighting product keeps.

Gaps between sections are padded with short runs of 0xFF (at most 8 bytes), so no
128-byte unit of generated content is ever blank. Erased areas appear only where the
layout has them: the peripherals' 0x180-0xFFF and 0x1000-0x1FFF blocks and the unused
top 4 KiB of the Vinculum's program flash.
"""

import math
import struct


class Lcg:
    """32-bit linear congruential generator (multiplier 1664525, increment
    1013904223); values are taken from the high bits."""

    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFF

    def next(self):
        self.state = (self.state * 1664525 + 1013904223) & 0xFFFFFFFF
        return self.state >> 8

    def below(self, n):
        return self.next() % n

    def pick(self, seq):
        return seq[self.below(len(seq))]


class Builder:
    """A growing image with a base address for the addresses it computes."""

    def __init__(self, lcg, base=0):
        self.lcg = lcg
        self.base = base
        self.data = bytearray()
        self.functions = []   # addresses of emitted functions, targets for calls

    def here(self):
        return self.base + len(self.data)

    def emit(self, raw):
        self.data += raw

    def pad_to(self, align, fill=0xFF):
        while len(self.data) % align:
            self.data.append(fill)

    # --- code -------------------------------------------------------------------

    def instruction(self):
        r = self.lcg
        n = r.below(100)
        reg = r.below(7)
        reg2 = r.below(7)
        if n < 14:    # mov.w #imm16, rN
            return bytes([0x79, reg]) + struct.pack(">H", r.pick([0, 1, 2, 4, 8, 0x10, 0x20, 0x80, 0x100, 0x200, 512 + r.below(512), r.below(0x10000)]))
        if n < 22:    # mov.l #imm32, erN (often an address in RAM or I/O space)
            return bytes([0x7A, reg]) + struct.pack(">I", r.pick([0x00FFE000, 0x00FFFF00, 0x00200000, 0x00400000]) + r.below(0x400) * 2)
        if n < 34:    # mov.w @(d16, erM), rN
            return bytes([0x6F, (reg2 << 4) | reg]) + struct.pack(">H", r.below(0x80) * 2)
        if n < 44:    # mov.w rN, @(d16, erM)
            return bytes([0x6F, 0x80 | (reg2 << 4) | reg]) + struct.pack(">H", r.below(0x80) * 2)
        if n < 52:    # mov.b @erM, rNl
            return bytes([0x68, (reg2 << 4) | 8 | reg])
        if n < 60:    # add.w / sub.w / and.w / or.w rM, rN
            return bytes([r.pick([0x09, 0x19, 0x66, 0x64]), (reg2 << 4) | reg])
        if n < 68:    # cmp.w #imm16, rN
            return bytes([0x79, 0x20 | reg]) + struct.pack(">H", r.pick([0, 1, 10, 100, 255, 512, 1000, r.below(0x1000)]))
        if n < 78:    # bcc d8
            return bytes([0x40 | r.pick([0, 2, 3, 4, 6, 7, 0xC, 0xE]), (r.below(60) * 2 - 40) & 0xFF])
        if n < 88 and self.functions:   # jsr @abs24
            return bytes([0x5E]) + struct.pack(">I", r.pick(self.functions))[1:]
        if n < 93:    # shll / shlr / extu
            return bytes([0x10 + r.below(4), r.pick([0x10, 0x11, 0x30, 0x50]) | reg])
        if n < 97:    # inc / dec
            return bytes([r.pick([0x0B, 0x1B]), r.pick([0x50, 0xD0, 0x70, 0xF0]) | reg])
        return bytes([0x00, 0x00])   # nop

    def function(self, min_len=6, max_len=60):
        r = self.lcg
        self.pad_to(2, 0x00)
        self.functions.append(self.here())
        saved = 1 + r.below(3)
        for i in range(saved):       # push
            self.emit(bytes([0x6D, 0xF4 + i]))
        for _ in range(min_len + r.below(max_len - min_len)):
            self.emit(self.instruction())
        for i in reversed(range(saved)):
            self.emit(bytes([0x6D, 0x74 + i]))
        self.emit(b"\x54\x70")      # rts

    def code(self, size):
        end = len(self.data) + size
        while len(self.data) < end:
            self.function()

    def small_gap(self):
        """Alignment padding as a linker leaves it: a few 0xFF bytes."""
        self.emit(b"\xFF" * self.lcg.below(8))
        self.pad_to(2)

    # --- tables -----------------------------------------------------------------

    def dimmer_curves(self):
        """256-entry dimmer laws: linear, square, inverse square, S-curve, switch."""
        curves = [
            lambda x: x,
            lambda x: x * x,
            lambda x: 1 - (1 - x) * (1 - x),
            lambda x: 0.5 - 0.5 * math.cos(math.pi * x),
            lambda x: 1.0 if x >= 0.5 else 0.0,
        ]
        for f in curves:
            self.emit(bytes(min(254, int(round(f(i / 255.0) * 254))) for i in range(256)))

    def sine_table(self, n=256):
        for i in range(n):
            v = int(round(32767 * math.sin(2 * math.pi * i / n)))
            self.emit(struct.pack(">h", v))

    def crc16_table(self):
        for i in range(256):
            c = i << 8
            for _ in range(8):
                c = ((c << 1) ^ 0x1021) if c & 0x8000 else (c << 1)
            self.emit(struct.pack(">H", c & 0xFFFF))

    def jump_table(self, n):
        for _ in range(n):
            target = self.lcg.pick(self.functions) if self.functions else self.base
            self.emit(struct.pack(">I", target))

    def strings(self, texts):
        for t in texts:
            self.emit(t.encode("ascii") + b"\x00")
        self.pad_to(2, 0x00)


CONSOLE_STRINGS = [
    "CORVINA", "CUE", "CUES", "CHASE", "STEP", "SCENE", "MEMORY", "PATCH", "FADER",
    "MASTER", "GRAND MASTER", "SUBMASTER", "CHANNEL", "DIMMER", "GROUP", "PRESET",
    "PLAYBACK", "CROSSFADE", "FADE IN", "FADE OUT", "DELAY", "WAIT", "LINK", "LOOP",
    "BLACKOUT", "FLASH", "SOLO", "RECORD", "UPDATE", "DELETE", "COPY", "INSERT",
    "LEVEL", "PROFILE", "LINEAR", "SQUARE", "INV SQUARE", "S-CURVE", "SWITCH",
    "DMX OUT", "DMX IN", "UNIVERSE", "KQ-LINK", "REMOTE", "RECEIVER", "TEMPA BOX",
    "USB", "VINCULUM", "DISK", "FILE", "SHOW", "LOAD", "SAVE", "CLEAR", "SETUP",
    "CLOCK", "DATE", "TIME", "MIDI", "MACRO", "EFFECT", "RATE", "SPEED", "DIRECTION",
    "RANDOM", "BOUNCE", "AUDIO", "TAP", "BPM", "PAN", "TILT", "COLOUR", "GOBO",
    "FOCUS", "IRIS", "ZOOM", "FIXTURE", "LIBRARY", "HOME", "HIGHLIGHT", "PARK",
    "RELEASE", "TRACKING", "BLOCK", "ASSERT", "GO", "BACK", "PAUSE", "HOLD", "SNAP",
    "%3u%%", "%02u:%02u:%02u", "%4u.%u s", "CH %3u", "DMX %3u", "@ %3u%%", "FULL",
    "ERR %02X", "CHK %04X", "RAM TEST", "FLASH TEST", "WATCHDOG", "STACK",
]


def console_image(size=475526):
    """The console's flash image: vectors, code, tables and texts."""
    b = Builder(Lcg(0x0C0A51E), 0)
    # exception vectors: reset at 0x400, the rest to handlers placed later
    b.emit(struct.pack(">I", 0x00000400))
    for i in range(1, 64):
        b.emit(struct.pack(">I", 0x00000400 + 0x40 + (i % 16) * 0x10))
    b.strings(["CORVINA", "Lighting Console", "FIRMWARE V5.21", "(C) KQ 1998-2009"])
    while len(b.data) < 0x400:
        b.emit(b"\x00\x00")
    b.code(0x4000)
    sections = 0
    while len(b.data) < size - 0x6000:
        b.code(0x3000 + b.lcg.below(0x6000))
        b.small_gap()
        kind = sections % 5
        if kind == 0:
            b.dimmer_curves()
        elif kind == 1:
            b.strings(b.lcg.pick([CONSOLE_STRINGS[i:] + CONSOLE_STRINGS[:i] for i in (0, 17, 33, 61)]))
        elif kind == 2:
            b.jump_table(32 + b.lcg.below(64))
        elif kind == 3:
            b.sine_table()
        else:
            b.crc16_table()
        b.small_gap()
        sections += 1
    b.strings(CONSOLE_STRINGS)
    b.code(size - len(b.data))
    return bytes(b.data[:size])


def checksum16(data):
    return struct.pack(">H", sum(data) & 0xFFFF)


VINCULUM_STRINGS = [
    "Device Detected P2", "No Upgrade", "No Disk", "Bad Command", "Command Failed",
    "Disk Full", "Invalid", "Read Only", "File Open", "Dir Not Empty", "Filename Invalid",
    "Ver ", "On-Line:", "D:\\>", "FTRFB.FTD", "Firmware Upgrade", "BOMS", "HID", "CDC",
    "MSI", "Printer", "Hub", "FT232", "DIR", "RD", "WRF", "OPW", "CLF", "SCS", "ECS",
]


def vinculum_image(size=65536):
    """Vinculum firmware: version text at 0x20, signature at 0x30."""
    b = Builder(Lcg(0x0368), 0)
    b.emit(bytes([0x02, 0x00, 0x80]))          # jump to the start-up code
    while len(b.data) < 0x20:
        b.emit(b"\x00")
    b.emit(b"03.68VDAPF")
    while len(b.data) < 0x30:
        b.emit(b"\x00")
    b.emit(b"FTDIFT8H64Code")
    while len(b.data) < 0x80:
        b.emit(b"\x00")
    b.code(0x6000)
    b.strings(VINCULUM_STRINGS)
    b.crc16_table()
    b.code(0x7000)
    b.jump_table(64)
    b.strings(VINCULUM_STRINGS[::-1])
    b.code(size - 0x1000 - len(b.data))
    b.data = b.data[:size - 0x1000]
    b.emit(b"\xFF" * (size - len(b.data)))    # unused top of the program flash
    return bytes(b.data)


FTD_MARKER = bytes([0xAA, 0x55, 0xFF, 0x00, 0x11, 0x33, 0x77, 0xFF,
                    0xFF, 0x77, 0x33, 0x11, 0x00, 0xFF, 0x55, 0xAA])


def vinculum_file(image):
    """The update file the Vinculum loads from a stick: 512-byte header + image."""
    header = bytearray(512)
    pos = 0
    for part in (b"FTDIFT8H64Code\x00", FTD_MARKER, b"\x01", b"03.68VDAPF"):
        header[pos:pos + len(part)] = part
        pos += len(part)
    header[52] = 0x78
    return bytes(header) + image


def peripheral_image(size, seed, block_head, name):
    """Remote or Receiver flash from address 0: vectors in 0x000-0x17F, erased
    0x180-0xFFF, a parameter block at 0x1000 (only its first bytes written), code
    from 0x2000."""
    code = Builder(Lcg(seed), 0x2000)
    start = code.here()                 # the reset entry opens the code area
    code.code(size - 0x2000 - 0x400)
    code.strings([name, "KQ-LINK", "ERR", "OK"])
    code.jump_table(16)
    code.code(size - 0x2000 - len(code.data))
    body = code.data[:size - 0x2000]
    image = bytearray(b"\xFF" * 0x2000)
    vectors = [start] + [code.lcg.pick(code.functions[:40]) for _ in range(95)]
    image[0:0x180] = b"".join(struct.pack(">I", v) for v in vectors)
    image[0x1000:0x1000 + len(block_head)] = block_head
    return bytes(image + body)


def remote_image():
    return peripheral_image(30352, 0x4E307E, bytes([0x01, 0x00, 0x0E, 0x03, 0x21, 0x5A]), "REMOTE")


def receiver_image():
    return peripheral_image(16466, 0x4EC3, bytes([0x02]), "RECEIVER")


class Builder8(Builder):
    """An 8-bit microcontroller's code: one-byte opcodes with 0-2 operand bytes."""

    def instruction(self):
        r = self.lcg
        n = r.below(100)
        if n < 20:
            return bytes([0x74, r.below(256)])                  # mov a, #imm
        if n < 35:
            return bytes([0xE5, 0x20 + r.below(0x60)])          # mov a, direct
        if n < 48:
            return bytes([0xF5, 0x20 + r.below(0x60)])          # mov direct, a
        if n < 58:
            return bytes([r.pick([0x60, 0x70, 0x40, 0x50, 0x80]), (r.below(40) - 20) & 0xFF])
        if n < 68 and self.functions:
            return bytes([0x12]) + struct.pack(">H", r.pick(self.functions) & 0xFFFF)
        if n < 78:
            return bytes([r.pick([0x24, 0x94, 0x54, 0x44, 0x64]), r.below(256)])
        if n < 88:
            return bytes([r.pick([0xE8, 0xE9, 0xF8, 0xF9, 0x08, 0x09, 0x18, 0x19, 0xC3, 0xD3])])
        return bytes([0x90]) + struct.pack(">H", 0x0100 + r.below(0x0E00))  # mov dptr

    def function(self, min_len=4, max_len=30):
        self.functions.append(self.here())
        for _ in range(self.lcg.below(3)):
            self.emit(bytes([0xC0, 0xE0 + self.lcg.below(2) * 0x10]))   # push
        for _ in range(min_len + self.lcg.below(max_len - min_len)):
            self.emit(self.instruction())
        self.emit(b"\x22")                                     # ret


def tempa_boot():
    """The loader the Tempa BOX runs from RAM while its flash is written."""
    b = Builder8(Lcg(0x922), 0x0100)
    b.emit(bytes([0x02, 0x01, 0x10]))   # jump past the identification
    b.strings(["TEMPA LDR 1.2"])
    while len(b.data) < 0x10:
        b.emit(b"\x00")
    b.code(922 - len(b.data))
    return bytes(b.data[:922])


def tempa_image():
    """Tempa BOX flash from address 0: reset and interrupt vectors, code, texts."""
    b = Builder8(Lcg(0x2604), 0)
    b.emit(bytes([0x02, 0x00, 0x40]))
    for i in range(7):                  # interrupt vectors at 0x03 + 8 n
        b.emit(bytes([0x02, 0x03, 0x00 + 0x10 * i]) + bytes([0x32]) + b"\x00" * 4)
    while len(b.data) < 0x40:
        b.emit(b"\x00")
    b.code(1900)
    b.strings(["TEMPA BOX", "V2.03", "KQ-LINK"])
    b.emit(bytes(min(254, (i * i) // 255) for i in range(256))[::4])
    b.code(2604 - len(b.data))
    return bytes(b.data[:2604])


if __name__ == "__main__":  # a module of generate_data.py, which runs it
    print(__doc__ + "\nUsed by tools/generate_data.py: python3 tools/generate_data.py [--out DIR]")
