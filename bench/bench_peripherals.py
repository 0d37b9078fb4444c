#!/usr/bin/env python3
"""bench_peripherals.py - how long the peripheral updates take through the simulated
console with default (real) device timings, and where the time goes.

Runs the Linux program in a terminal (tmux) against kqsim, as a technician would:
  - Update Remote, user mode (a Remote running its firmware, its resident loader);
  - Update Remote, technical service (no Remote answers; the Remote in boot mode);
  - Update Receiver, user mode;
  - Update Tempa BOX (service menu; the unit in boot mode, the downloaded loader).
Each path is timed from the program's first KQ-LINK request to its last answer, with
the operator's time at the prompts taken out. From the program's log (the traffic lines
with their microsecond time stamps, decoded) and kqsim's report it prints:
  - wall: that time;
  - fixed: the waits the program's own protocol fixes: 30 ms after each speed change,
    30 ms + 100 us per raw byte after each send, the sequences' own delays (10 ms or
    20 ms after each bit-rate adjustment byte, 100 ms after the new bit rate, 20 ms
    after the Tempa BOX loader's speed change...), and every listen window that is
    waited out to its end because fewer bytes came than asked for;
  - busy, bus: kqsim's figures: the peripheral's own work (erasing, writing, its
    answers' preparation) and how long KQ-LINK carried bytes at their bit rates
    (what the console put on the port, and the peripheral's answers);
  - waited: the part of busy + bus the program waited for in listens that ended with
    the answer (the rest ran while the program sat in its fixed waits);
  - turn: the console's turn-around, its reply delay times the listen answers;
  - host: what is left, wall - fixed - waited - turn; and per step (an answer to the
    next request, a fixed wait to the next request) its median and 99th percentile.

Usage: bench/bench_peripherals.py [build/linux] [--only=remote,service,receiver,tempabox]
  (needs tmux; about two minutes, most of it the technical-service path at 19 200 bit/s)
"""
import os
import re
import shutil
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_update as bu  # noqa: E402  (Session, reply_us, BUILD)

LINE = re.compile(r"^Time:([0-9a-f]{8}) (Mesa<-|->PC) Nbytes:(\d+) ?((?:[0-9a-f]{2} ?)*)$")
END_FRAME = "Nbytes:3 80 08 78"


def undouble(raw):
    """Console frame bytes as the protocol means them: a 0x80 after the first is doubled."""
    out, pending = [], False
    for i, b in enumerate(raw):
        if i == 0 or b != 0x80:
            out.append(b)
            pending = False
        elif pending:
            pending = False
        else:
            out.append(b)
            pending = True
    return out


def events_of(log):
    """The traffic as (time, kind, info): requests decoded by code, answers merged."""
    events = []
    for line in log.splitlines():
        m = LINE.match(line)
        if not m:
            continue
        t, sent = int(m.group(1), 16), m.group(2) == "Mesa<-"
        raw = [int(x, 16) for x in m.group(4).split()]
        if not sent and events and events[-1][1] == "answer" and not events[-1][2]["complete"]:
            prev = events[-1][2]  # the rest of an answer that came in two reads
            prev["raw"] += raw
            prev.update(heard_of(prev["raw"]))
            continue
        if not sent:
            events.append((t, "answer", dict(raw=raw, **heard_of(raw))))
            continue
        f = undouble(raw)
        code = f[1] if len(f) > 1 else -1
        if code == 0x04:
            events.append((t, "speed", {"rate": int.from_bytes(bytes(f[2:6]), "little")}))
        elif code == 0x05:
            events.append((t, "send", {"n": f[2], "data": f[3:3 + f[2]]}))
        elif code == 0x06:
            events.append((t, "listen", {"wanted": f[2], "window": int.from_bytes(bytes(f[3:7]), "little")}))
        elif code == 0x08:
            events.append((t, "end", {}))
        else:
            events.append((t, "other", {}))
    return events


def heard_of(raw):
    f = undouble(raw)
    n = f[2] if len(f) > 2 and f[1] == 0x07 else 0
    return {"heard": n, "complete": len(f) >= n + 4}


def extra_delay(event, nxt, rate):
    """The sequences' own DelayMicroseconds between event and the next request."""
    t, kind, info = event
    if kind == "send" and info["data"] == [0x00]:
        return {19200: 10000, 9600: 20000}.get(rate, 0)  # bit-rate adjustment
    if kind == "send" and info["n"] == 10 and info["data"][0] == 0x3F:
        return 100000  # the boot program switches to the new bit rate
    if kind == "speed" and info["rate"] == 250000 and info.get("from") == 9600:
        return 20000  # the Tempa BOX's downloaded loader starts
    if kind == "answer" and nxt[1] == "speed" and rate == 19200:
        return 52  # one bit time at 19 200 before the speed change
    if kind == "answer" and nxt[1] == "send" and nxt[2]["data"] == [0x55] and rate == 9600:
        return 1000
    return 0


def figures(log, sim_output, operator_marks, turn_us):
    events = events_of(log)
    elapsed = lambda a, b: (b - a) & 0xFFFFFFFF
    rate = 250000
    for t, kind, info in events:  # each speed request knows the rate it leaves
        if kind == "speed":
            info["from"], rate = rate, info["rate"]
    fixed = waited = turn = operator = 0
    host = []
    rate = 250000
    for i in range(len(events) - 1):
        e, nxt = events[i], events[i + 1]
        gap = elapsed(e[0], nxt[0])
        kind, info = e[1], e[2]
        if kind == "speed":
            rate = info["rate"]
        if i + 1 in operator_marks:
            operator += gap  # the program waited for a key
            continue
        if kind == "listen" and nxt[1] == "answer":
            turn += turn_us
            if nxt[2]["heard"] < info["wanted"] or info["wanted"] == 255:
                fixed += info["window"]  # waited out: the console answers at its end
                host.append(gap - info["window"] - turn_us)
            else:
                waited += max(0, gap - turn_us)
            continue
        if kind == "listen":  # no answer at all: the program's own deadline passed
            wait = info["window"] + 30000
        elif kind == "speed":
            wait = 30000
        elif kind == "send":
            wait = 30000 + 100 * info["n"]
        else:
            wait = 0
        wait += extra_delay(e, nxt, rate)
        fixed += wait
        host.append(gap - wait)
    wall = elapsed(events[0][0], events[-1][0]) - operator
    busy = sum(float(x) for x in re.findall(r"/\S+ \d+ requests, \d+ device errors, busy (\d+\.\d+) s", sim_output))
    bus = re.findall(r"KQ-LINK bus time (\d+\.\d+) s", sim_output)
    host.sort()
    return {
        "requests": sum(1 for e in events if e[1] not in ("answer",)),
        "wall": wall / 1e6,
        "fixed": fixed / 1e6,
        "busy": busy,
        "bus": float(bus[-1]) if bus else 0.0,
        "waited": waited / 1e6,
        "turn": turn / 1e6,
        "host": (wall - fixed - waited - turn) / 1e6,
        "median": statistics.median(host),
        "p99": host[min(len(host) - 1, int(len(host) * 0.99))],
    }


class Run:
    """One peripheral command against kqsim; keys at the prompts, the log at the end."""

    def __init__(self, work, sim_args, program_args=""):
        self.s = bu.Session(work, ["--console"] + sim_args, program_args)
        self.marks = set()

    def log(self):
        try:
            return self.s.log()
        except FileNotFoundError:
            return ""

    def answer(self, prompt, key="Enter", seconds=20):
        """Waits for the prompt, then presses the key; the step is the operator's."""
        self.s.wait(lambda: prompt in self.s.screen(), seconds, f'"{prompt}"')
        self.marks.add(len(events_of(self.log())))
        self.s.keys(key)

    def menu(self, downs):
        self.s.keys("F10")
        for _ in range(downs):
            self.s.keys("Down")
        self.s.keys("Enter")

    def finish(self, seconds):
        self.s.wait(lambda: END_FRAME in self.log(), seconds, "the end of the KQ-LINK exchange")
        log = self.log()
        screen = self.s.screen()
        sim = self.s.close()
        return log, screen, sim


def remote_user(work, kind="remote"):
    name = "Remote" if kind == "remote" else "Receiver"
    r = Run(work, [f"--{kind}"])
    try:
        r.menu(3 if kind == "remote" else 4)  # user menu: Update Remote, Update Receiver
        r.answer(f"Connect {name} to KQ-LINK port")
        r.answer(f"{name} update? [ENTER] yes")
        log, screen, sim = r.finish(120)
    except BaseException:
        r.s.close()
        raise
    return log, sim, r.marks, "...OK..." in screen


def remote_service(work):
    r = Run(work, ["--remote=boot"])
    try:
        r.menu(3)
        r.answer("Connect Remote to KQ-LINK port")
        r.answer("Remote TECHNICAL SERVICE update?")
        r.answer("connect to KQ-LINK, switch on...", seconds=10)  # the service prompt
        log, screen, sim = r.finish(300)
    except BaseException:
        r.s.close()
        raise
    return log, sim, r.marks, "Remote Updated" in screen


def tempabox(work):
    r = Run(work, ["--tempabox=boot"], "ST")
    try:
        r.menu(8)  # service menu: Update Tempa BOX
        r.answer("switch on Tempa BOX\nPush [ENTER] on PC-Keyboard to continue")
        log, screen, sim = r.finish(120)
    except BaseException:
        r.s.close()
        raise
    return log, sim, r.marks, "Tempa BOX Updated" in screen


PATHS = [
    ("remote", "Remote user", remote_user),
    ("service", "Remote TS", remote_service),
    ("receiver", "Receiver", lambda w: remote_user(w, "receiver")),
    ("tempabox", "Tempa BOX", tempabox),
]


def main():
    if not shutil.which("tmux"):
        raise SystemExit("bench: tmux is needed")
    only = next((a.split("=", 1)[1].split(",") for a in sys.argv[1:] if a.startswith("--only=")), None)
    turn_us = bu.reply_us("ConsoleTiming")
    print("Peripheral updates through kqsim's console, default device timings (Linux build)")
    print(f"{'path':<12} {'requests':>8} {'wall s':>7} {'fixed s':>7} {'busy s':>7} {'bus s':>6} "
          f"{'waited s':>8} {'turn s':>6} {'host s':>6} {'host median':>11} {'host p99':>9}  verdict")
    for key, name, run in PATHS:
        if only and key not in only:
            continue
        with tempfile.TemporaryDirectory() as work:
            log, sim, marks, ok = run(work)
        f = figures(log, sim, marks, turn_us)
        print(f"{name:<12} {f['requests']:>8} {f['wall']:>7.3f} {f['fixed']:>7.3f} {f['busy']:>7.3f} "
              f"{f['bus']:>6.3f} {f['waited']:>8.3f} {f['turn']:>6.3f} {f['host']:>6.3f} "
              f"{f['median']:>8} us {f['p99']:>6} us  {'updated' if ok else 'FAILED'}")


if __name__ == "__main__":
    if {"-h", "--help"} & set(sys.argv[1:]):
        sys.exit(print(__doc__))
    main()
