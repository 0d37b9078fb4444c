"""The console's message table: 168 messages, each in Castellano, English, Français
and German, built from the UTF-8 source messages.txt.

Table layout (all offsets from the table start):

    0     1          number of languages (4)
    1     1          0
    2     168 x 2    offset of the first string of message i, low byte first
    338   rest       per message, its four zero-terminated strings in language order

Text is stored in code page 437. The source file's own head describes its syntax,
including the fill line that pads one message per language with blanks so that each
language reaches its fixed total; the padded message may not grow past the 40
columns of the console's display line, which keeps the padding to what the console
itself would show.
"""

import re
import struct

LANGS = ("es", "en", "fr", "de")
COUNT = 168


def unescape(text):
    def repl(m):
        s = m.group(1)
        if s == "n":
            return "\n"
        if s == "\\":
            return "\\"
        return chr(int(s[1:], 16))
    return re.sub(r"\\(n|\\|x[0-9A-Fa-f]{2})", repl, text)


DISPLAY_COLUMNS = 40


def encode(text):
    """Code page 437 bytes of a source text. The codes 0xB0-0xE1 hold the console
    display's own symbols rather than the code page's box drawing (and 0xE1 is no
    sharp s there), and 0xFF is erased flash: letters that would land there are
    refused."""
    data = text.encode("cp437")
    for ch in text:
        code = ch.encode("cp437")[0]
        if 0xB0 <= code <= 0xE1 or code == 0xFF:
            raise ValueError("%r has no place in the console's character set" % ch)
    return data


def parse(path):
    """Returns (messages, totals, fill): messages[i][lang] as bytes without the
    terminator, totals[lang] the required byte count with terminators, fill the
    message padded with blanks."""
    messages, totals, fill, current = {}, {}, None, None
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith(";"):
                continue
            m = re.match(r"^\[(\d+)\]\s*$", line)
            if m:
                current = int(m.group(1))
                if current in messages:
                    raise ValueError("line %d: message %d twice" % (number, current))
                messages[current] = {}
                continue
            m = re.match(r"^total (es|en|fr|de) (\d+)$", line)
            if m:
                totals[m.group(1)] = int(m.group(2))
                continue
            m = re.match(r"^fill (\d+)$", line)
            if m:
                fill = int(m.group(1))
                continue
            m = re.match(r"^(es|en|fr|de)(?: (.*))?$", line)
            if not m or current is None:
                raise ValueError("line %d: cannot read %r" % (number, line))
            lang, text = m.group(1), m.group(2) or ""
            if lang in messages[current]:
                raise ValueError("line %d: %s given twice" % (number, lang))
            messages[current][lang] = encode(unescape(text))
    if sorted(messages) != list(range(COUNT)):
        raise ValueError("messages must be numbered 0 to %d" % (COUNT - 1))
    for i, texts in messages.items():
        if sorted(texts) != sorted(LANGS):
            raise ValueError("message %d lacks a language" % i)
    return messages, totals, fill


def apply_fill(messages, totals, fill):
    """Appends blanks to message `fill` in each language until the language's strings
    (terminators included) add up to its total."""
    for lang in LANGS:
        have = sum(len(messages[i][lang]) + 1 for i in range(COUNT))
        missing = totals[lang] - have
        if missing < 0:
            raise ValueError("%s texts are %d bytes over their total of %d"
                             % (lang, -missing, totals[lang]))
        messages[fill][lang] += b" " * missing
        if len(messages[fill][lang]) > DISPLAY_COLUMNS:
            raise ValueError("%s: message %d padded to %d columns; the display has %d, "
                             "so some other %s text must grow by %d"
                             % (lang, fill, len(messages[fill][lang]), DISPLAY_COLUMNS,
                                lang, len(messages[fill][lang]) - DISPLAY_COLUMNS))
    return messages


def build_table(path):
    messages, totals, fill = parse(path)
    apply_fill(messages, totals, fill)
    offsets, body = [], bytearray()
    for i in range(COUNT):
        offsets.append(2 + 2 * COUNT + len(body))
        for lang in LANGS:
            body += messages[i][lang] + b"\x00"
    head = bytes([len(LANGS), 0]) + b"".join(struct.pack("<H", o) for o in offsets)
    return head + bytes(body)


if __name__ == "__main__":  # a module of generate_data.py, which runs it
    print(__doc__ + "\nUsed by tools/generate_data.py: python3 tools/generate_data.py [--out DIR]")
