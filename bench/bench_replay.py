#!/usr/bin/env python3
"""bench_replay.py - how long a replay of a whole "Update Console" takes against the
field run it was kept from.

Runs the Linux program in a terminal (tmux) against kqsim --console with its real
timings (the field run), keeps the program's log, then runs the same update against
kqsim --replay of that log. For each run it prints, from the program's own log:
  - wall: from the first transfer to the last (microsecond time stamps);
  - exchanges: requests the program wrote;
and for the replay whether kqsim followed the trace to its end, and how much longer
(or shorter) each exchange took on average than in the field. A replay answers each
write after the delay its trace shows, counted from the moment kqsim read the write:
the time the write and the answer spend in the pipes is therefore counted twice.

Usage: bench/bench_replay.py [build/linux]   (needs tmux; about 40 seconds)
"""
import os
import re
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_update import console_update  # noqa: E402

STAMP = re.compile(r"^Time:([0-9a-f]{8}) (Mesa<-|->PC) ")


def update(work, sim_args):
    log, sim = console_update(work, sim_args)
    stamps = [(int(m.group(1), 16), m.group(2)) for m in map(STAMP.match, log.splitlines()) if m]
    wall = ((stamps[-1][0] - stamps[0][0]) & 0xFFFFFFFF) / 1e6
    return log, sim, wall, sum(1 for _, d in stamps if d == "Mesa<-")


def main():
    if {"-h", "--help"} & set(sys.argv[1:]):
        print(__doc__)
        return
    with tempfile.TemporaryDirectory() as work:
        field, _, wall, n = update(os.path.join(work, "field"), ["--console"])
        trace = os.path.join(work, "field.log")
        with open(trace, "w") as f:
            f.write(field)
        _, sim, again, m = update(os.path.join(work, "replay"), [f"--replay={trace}"])
    followed = "followed to its end" in sim and "NOT followed" not in sim
    print(f"{'run':<8} {'exchanges':>9} {'wall s':>8}")
    print(f"{'field':<8} {n:>9} {wall:>8.3f}")
    print(f"{'replay':<8} {m:>9} {again:>8.3f}   trace {'followed to its end' if followed else 'NOT followed'}")
    print(f"replay / field {again / wall:.3f}, {(again - wall) / max(n, 1) * 1e3:+.2f} ms per exchange")


if __name__ == "__main__":
    main()
