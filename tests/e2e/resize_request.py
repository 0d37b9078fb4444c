#!/usr/bin/env python3
"""The terminal program in a pseudo-terminal: one smaller than the layout is asked once
to grow to it (CSI 8 ; rows ; columns t) and shows the "too small" sentence while it has
not; one large enough is asked nothing. Usage: resize_request.py KQSFUPDT"""
import fcntl
import os
import pty
import select
import shutil
import signal
import struct
import sys
import tempfile
import termios
import time

REQUEST = b"\x1b[8;"


def run(program, rows, columns, wait_for):
    """Starts the program in a rows x columns pseudo-terminal, reads its output until
    wait_for appears (at most 10 s), closes it with SIGTERM and returns the output."""
    workdir = tempfile.mkdtemp(prefix="kqresize.")
    pid, fd = pty.fork()
    if pid == 0:
        # The size is set before the program starts: ncurses reads it once at start.
        fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
        os.chdir(workdir)
        env = dict(os.environ, TERM="xterm", LANG="C.UTF-8", KQUSB_DEVICES=workdir + "/none")
        os.execve(program, [program], env)
    out = b""
    deadline = time.monotonic() + 10
    while wait_for not in out and time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.2)
        if ready:
            try:
                out += os.read(fd, 65536)
            except OSError:
                break
    os.kill(pid, signal.SIGTERM)
    try:
        while True:
            ready, _, _ = select.select([fd], [], [], 5)
            if not ready or not os.read(fd, 65536):
                break
    except OSError:
        pass
    os.waitpid(pid, 0)
    shutil.rmtree(workdir, ignore_errors=True)
    return out


def main():
    program = os.path.abspath(sys.argv[1])
    failures = 0

    def check(what, ok):
        nonlocal failures
        print(("ok: " if ok else "FAIL: ") + what)
        failures += 0 if ok else 1

    small = run(program, 24, 100, b"needs a terminal")
    check("a 100 x 24 terminal is asked to become 80 x 38, keeping its width",
          small.count(b"\x1b[8;38;100t") == 1 and small.count(REQUEST) == 1)
    check("and shows the sentence while it has not grown", b"needs a terminal" in small)
    large = run(program, 40, 90, b"Process")
    check("a 90 x 40 terminal is asked nothing", REQUEST not in large and b"Process" in large)
    print(f"{failures} failed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    if {"-h", "--help"} & set(sys.argv[1:]):
        sys.exit(print(__doc__))
    main()
