#!/usr/bin/env python3
"""End-to-end tests of kqclean.exe under Wine.

Usage: python3 tests/e2e/test_kqclean.py path/to/kqclean.exe

Every scenario runs in its own copy of one freshly made Wine prefix: the
registry keys and INF files a driver installation leaves are planted there,
kqclean runs, and the prefix is inspected afterwards. A small Windows helper
(kqclean_helper.c, built here with MinGW-w64) holds a file open without sharing
and builds registry chains deeper than any full key path.

kqclean.exe is a 32-bit program: it needs Wine's 32-bit half (wine32) in the
64-bit prefix, where its System32 is the prefix's syswow64 unless it turns
redirection off, as it must for the driver file. On a host whose kernel cannot
run 32-bit code the x86_64 build in build/windows64 is checked instead, and
without it the test is skipped (exit code 77).
Needs wine and wineserver on the PATH, and the helper build/linux/wine-probes/kqclean_helper.exe.
Prints one line per check and ends with "N passed, M failed".
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
USB = r"SYSTEM\CurrentControlSet\Enum\USB"
CLEAN_KEYS = [
    "Vid_045b&Pid_0025", "Vid_ffff&Pid_0001", "Vid_1d2b&Pid_0001",
    "Vid_1d2b&Pid_0002", "Vid_1d2b&Pid_0003", "Vid_1d2b&Pid_0004",
]
# Neighbours of the cleaned identities that must survive.
SIBLING_KEYS = ["Vid_1d2b&Pid_0005", "Vid_045b&Pid_0026", "Vid_1d2b&Pid_00011"]
EXPECTED_OUTPUT = b"Cleaning KQ registry keys...\r\nDeleting KQ files...\r\n"
STILL_THERE = "still there after the system accepted its deletion"
LONG_NAME = "L" * 255  # the longest key name the registry takes
MARKER = "Kq-Light"

results = []


def check(name, ok, detail=""):
    results.append(ok)
    print(("PASS " if ok else "FAIL ") + name + ("" if ok or not detail else ": " + detail))
    sys.stdout.flush()


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


class Prefix:
    """One scratch Wine prefix copied from the template."""

    def __init__(self, template, root, name):
        self.path = os.path.join(root, name)
        subprocess.run([os.path.join(HERE, "wine_copy.sh"), template, self.path], check=True)
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.windows = os.path.join(self.path, "drive_c", "windows")
        self.inf = os.path.join(self.windows, "inf")
        self.drivers = os.path.join(self.windows, "system32", "drivers")
        self.drivers32 = os.path.join(self.windows, "syswow64", "drivers")

    def wine(self, *args, cwd=None):
        return subprocess.run(["wine"] + list(args), env=self.env, cwd=cwd,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              timeout=180)

    def import_keys(self, key_names):
        """Creates each key's tree: a 255-character instance name four levels
        deep and a second, plain instance; values on the way."""
        lines = ["Windows Registry Editor Version 5.00", ""]
        for key in key_names:
            base = "HKEY_LOCAL_MACHINE\\" + USB + "\\" + key
            for sub in ("", "\\" + LONG_NAME, "\\" + LONG_NAME + "\\Device Parameters\\a\\b",
                        "\\0001", "\\0001\\Control"):
                lines += ["[" + base + sub + "]", '"Service"="kqusb"', ""]
        reg = os.path.join(self.path, "plant.reg")
        with open(reg, "w", encoding="utf-16") as out:
            out.write("\r\n".join(lines) + "\r\n")
        self.wine("regedit", "/S", windows_path(reg))

    def usb_keys(self):
        """Every key path under Enum\\USB, lower case, relative to it."""
        out = self.wine("reg", "query", "HKLM\\" + USB, "/s").stdout.decode("latin-1")
        head = ("HKEY_LOCAL_MACHINE\\" + USB + "\\").lower()
        return sorted(line.strip().lower()[len(head):] for line in out.splitlines()
                      if line.strip().lower().startswith(head))

    def helper(self, *args):
        return self.wine(HELPER, *args).stdout.decode().strip()

    def run_clean(self, cwd=None):
        proc = self.wine(KQCLEAN, cwd=cwd)
        return proc.stdout, proc.returncode

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.path, ignore_errors=True)


# One line per item that was there and stays: what was tried, the item's full name, the
# system's own text for the reason and its error number.
# A file the system reported deleted that is still there (Wine unlinks it only when the
# handle closes, and ignores a refusal then) has no error number of the system.
REPORT_LINE = re.compile(r"^Could not (remove|read|search) (.+?): (?:(.+) \(error (\d+)\)|(%s))$"
                         % re.escape(STILL_THERE))


def report_of(output):
    """The lines after the two progress lines, as (action, name, reason, error)."""
    if not output.startswith(EXPECTED_OUTPUT):
        return None
    lines = output[len(EXPECTED_OUTPUT):].decode("latin-1").split("\r\n")
    if lines[-1] != "":
        return None  # every line ends with CR LF
    parsed = [REPORT_LINE.match(line) for line in lines[:-1]]
    return None if None in parsed else [
        (m.group(1), m.group(2), m.group(3) or m.group(5), int(m.group(4)) if m.group(4) else None)
        for m in parsed]


def check_run(prefix_name, output, code, expected=(), search_order_from=None):
    """The two progress lines, then one line per (action, name, error) expected, in that
    order, each with the system's reason; exit code 1 then, 0 when nothing resisted.
    The lines from index search_order_from on come in the order of the INF search (the
    order Wine lists the directory in), which is taken as it comes."""
    report = report_of(output)
    if not expected:
        check(prefix_name + ": prints the two progress lines, nothing else",
              output == EXPECTED_OUTPUT, repr(output))
    else:
        got = None if report is None else [(a, n, e) for a, n, _, e in report]
        expected = list(expected)
        if got is not None and search_order_from is not None:
            got = got[:search_order_from] + sorted(got[search_order_from:], key=repr)
            expected = expected[:search_order_from] + sorted(expected[search_order_from:], key=repr)
        check(prefix_name + ": the two progress lines, then what resisted, in order",
              got == list(expected), repr(output[:2000]))
        check(prefix_name + ": each line gives the system's reason",
              report is not None and all(r.strip() and not r.startswith("(") for _, _, r, _ in report),
              repr(report))
    check(prefix_name + ": exit code %d" % (1 if expected else 0), code == (1 if expected else 0), str(code))


def tree_of(keys, key):
    key = key.lower()
    return [k for k in keys if k == key or k.startswith(key + "\\")]


def write(path, data):
    with open(path, "wb") as out:
        out.write(data)


def inf_text(before, after=""):
    """An INF head with `before` characters of comment ahead of the marker."""
    filler = ("; " + "x" * 60 + "\n") * (before // 63) + ";" * (before % 63)
    return (filler + MARKER + after).encode("ascii")


def case_full_install(prefix):
    """Everything a driver installation leaves, plus things that must stay."""
    # The registry ignores case: the fifth identity, written in capitals the
    # way the system writes it, is the same key.
    prefix.import_keys(CLEAN_KEYS[:4] + [CLEAN_KEYS[4].upper()] + CLEAN_KEYS[5:] + SIBLING_KEYS)
    before = prefix.usb_keys()
    ok = all(len(tree_of(before, k)) == 7 for k in CLEAN_KEYS + SIBLING_KEYS)
    check("full: trees planted (7 keys each, 255-character name at depth 4)", ok, str(len(before)))
    write(os.path.join(prefix.drivers, "KqUsb.sys"), b"MZ driver")
    write(os.path.join(prefix.drivers, "KqUsb2.sys"), b"MZ other driver")
    # The 32-bit view of System32: a file of the same name there is not the driver.
    os.makedirs(prefix.drivers32, exist_ok=True)
    write(os.path.join(prefix.drivers32, "KqUsb.sys"), b"MZ 32-bit view")

    inf = prefix.inf
    marked = ["oem12", "oem3", "oem40", "zz_last"]
    for name in marked:
        write(os.path.join(inf, name + ".inf"), b"[Version]\r\nProvider=%Mfg%\r\n" + inf_text(10))
        write(os.path.join(inf, name + ".pnf"), b"PNF")
    # Precompiled twin missing: the INF goes, nothing is reported.
    write(os.path.join(inf, "oem7.inf"), inf_text(100))
    # The marker ends exactly at character 999: found.
    write(os.path.join(inf, "oem20.inf"), inf_text(999 - len(MARKER)))
    write(os.path.join(inf, "oem20.pnf"), b"PNF")
    # CRLF lines: read in text mode each pair counts as one character, so a
    # marker at byte 1180 sits at character 980.
    write(os.path.join(inf, "oem21.inf"), b";\r\n" * 200 + b"x" * 580 + MARKER.encode())
    keep = {
        "oem30.inf": inf_text(1000 - len(MARKER)),           # marker ends at 1000
        "oem31.inf": inf_text(5000),                          # far beyond the head
        "oem32.inf": inf_text(10).replace(b"Kq-Light", b"KQ-LIGHT"),
        "oem33.inf": inf_text(10).replace(b"Kq-Light", b"kq-light"),
        "oem34.inf": "\ufeff[Version]\r\nProvider=Kq-Light\r\n".encode("utf-16-le"),
        "oem35.inf": b"[Version]\r\nProvider=Other Maker\r\n",
        "oem36.txt": inf_text(10),                            # not an INF
    }
    for name, data in keep.items():
        write(os.path.join(inf, name), data)
        write(os.path.join(inf, name[:-4] + ".pnf"), b"PNF")
    # Held open without sharing by another process: skipped, search goes on.
    write(os.path.join(inf, "oem25.inf"), inf_text(10))
    write(os.path.join(inf, "oem25.pnf"), b"PNF")
    listing_before = set(os.listdir(inf))

    ready = os.path.join(prefix.path, "held.ready")
    stop = os.path.join(prefix.path, "held.stop")
    holder = subprocess.Popen(["wine", HELPER, "hold", r"C:\windows\inf\oem25.inf",
                               windows_path(ready), windows_path(stop)],
                              env=prefix.env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    deadline = time.time() + 60
    while not os.path.exists(ready) and holder.poll() is None and time.time() < deadline:
        time.sleep(0.1)
    check("full: helper holds oem25.inf open without sharing", os.path.exists(ready))
    output, code = prefix.run_clean()
    write(stop, b"")
    holder.wait(timeout=60)
    # The file held open cannot be read, so whether it is ours is unknown: reported.
    check_run("full", output, code, [("read", r"C:\Windows\Inf\oem25.inf", ERROR_SHARING_VIOLATION)])

    after = prefix.usb_keys()
    gone = [k for k in CLEAN_KEYS if tree_of(after, k)]
    check("full: the six identity keys deleted with all subkeys", not gone, str(gone))
    kept = [k for k in SIBLING_KEYS if len(tree_of(after, k)) != 7]
    check("full: neighbouring USB keys untouched", not kept, str(kept))

    check("full: driver file KqUsb.sys deleted",
          not os.path.exists(os.path.join(prefix.drivers, "KqUsb.sys")))
    check("full: the 32-bit view's KqUsb.sys (syswow64) stays",
          os.path.exists(os.path.join(prefix.drivers32, "KqUsb.sys")))
    check("full: other driver files kept",
          os.path.exists(os.path.join(prefix.drivers, "KqUsb2.sys")))

    listing = set(os.listdir(inf))
    left = [n + ext for n in marked + ["oem20"] for ext in (".inf", ".pnf")
            if n + ext in listing]
    check("full: marked INF files deleted with their .pnf twins", not left, str(left))
    check("full: marked INF without .pnf deleted", "oem7.inf" not in listing)
    check("full: marker ending at character 999 found", "oem20.inf" not in listing)
    check("full: CRLF pairs count as one character (text mode)", "oem21.inf" not in listing)
    for name, why in (("oem30", "marker ending at character 1000"),
                      ("oem31", "marker only after 999 characters"),
                      ("oem32", "marker in capitals"), ("oem33", "marker in lower case"),
                      ("oem34", "UTF-16 INF with marker"), ("oem35", "other maker")):
        check("full: kept: " + why,
              name + ".inf" in listing and name + ".pnf" in listing)
    check("full: kept: marked file that is not *.inf", "oem36.txt" in listing)
    check("full: file held open skipped (and reported), its twin kept",
          "oem25.inf" in listing and "oem25.pnf" in listing)
    expected = listing_before - {n + e for n in marked + ["oem20"] for e in (".inf", ".pnf")} \
        - {"oem7.inf", "oem21.inf"}
    check("full: nothing else in the INF directory changed", listing == expected,
          str(sorted(listing ^ expected)))


def case_some_absent(prefix):
    """Only the second and sixth identities present: absent keys around them
    are passed over."""
    prefix.import_keys([CLEAN_KEYS[1], CLEAN_KEYS[5], SIBLING_KEYS[0]])
    output, code = prefix.run_clean()
    check_run("some absent", output, code)
    after = prefix.usb_keys()
    check("some absent: present keys deleted, absent ones passed over",
          not tree_of(after, CLEAN_KEYS[1]) and not tree_of(after, CLEAN_KEYS[5]), str(after))
    check("some absent: neighbour kept", len(tree_of(after, SIBLING_KEYS[0])) == 7)


def case_clean_pc(prefix):
    """A PC with nothing of the driver: nothing changes."""
    prefix.import_keys(SIBLING_KEYS)
    keys = prefix.usb_keys()
    inf = sorted(os.listdir(prefix.inf))
    drivers = sorted(os.listdir(prefix.drivers))
    output, code = prefix.run_clean()
    check_run("clean PC", output, code)
    check("clean PC: registry under Enum\\USB unchanged", prefix.usb_keys() == keys)
    check("clean PC: INF directory unchanged", sorted(os.listdir(prefix.inf)) == inf)
    check("clean PC: drivers directory unchanged", sorted(os.listdir(prefix.drivers)) == drivers)


def case_deep_keys(prefix):
    """Chains of 255-character names: 127 levels make the longest path that
    the registry takes by name (32563 characters), 128 levels one beyond it."""
    deep_ok = USB + "\\" + CLEAN_KEYS[5]
    too_deep = USB + "\\" + CLEAN_KEYS[3]
    prefix.helper("deep", deep_ok, "127")
    prefix.helper("deep", too_deep, "128")
    prefix.import_keys([CLEAN_KEYS[4]])
    check("deep: chains planted",
          prefix.helper("depth", deep_ok) == "127" and prefix.helper("depth", too_deep) == "128")
    output, code = prefix.run_clean()
    # The deepest key that can be named: its subkey's path would not fit.
    named = "HKEY_LOCAL_MACHINE\\" + too_deep + ("\\" + "D" * 255) * 127
    check_run("deep", output, code, [("remove", named, ERROR_FILENAME_EXCED_RANGE)])
    check("deep: 127 levels deleted", prefix.helper("depth", deep_ok) == "-1")
    check("deep: 128 levels refused and left whole",
          prefix.helper("depth", too_deep) == "128")
    check("deep: the run goes on after the refused key",
          prefix.helper("depth", USB + "\\" + CLEAN_KEYS[4]) == "-1")


def case_no_inf_dir(prefix):
    """Without C:\\Windows\\Inf the INF search is skipped: the directory the
    program was started in is never searched."""
    os.rename(prefix.inf, prefix.inf + ".away")
    start = os.path.join(prefix.path, "drive_c", "users", "work")
    os.makedirs(start)
    write(os.path.join(start, "oem12.inf"), inf_text(10))
    write(os.path.join(start, "oem12.pnf"), b"PNF")
    write(os.path.join(prefix.drivers, "KqUsb.sys"), b"MZ driver")
    prefix.import_keys([CLEAN_KEYS[0]])
    output, code = prefix.run_clean(cwd=start)
    check_run("no INF dir", output, code)
    check("no INF dir: marked INF in the start directory kept",
          sorted(os.listdir(start)) == ["oem12.inf", "oem12.pnf"]
          and not os.path.exists(prefix.inf))
    check("no INF dir: keys and driver file still cleaned",
          not tree_of(prefix.usb_keys(), CLEAN_KEYS[0])
          and not os.path.exists(os.path.join(prefix.drivers, "KqUsb.sys")))


ERROR_ACCESS_DENIED = 5
ERROR_SHARING_VIOLATION = 32
ERROR_FILENAME_EXCED_RANGE = 206


def immutable(path, on):
    """chattr +i: not even root may delete the file, so neither may Wine."""
    return subprocess.run(["chattr", "+i" if on else "-i", path],
                          stderr=subprocess.DEVNULL).returncode == 0


def case_resisting(prefix):
    """A driver file, an INF file and a .pnf twin that stay: two that the file system
    will not unlink (chattr +i: Wine accepts their deletion and fails only at the close,
    silently) and one with the read-only attribute, which the system refuses to delete
    with its own reason. Each is reported; everything else is removed."""
    prefix.import_keys(CLEAN_KEYS[2:4])
    driver = os.path.join(prefix.drivers, "KqUsb.sys")
    write(driver, b"MZ driver")
    inf = prefix.inf
    for name in ("oem50", "oem51", "oem52"):
        write(os.path.join(inf, name + ".inf"), inf_text(10))
        write(os.path.join(inf, name + ".pnf"), b"PNF")
    stuck = [driver, os.path.join(inf, "oem51.pnf")]
    if not all(immutable(p, True) for p in stuck):
        check("resisting: chattr +i in the prefix (needs root and ext4 or the like)", False)
        return
    read_only = os.path.join(inf, "oem50.inf")
    os.chmod(read_only, 0o444)
    try:
        output, code = prefix.run_clean()
    finally:
        for p in stuck:
            immutable(p, False)
    expected = [("remove", r"C:\Windows\System32\Drivers\KqUsb.sys", None),
                ("remove", r"C:\Windows\Inf\oem50.inf", ERROR_ACCESS_DENIED),
                ("remove", r"C:\Windows\Inf\oem51.pnf", None)]
    check_run("resisting", output, code, expected, search_order_from=1)
    listing = set(os.listdir(inf))
    check("resisting: what resisted is still there",
          os.path.exists(driver) and "oem50.inf" in listing and "oem51.pnf" in listing)
    check("resisting: the rest is removed (oem50.pnf, oem51.inf, oem52.inf and .pnf)",
          not listing & {"oem50.pnf", "oem51.inf", "oem52.inf", "oem52.pnf"}, str(sorted(listing)))
    check("resisting: the identity keys are removed",
          not tree_of(prefix.usb_keys(), CLEAN_KEYS[2]) and not tree_of(prefix.usb_keys(), CLEAN_KEYS[3]))


CASES = [case_full_install, case_some_absent, case_clean_pc, case_deep_keys, case_no_inf_dir,
         case_resisting]


def testable_exe(exe):
    """The program this host can run: exe, or for a 32-bit exe on a host that
    cannot run 32-bit code its x86_64 build; None when there is none."""
    script = ". '%s'; wine_testable_exe '%s'" % (os.path.join(HERE, "wine_arch.sh"), exe)
    proc = subprocess.run(["bash", "-c", script], stdout=subprocess.PIPE)
    return proc.stdout.decode().strip() if proc.returncode == 0 else None


def probe_path(name):
    """The Windows test program name.exe as the build made it; None when missing."""
    script = ". '%s'; wine_probe_path '%s'" % (os.path.join(HERE, "wine_arch.sh"), name)
    proc = subprocess.run(["bash", "-c", script], stdout=subprocess.PIPE)
    return proc.stdout.decode().strip() if proc.returncode == 0 else None


def main():
    global KQCLEAN, HELPER
    if len(sys.argv) != 2:
        print("usage: test_kqclean.py path/to/kqclean.exe")
        return 2
    started = time.time()
    KQCLEAN = testable_exe(os.path.abspath(sys.argv[1]))
    if KQCLEAN is None:
        return 77
    root = tempfile.mkdtemp(prefix="kqclean-e2e-")
    try:
        check("kqclean.exe exists", os.path.isfile(KQCLEAN), KQCLEAN)
        HELPER = probe_path("kqclean_helper")
        check("test helper built", HELPER is not None)
        template = os.path.join(root, "template")
        env = dict(os.environ, WINEPREFIX=template, WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree,mshtml=")
        shared = os.environ.get("KQ_WINE_TEMPLATE", "")
        if shared and os.path.isfile(os.path.join(shared, "system.reg")):
            # The prefix made once for the whole test run.
            subprocess.run([os.path.join(HERE, "wine_copy.sh"), shared, template], check=True)
        else:
            subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=300)
            subprocess.run(["wineserver", "-w"], env=env, timeout=300)
        check("template Wine prefix made", os.path.isdir(os.path.join(template, "drive_c", "windows", "inf")))
        if all(results):
            for case in CASES:
                prefix = Prefix(template, root, case.__name__)
                try:
                    case(prefix)
                except Exception as error:  # a broken scenario is a failure, not a crash
                    check(case.__name__, False, repr(error))
                finally:
                    prefix.close()
    finally:
        subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL,
                       env=dict(os.environ, WINEPREFIX=os.path.join(root, "template")))
        shutil.rmtree(root, ignore_errors=True)
    passed = sum(results)
    print("time %.1f s" % (time.time() - started))
    print("%d passed, %d failed" % (passed, len(results) - passed))
    return 0 if passed == len(results) else 1


if __name__ == "__main__":
    if {"-h", "--help"} & set(sys.argv[1:]):
        sys.exit(print(__doc__))
    sys.exit(main())
