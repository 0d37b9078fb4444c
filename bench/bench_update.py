#!/usr/bin/env python3
"""bench_update.py - how long "Update Console" takes against the simulated console
with its default (real) timings, and where the time goes.

Runs the Linux program in a terminal (tmux) against kqsim, as a technician would: the
user-mode update of a running console, and the boot-mode update of a console whose
processor is in boot mode. For each it prints, from the program's own log (microsecond
time stamps) and kqsim's report:
  - wall: from the first request to the last answer;
  - busy: the simulated device's own work (erasing, programming);
  - turn: the simulated USB turn-around, the device's reply delay times the answers;
  - fixed: the waits the program's protocol fixes inside the update (the boot-mode reply
    windows that are waited out in full after the answer came);
  - ratio: wall / (busy + turn + fixed), 1.00 when the host adds nothing;
  - host per request: from an answer's arrival (the receive thread's log line) to the
    next request (its log line, just before the write), fixed waits taken out, median
    and 99th percentile over every answer-request pair.

Usage: bench/bench_update.py [build/linux] [--wine] [--log-delay=US] [--boot-only]
  (needs tmux; about a minute; --wine adds the Windows build of build/windows under
  Wine, with Xvfb and xdotool, and its time per repaint, a few minutes more;
  --log-delay=US makes every open and every close of the log cost US microseconds in
  the Linux runs, as a virus scanner does (bench/log_delay.c, LD_PRELOAD);
  --boot-only runs the boot-mode updates alone)
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

ARGS = [a for a in sys.argv[1:] if not a.startswith("--")]
BUILD = os.path.abspath(ARGS[0] if ARGS else "build/linux")
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LOG_DELAY_US = next((int(a.split("=", 1)[1]) for a in sys.argv[1:] if a.startswith("--log-delay=")), 0)
# The interposer comes from this checkout's Linux build, whichever build is measured.
LOG_DELAY_LIB = os.path.join(REPO, "build", "linux", "kq_log_delay.so")
LINE = re.compile(r"^Time:([0-9a-f]{8}) (Mesa<-|->PC) Nbytes:(\d+)")


class Session:
    """kqsfupdt in a tmux session against a kqsim serving one device."""

    def __init__(self, work, sim_args, program_args=""):
        self.work = work
        self.devices = os.path.join(work, "devices")
        self.run = os.path.join(work, "run")
        os.makedirs(self.run)
        self.sim_log = open(os.path.join(work, "kqsim.log"), "w+")
        self.sim = subprocess.Popen([f"{BUILD}/kqsim", f"--dir={self.devices}"] + sim_args,
                                    stdout=self.sim_log, stderr=subprocess.STDOUT)
        self.wait(lambda: os.path.isdir(self.devices) and os.listdir(self.devices), 10, "kqsim")
        self.socket = f"kqbench{os.getpid()}"
        env = f"env LANG=C.UTF-8 KQUSB_DEVICES={self.devices} XDG_CONFIG_HOME={work}/config XDG_STATE_HOME={work}/state"
        if LOG_DELAY_US:
            env += f" KQ_LOG_DELAY_US={LOG_DELAY_US} LD_PRELOAD={LOG_DELAY_LIB}"
        self.tmux("new-session", "-d", "-s", "b", "-x", "100", "-y", "42", "-c", self.run,
                  f"{env} {BUILD}/kqsfupdt {program_args}")
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


def reply_us(timing):
    """The device model's reply delay (turn-around), read from the simulator's headers."""
    sim = os.path.join(REPO, "sim")
    text = "".join(open(os.path.join(sim, n)).read() for n in sorted(os.listdir(sim)) if n.endswith(".h"))
    block = text[text.index(f"struct {timing} {{"):]
    return int(re.search(r"replyUs = (\d+)", block).group(1))


# The boot-mode reply window: the program reads a reply for this long whatever came.
BOOT_REPLY_WINDOW_US = 200000


def figures(log, sim_output, turn_us, window_us):
    events = []
    for line in log.splitlines():
        m = LINE.match(line)
        if m:
            events.append((int(m.group(1), 16), m.group(2) == "Mesa<-"))
    elapsed = lambda a, b: (b - a) & 0xFFFFFFFF
    start = next(t for t, sent in events if sent)
    end = [t for t, sent in events if not sent][-1]
    host, fixed, answered = [], 0, 0
    request = None  # time of the last request
    for i, (t, sent) in enumerate(events):
        if sent:
            request = t
            continue
        if i + 1 < len(events) and not events[i + 1][1]:
            continue  # more of the same answer follows
        answered += 1
        if i + 1 >= len(events) or request is None:
            continue
        nxt = events[i + 1][0]
        gap = elapsed(t, nxt)
        if window_us:
            # The program read this answer for the whole reply window when the next
            # request follows the window's end rather than the answer.
            window_end = (request + window_us) & 0xFFFFFFFF
            waited = elapsed(t, window_end)
            if 0 < waited < window_us and waited <= gap < waited + 50000:
                fixed += waited
                gap -= waited
        host.append(gap)
    busy = float(re.findall(r"busy (\d+\.\d+) s", sim_output)[-1])
    host.sort()
    return {
        "wall": elapsed(start, end) / 1e6,
        "busy": busy,
        "turn": answered * turn_us / 1e6,
        "fixed": fixed / 1e6,
        "requests": sum(1 for _, sent in events if sent),
        "median": statistics.median(host),
        "p99": host[min(len(host) - 1, int(len(host) * 0.99))],
    }


def console_update(work, sim_args):
    """Update Console with all four languages against kqsim given sim_args, through the
    menu and the dialog: the program's log and kqsim's."""
    s = Session(work, sim_args)
    try:
        s.keys("F10")
        s.keys("Enter")            # Update Console
        s.wait(lambda: "Select Languages" in s.screen(), 10, "the language dialog")
        s.keys("Enter")            # OK: all four languages
        s.wait(lambda: "CORVINA Updated" in s.screen() or "ERROR" in s.screen(), 300, "the verdict")
        log = s.log()
    finally:
        sim = s.close()
    return log, sim


def user_mode(work):
    log, sim = console_update(work, ["--console"])
    return figures(log, sim, reply_us("ConsoleTiming"), 0)


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
    return figures(log, sim, reply_us("BootTiming"), BOOT_REPLY_WINDOW_US)


def wine_run(mode, work):
    """The same update by the Windows build under Wine (Xvfb, xdotool)."""
    # The 32-bit build where it was built; wine_session.sh (wine_arch.sh) turns to its
    # x86_64 twin in build/windows64 on hosts that cannot run 32-bit code.
    exe = os.path.join(REPO, "build", "windows", "Kqsfupdt.exe")
    if not os.path.exists(exe):
        exe = os.path.join(REPO, "build", "windows64", "Kqsfupdt.exe")
    subprocess.run(["bash", os.path.join(REPO, "bench", "wine_session.sh"), mode, exe,
                    f"{BUILD}/kqsim", work], check=True, timeout=900)
    log = open(os.path.join(work, "log.txt"), encoding="latin-1").read()
    sim = open(os.path.join(work, "kqsim.log")).read()
    f = figures(log, sim, reply_us("ConsoleTiming" if mode == "user" else "BootTiming"),
                0 if mode == "user" else BOOT_REPLY_WINDOW_US)
    paint = os.path.join(work, "paint.txt")
    f["paint"] = open(paint).read().strip() if os.path.exists(paint) else "no paint figures"
    return f


def main():
    if not shutil.which("tmux"):
        raise SystemExit("bench: tmux is needed")
    if LOG_DELAY_US and not os.path.exists(LOG_DELAY_LIB):
        raise SystemExit(f"bench: {LOG_DELAY_LIB} is missing (cmake --build --preset linux)")
    print("Update Console against kqsim, default device timings (Linux build; Wine rows: the Windows build)")
    if LOG_DELAY_US:
        print(f"every open and close of the log costs {LOG_DELAY_US} us (Linux rows)")
    print(f"{'path':<10} {'requests':>8} {'wall s':>8} {'busy s':>7} {'turn s':>7} {'fixed s':>7} "
          f"{'ratio':>6} {'host median':>12} {'host p99':>10}")
    runs = [("user mode", user_mode), ("boot mode", boot_mode)]
    if "--wine" in sys.argv and shutil.which("wine") and shutil.which("xdotool"):
        runs += [("user Wine", lambda w: wine_run("user", w)), ("boot Wine", lambda w: wine_run("boot", w))]
    if "--boot-only" in sys.argv:
        runs = [r for r in runs if r[0].startswith("boot")]
    paints = []
    for name, run in runs:
        with tempfile.TemporaryDirectory() as work:
            f = run(work)
        if "paint" in f:
            paints.append(f"{name}: {f['paint']}")
        base = f["busy"] + f["turn"] + f["fixed"]
        print(f"{name:<10} {f['requests']:>8} {f['wall']:>8.3f} {f['busy']:>7.3f} {f['turn']:>7.3f} "
              f"{f['fixed']:>7.3f} {f['wall'] / base:>6.3f} {f['median']:>9} us {f['p99']:>7} us")
    for line in paints:
        print("Windows repaints under Wine, " + line)

if __name__ == "__main__":
    if {"-h", "--help"} & set(sys.argv[1:]):
        sys.exit(print(__doc__))
    main()
