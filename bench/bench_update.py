#!/usr/bin/env python3
"""bench_update.py - how long "Update Console" takes against the simulated console
with its default (real) timings, and where the time goes.

Runs the Linux program in a terminal (tmux) against kqsim twice, as a technician
would: the user-mode update of a running console, and the boot-mode update of a
console whose processor is in boot mode. For each it prints:
  - the wall time of the update: from the first request to the last answer, read from
    the program's own log (microsecond time stamps);
  - the simulated device's own busy time (erasing, programming), as kqsim reports it;
  - their ratio (how much of the wall time the device itself was working);
  - the host's time per request: from an answer's arrival to the next request being
    written, median and 99th percentile, over every answer-request pair of the log.

Usage: bench/bench_update.py [build/linux]      (needs tmux; takes about a minute)
"""
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/linux")
LINE = re.compile(r"^Time:([0-9a-f]{8}) (Mesa<-|->PC) Nbytes:(\d+)")


class Session:
    """kqsfupdt in a tmux session against a kqsim serving one device."""

    def __init__(self, work, sim_args):
        self.work = work
        self.devices = os.path.join(work, "devices")
        self.run = os.path.join(work, "run")
        os.makedirs(self.run)
        self.sim_log = open(os.path.join(work, "kqsim.log"), "w+")
        self.sim = subprocess.Popen([f"{BUILD}/kqsim", f"--dir={self.devices}"] + sim_args,
                                    stdout=self.sim_log, stderr=subprocess.STDOUT)
        self.wait(lambda: os.path.isdir(self.devices) and os.listdir(self.devices), 10, "kqsim")
        self.socket = f"kqbench{os.getpid()}"
        env = f"env LANG=C.UTF-8 KQUSB_DEVICES={self.devices} XDG_CONFIG_HOME={work}/config"
        self.tmux("new-session", "-d", "-s", "b", "-x", "100", "-y", "42", "-c", self.run,
                  f"{env} {BUILD}/kqsfupdt")
        self.wait(lambda: "Process:" in self.screen(), 10, "the help text")

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.socket] + list(args), capture_output=True, text=True).stdout

    def screen(self):
        return self.tmux("capture-pane", "-p", "-t", "b")

    def keys(self, *keys):
        self.tmux("send-keys", "-t", "b", *keys)
        time.sleep(0.3)

    @staticmethod
    def wait(condition, seconds, what):
        deadline = time.time() + seconds
        while not condition():
            if time.time() > deadline:
                raise SystemExit(f"bench: gave up waiting for {what}")
            time.sleep(0.1)

    def log(self):
        with open(os.path.join(self.run, "TEMP", "log.txt")) as f:
            return f.read()

    def close(self):
        self.tmux("kill-server")
        self.sim.send_signal(signal.SIGTERM)
        self.sim.wait(10)
        self.sim_log.seek(0)
        return self.sim_log.read()


def figures(log, sim_output):
    events = []
    for line in log.splitlines():
        m = LINE.match(line)
        if m:
            events.append((int(m.group(1), 16), m.group(2) == "Mesa<-"))
    elapsed = lambda a, b: (b - a) & 0xFFFFFFFF
    start = next(t for t, sent in events if sent)
    end = [t for t, sent in events if not sent][-1]
    host = [elapsed(t, events[i + 1][0]) for i, (t, sent) in enumerate(events[:-1])
            if not sent and events[i + 1][1]]
    busy = float(re.findall(r"busy (\d+\.\d+) s", sim_output)[-1])
    host.sort()
    return {
        "wall": elapsed(start, end) / 1e6,
        "busy": busy,
        "requests": sum(1 for _, sent in events if sent),
        "median": statistics.median(host),
        "p99": host[min(len(host) - 1, int(len(host) * 0.99))],
    }


def user_mode(work):
    s = Session(work, ["--console"])
    try:
        s.keys("F10")
        s.keys("Enter")            # Update Console
        s.wait(lambda: "Select Languages" in s.screen(), 10, "the language dialog")
        s.keys("Enter")            # OK: all four languages
        s.wait(lambda: "CORVINA Updated" in s.screen() or "ERROR" in s.screen(), 300, "the verdict")
        log = s.log()
    finally:
        sim = s.close()
    return figures(log, sim)


def boot_mode(work):
    s = Session(work, ["--boot"])
    try:
        s.keys("F10")
        s.keys("Enter")
        s.wait(lambda: "Select Languages" in s.screen(), 10, "the language dialog")
        s.keys("Enter")
        s.wait(lambda: "BOOT-Jumper" in s.screen(), 60, "the BOOT jumper prompt")
        s.keys("Enter")
        s.wait(lambda: "CORVINA Updated" in s.screen() or "error" in s.screen(), 300, "the verdict")
        log = s.log()
    finally:
        sim = s.close()
    return figures(log, sim)


def main():
    if not shutil.which("tmux"):
        raise SystemExit("bench: tmux is needed")
    print("Update Console against kqsim, default device timings")
    print(f"{'path':<10} {'requests':>8} {'wall s':>8} {'busy s':>8} {'busy/wall':>9} "
          f"{'host/request median':>20} {'p99':>10}")
    for name, run in (("user mode", user_mode), ("boot mode", boot_mode)):
        with tempfile.TemporaryDirectory() as work:
            f = run(work)
        print(f"{name:<10} {f['requests']:>8} {f['wall']:>8.2f} {f['busy']:>8.2f} "
              f"{f['busy'] / f['wall']:>9.2f} {f['median']:>17} us {f['p99']:>7} us")


if __name__ == "__main__":
    main()
