#!/usr/bin/env python3
"""deaf_console.py DIR - a console that has stopped reading its OUT pipe but still
acknowledges: it holds PIPE00 open without ever reading it, so the program's writes
pile up until the pipe is full, and it keeps sending the user-update acknowledgement
(80 7f 04 fd) on PIPE01, so every wait for an answer is satisfied. Runs until killed."""
import os
import sys
import time

ACK = bytes([0x80, 0x7F, 0x04, 0xFD])


def main(directory):
    os.makedirs(directory, exist_ok=True)
    for name in ("PIPE00", "PIPE01"):
        path = os.path.join(directory, name)
        if not os.path.exists(path):
            os.mkfifo(path)
    held = os.open(os.path.join(directory, "PIPE00"), os.O_RDWR)  # never read
    out = os.open(os.path.join(directory, "PIPE01"), os.O_RDWR | os.O_NONBLOCK)
    while True:
        try:
            os.write(out, ACK)
        except BlockingIOError:
            pass  # nobody reads yet: the pipe is full of answers already
        time.sleep(0.005)
    os.close(held)


if __name__ == "__main__":
    if {"-h", "--help"} & set(sys.argv[1:]):
        sys.exit(print(__doc__))
    main(sys.argv[1])
