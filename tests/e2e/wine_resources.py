#!/usr/bin/env python3
"""Checks the resources compiled into Kqsfupdt.exe, as wine_probe reads them back.

    wine_resources.py REPO PROBE_OUTPUT_DIR

PROBE_OUTPUT_DIR holds Menu.txt, MenuST.txt, IdiomaDialog.txt and MacDialog.txt. The
menus are compared with the shell's own File-menu tables (MenuUser, MenuService in
src/shell/commands.cpp), so resources and dispatch cannot drift apart; the dialogs with
the control tables the dialogs are built on. Prints one PASS/FAIL line per resource.
"""
import os
import re
import sys

WS_POPUP, WS_CAPTION, WS_SYSMENU, WS_BORDER, WS_TABSTOP = 0x80000000, 0xC00000, 0x80000, 0x800000, 0x10000
DS_MODALFRAME = 0x80
BS_TYPE = {"push": 0, "default": 1, "group": 7}

# id, class, x, y, cx, cy, text, (style bits that must be set)
IDIOMA = [
    (304, "Button", 10, 8, 50, 14, "&CASTELLANO", BS_TYPE["push"]),
    (305, "Button", 72, 8, 50, 14, "&ENGLISH", BS_TYPE["push"]),
    (306, "Button", 134, 8, 50, 14, "&FRANCAISE", BS_TYPE["push"]),
    (307, "Button", 10, 30, 50, 14, "&DEUTSCH", BS_TYPE["push"]),
    (-1, "Button", 5, 52, 184, 95, "Languages installed", BS_TYPE["group"]),
    (302, "Static", 11, 63, 85, 68, "lista idiomas", WS_BORDER),
    (303, "Button", 129, 74, 50, 14, "Clear", BS_TYPE["push"]),
    (1, "Button", 129, 105, 50, 14, "OK", BS_TYPE["default"]),
    (301, "Static", 30, 134, 116, 8, "memory free", 0),
]
MAC = [
    (-1, "Static", 33, 27, 30, 8, "Current:", 0),
    (201, "Static", 68, 27, 33, 8, "00-00-00-", 0),
    (202, "Static", 101, 27, 30, 8, "000000", 0),
    (-1, "Static", 42, 59, 20, 8, "New:", 0),
    (203, "Static", 68, 59, 33, 8, "00-00-00-", 0),
    # 40 wide, not 30: at 30 the border leaves room for five digits of the dialog font
    # at 96 and 144 dpi, and the field opens scrolled past its first digit.
    (204, "Edit", 100, 57, 40, 12, "", WS_BORDER | WS_TABSTOP),
    (1, "Button", 42, 96, 50, 14, "OK", BS_TYPE["default"]),
    (2, "Button", 102, 96, 50, 14, "Exit", BS_TYPE["push"]),
]
DIALOGS = {
    "IdiomaDialog": ("Select Languages to Install", 194, 151, False, IDIOMA),
    "MacDialog": ("MAC Address", 194, 119, True, MAC),
}


def shell_menus(repo):
    """The File-menu tables of the shell, as the lines wine_probe prints."""
    defined = dict(re.findall(r"#define\s+(IDM_\w+)\s+(\d+)", open(os.path.join(repo, "src/resources/resource.h")).read()))
    ids = {}
    for name, value in re.findall(r"(CMD_\w+)\s*=\s*(IDM_\w+)", open(os.path.join(repo, "src/shell/shell.h")).read()):
        ids[name] = defined[value]
    source = open(os.path.join(repo, "src/shell/commands.cpp")).read()
    menus = {}
    for table, resource in (("MenuUser", "Menu"), ("MenuService", "MenuST")):
        body = re.search(r"const MenuItem %s\[\] = \{(.*?)\n\};" % table, source, re.S).group(1)
        lines = ["popup &File"]
        for ident, text in re.findall(r"\{(\w+), (nullptr|\"[^\"]*\")\}", body):
            if text == "nullptr":
                break
            lines.append("  separator" if ident == "0" else "  %s %s" % (ids[ident], text.strip('"')))
        menus[resource] = lines
    return menus


def check_dialog(lines, caption, cx, cy, sysmenu, controls):
    problems = []
    head = re.match(r"dialog (\d+) (\d+) (\d+) (\d+) style=([0-9a-f]+) caption=(.*) font=(\d+) (.*)", lines[0])
    if not head:
        return ["unreadable header: %r" % lines[0]]
    style = int(head.group(5), 16)
    if (int(head.group(3)), int(head.group(4))) != (cx, cy):
        problems.append("size %sx%s" % (head.group(3), head.group(4)))
    if head.group(6) != caption:
        problems.append("caption %r" % head.group(6))
    if (head.group(7), head.group(8)) != ("8", "MS Sans Serif"):
        problems.append("font %s %s" % (head.group(7), head.group(8)))
    for bit, name in ((DS_MODALFRAME, "DS_MODALFRAME"), (WS_POPUP, "WS_POPUP"), (WS_CAPTION, "WS_CAPTION")):
        if style & bit != bit:
            problems.append("no " + name)
    if bool(style & WS_SYSMENU) != sysmenu:
        problems.append("WS_SYSMENU %s" % ("missing" if sysmenu else "present: the dialog would have a close box"))
    got = []
    for line in lines[1:]:
        m = re.match(r"control (-?\d+) (\w+) (\d+) (\d+) (\d+) (\d+) style=([0-9a-f]+) text=(.*)", line)
        got.append((int(m.group(1)), m.group(2), *map(int, m.group(3, 4, 5, 6)), m.group(8), int(m.group(7), 16)))
    if len(got) != len(controls):
        problems.append("%d controls instead of %d" % (len(got), len(controls)))
    for want, have in zip(controls, got):
        if want[:7] != have[:7]:
            problems.append("control %s: %s" % (want[0], have[:7]))
        elif want[1] == "Button" and have[7] & 0xF != want[7]:
            problems.append("control %s: button type %d" % (want[0], have[7] & 0xF))
        elif want[1] != "Button" and have[7] & want[7] != want[7]:
            problems.append("control %s: style %08x" % (want[0], have[7]))
    return problems


def main():
    repo, probe = sys.argv[1], sys.argv[2]
    failed = 0

    def report(name, problems):
        nonlocal failed
        if problems:
            failed += 1
            print("FAIL %s: %s" % (name, "; ".join(problems)))
        else:
            print("PASS %s" % name)

    def read(name):
        path = os.path.join(probe, name + ".txt")
        return open(path).read().splitlines() if os.path.exists(path) else []

    for resource, want in shell_menus(repo).items():
        have = read(resource)
        diff = ["item %d: %r, shell has %r" % (i, h, w) for i, (h, w) in enumerate(zip(have, want)) if h != w]
        if len(have) != len(want):
            diff.append("%d lines, shell has %d" % (len(have), len(want)))
        report("menu %s matches the shell's File menu" % resource, diff)
    for name, (caption, cx, cy, sysmenu, controls) in DIALOGS.items():
        lines = read(name)
        report("dialog %s template" % name, check_dialog(lines, caption, cx, cy, sysmenu, controls) if lines else ["missing"])
    return 1 if failed else 0


if __name__ == "__main__":
    if {"-h", "--help"} & set(sys.argv[1:]):
        sys.exit(print(__doc__))
    sys.exit(main())
