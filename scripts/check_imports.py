#!/usr/bin/python3
"""Checks the import tables of the Windows programs against scripts/windows_imports.txt:
every imported function must be listed there, and its documented minimum client must be
no later than the oldest Windows the programs support. A program that imports a
function its Windows lacks does not start at all there, with no message of ours.

Usage: check_imports.py PROGRAM.exe...   (exit 1 on any finding, with one line each)
Needs python3-pefile (Debian's interpreter)."""
import os
import sys

if len(sys.argv) < 2 or sys.argv[1] in ("-h", "--help"):
    print(__doc__)
    sys.exit(0 if sys.argv[1:] else 2)

import pefile  # noqa: E402

WINDOWS = ["2000", "XP", "Vista", "7", "8", "8.1", "10"]  # oldest first
LIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "windows_imports.txt")


def read_list(path):
    """{(dll, function): minimum} and the oldest supported Windows; DLL names are
    compared without regard to case, as Windows loads them."""
    allowed, oldest = {}, None
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            words = line.split("#", 1)[0].split()
            if not words:
                continue
            if words[0] == "oldest" and len(words) == 2 and words[1] in WINDOWS:
                oldest = words[1]
            elif len(words) == 3 and words[2] in WINDOWS:
                allowed[(words[0].lower(), words[1])] = words[2]
            else:
                sys.exit("%s:%d: not \"DLL function minimum\": %s" % (path, number, line.strip()))
    if oldest is None:
        sys.exit("%s: no \"oldest\" line" % path)
    return allowed, oldest


def findings(program, allowed, oldest):
    pe = pefile.PE(program, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    name = os.path.basename(program)
    count = 0
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = entry.dll.decode("ascii")
        for imported in entry.imports:
            count += 1
            if imported.name is None:
                yield "%s: %s ordinal %d: import it by name" % (name, dll, imported.ordinal)
                continue
            function = imported.name.decode("ascii")
            minimum = allowed.get((dll.lower(), function))
            if minimum is None:
                yield ("%s: %s %s is not checked yet: look up its minimum client and add it to %s"
                       % (name, dll, function, os.path.relpath(LIST)))
            elif WINDOWS.index(minimum) > WINDOWS.index(oldest):
                yield ("%s: %s %s needs Windows %s, the programs support Windows %s: "
                       "look it up at run time instead" % (name, dll, function, minimum, oldest))
    if count == 0:
        yield "%s: no imports read" % name


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    allowed, oldest = read_list(LIST)
    failed = 0
    for program in sys.argv[1:]:
        problems = list(findings(program, allowed, oldest))
        for p in problems:
            print("FAIL " + p)
        if not problems:
            print("PASS %s: every import is in Windows %s" % (os.path.basename(program), oldest))
        failed += len(problems)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
