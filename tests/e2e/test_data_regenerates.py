#!/usr/bin/env python3
"""Runs tools/generate_data.py into a temporary directory and compares every file it
writes with the checked-in one in data/, byte for byte: data/ must be exactly what
the generator makes from the sources in tools/.

Prints one line per difference and "N passed, M failed"; exits 1 on any failure.
"""

import os
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), os.pardir, os.pardir))


def main():
    passed, failed = 0, 0
    with tempfile.TemporaryDirectory() as out:
        subprocess.run([sys.executable, os.path.join(ROOT, "tools", "generate_data.py"),
                        "--out", out], check=True)
        made = sorted(os.listdir(out))
        kept = sorted(os.listdir(os.path.join(ROOT, "data")))
        if made == kept:
            passed += 1
        else:
            failed += 1
            print("FAIL: generator makes %s, data/ holds %s" % (made, kept))
        for name in made:
            with open(os.path.join(out, name), "rb") as a:
                fresh = a.read()
            try:
                with open(os.path.join(ROOT, "data", name), "rb") as b:
                    kept_bytes = b.read()
            except FileNotFoundError:
                kept_bytes = None
            if fresh == kept_bytes:
                passed += 1
            else:
                failed += 1
                print("FAIL: data/%s differs from a fresh build" % name)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(print(__doc__) if {"-h", "--help"} & set(sys.argv[1:]) else main())
